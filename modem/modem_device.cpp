// The device record, OpenDevice by the kind of name, and the telephony stand-ins.
#include <dirent.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "modem/ip_modem_open.h"
#include "modem/line_io.h"
#include "modem/modem_line.h"
#include "modem/modem_names.h"
#include "modem/serial_port.h"
#include "runtime/debug_log.h"
#include "runtime/text_helpers.h"

ModemDevice::ModemDevice(ModemDevice&& o) noexcept
    : fd(std::move(o.fd)),
      transport(o.transport),
      locked(std::exchange(o.locked, false)),
      path(std::move(o.path)),
      failure(o.failure),
      readIntervalMs(o.readIntervalMs),
      failed(o.failed),
      telnetPending(std::move(o.telnetPending)) {}

ModemDevice& ModemDevice::operator=(ModemDevice&& o) noexcept {
  if (this != &o) {
    CloseModemDevice(*this);
    fd = std::move(o.fd);
    transport = o.transport;
    locked = std::exchange(o.locked, false);
    path = std::move(o.path);
    failure = o.failure;
    readIntervalMs = o.readIntervalMs;
    failed = o.failed;
    telnetPending = std::move(o.telnetPending);
  }
  return *this;
}

ModemDevice::~ModemDevice() { CloseModemDevice(*this); }

void CloseModemDevice(ModemDevice& device) {
  if (device.fd.valid() && device.locked) {
    // The far end of a pty stays open: without this the next open of the line is refused.
    ioctl(device.fd.get(), TIOCNXCL);
    flock(device.fd.get(), LOCK_UN);
  }
  device.locked = false;
  device.fd.reset();
  device.telnetPending.clear();
}

void SetModemReadTimeouts(const ModemLine& line, ModemDevice& device) {
  if (line.settings.MinimumReadDelay != 0) {
    device.readIntervalMs = line.settings.MinimumReadDelay;
  } else {
    device.readIntervalMs = line.settings.OldPollingLogic ? 50 : 10;
  }
}

namespace {

constexpr uint32_t kSerialSpeeds[] = {115200, 57600, 38400, 19200, 9600, 2400};

ModemDevice Failed(ModemOpenFailure why) {
  ModemDevice d;
  d.failure = why;
  return d;
}

// A serial line at the first speed the modem answers at; one last-resort probe when none.
ModemDevice OpenSerialModem(const std::string& path, ModemLine& line) {
  for (bool hammered = false;;) {
    int error = 0;
    ModemDevice device = OpenSerialPort(path, error);
    if (!device.valid()) {
      if (device.failure == ModemOpenFailure::Busy) {
        WriteDebugLogf("OpenDevice", "Unable to open device %s, this device is already open by another application",
                       path.c_str());
      } else {
        WriteDebugLogf("OpenDevice", "Unable to open device %s, error %X", path.c_str(), static_cast<unsigned>(error));
      }
      return device;
    }
    for (uint32_t speed : kSerialSpeeds) {
      if (LineStopping(line)) return Failed(ModemOpenFailure::Failed);
      if (TestModemSpeed(device, speed, line)) return device;
      if (device.failed) break;  // the line hung up: no speed will do
    }
    CloseModemDevice(device);
    WriteDebugLog("OpenDevice", "Could not negotate modem speed");
    if (hammered || LineStopping(line)) return Failed(ModemOpenFailure::NoSpeed);
    hammered = true;
    if (!HammerNonResponsiveModem(path, line)) return Failed(ModemOpenFailure::NoSpeed);
  }
}

}  // namespace

ModemDevice OpenDevice(std::string_view name, ModemLine& line, std::string_view pin) {
  ModemName parsed = ParseModemName(name);
  switch (parsed.kind) {
    case ModemNameKind::IpModem:
      return OpenIpModem(parsed, line);
    case ModemNameKind::SerialPort:
      return OpenSerialModem(parsed.path, line);
    case ModemNameKind::Telephony:
      break;
  }
  std::string port = FindModemPort(name);
  if (port.empty()) {
    WriteDebugLogf("OpenDevice", "Unable to initialize modem:  no serial device for %.*s in /dev/serial/by-id/",
                   static_cast<int>(name.size()), name.data());
    return Failed(ModemOpenFailure::NotFound);
  }
  return OpenSerialModem(port, line);
}

std::string FindModemPort(std::string_view modemName, const std::string& byIdDir) {
  if (modemName.empty()) return {};
  DIR* dir = opendir(byIdDir.c_str());
  if (!dir) return {};
  std::vector<std::string> entries;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') entries.emplace_back(e->d_name);
  }
  closedir(dir);
  std::sort(entries.begin(), entries.end());
  // The links are named from the device's own description, spaces made '_'.
  std::string wanted(modemName);
  std::replace(wanted.begin(), wanted.end(), ' ', '_');
  std::string prefix = byIdDir;
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  for (const std::string& e : entries) {
    if (EqualsNoCase(e, modemName) || EqualsNoCase(e, wanted)) return prefix + e;
  }
  for (const std::string& e : entries) {
    if (FindNoCase(e, wanted) != std::string::npos) return prefix + e;
  }
  return {};
}

bool InitTAPIGlobal() { return true; }
bool InitTAPIThread() { return true; }
