#include "modem/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "modem/line_io.h"

namespace {

speed_t SpeedConstant(uint32_t bps) {
  switch (bps) {
    case 2400: return B2400;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B0;
  }
}

}  // namespace

ModemDevice OpenSerialPort(const std::string& path, int& error) {
  ModemDevice device;
  device.path = path;
  error = 0;
  UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = errno;
    device.failure = error == EBUSY ? ModemOpenFailure::Busy
                     : error == ENOENT ? ModemOpenFailure::NotFound
                                        : ModemOpenFailure::Failed;
    return device;
  }
  // flock first: it is what another holder of the line (even root) cannot pass.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    error = errno;
    device.failure = error == EWOULDBLOCK ? ModemOpenFailure::Busy : ModemOpenFailure::Failed;
    return device;
  }
  termios t{};
  if (tcgetattr(fd.get(), &t) != 0) {
    error = errno;
    device.failure = ModemOpenFailure::Failed;
    return device;
  }
  ioctl(fd.get(), TIOCEXCL);
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd.get(), TCSANOW, &t);
  device.fd = std::move(fd);
  device.transport = ModemTransport::Serial;
  device.locked = true;
  device.readIntervalMs = kProbeReadIntervalMs;
  SetModemDtr(device, true);
  return device;
}

bool SetLineSpeed(ModemDevice& device, uint32_t bitsPerSecond) {
  speed_t speed = SpeedConstant(bitsPerSecond);
  if (speed == B0) {
    errno = EINVAL;
    return false;
  }
  termios t{};
  if (tcgetattr(device.fd.get(), &t) != 0) return false;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return tcsetattr(device.fd.get(), TCSANOW, &t) == 0;
}

bool SetModemDtr(ModemDevice& device, bool on) {
  if (device.transport != ModemTransport::Serial || !device.valid()) return true;
  int bits = TIOCM_DTR;
  if (ioctl(device.fd.get(), on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  // A pseudo-terminal has no modem lines.
  return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP;
}
