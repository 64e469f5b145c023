#include "modem/modem_line.h"

#include <sys/ioctl.h>
#include <sys/file.h>
#include <termios.h>

ModemDevice::ModemDevice(ModemDevice&& o) noexcept
    : fd(std::move(o.fd)),
      transport(o.transport),
      locked(std::exchange(o.locked, false)),
      path(std::move(o.path)),
      failure(o.failure),
      readIntervalMs(o.readIntervalMs),
      failed(o.failed) {}

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
  }
  return *this;
}

ModemDevice::~ModemDevice() { CloseModemDevice(*this); }

void CloseModemDevice(ModemDevice& device) {
  if (device.fd.valid() && device.locked && device.transport == ModemTransport::Serial) {
    ioctl(device.fd.get(), TIOCNXCL);
    flock(device.fd.get(), LOCK_UN);
  }
  device.locked = false;
  device.fd.reset();
}

ModemLineSettings ReadModemLineSettings(std::string_view) { return {}; }
ModemDevice OpenDevice(std::string_view, ModemLine&, std::string_view) {
  ModemDevice d;
  d.failure = ModemOpenFailure::Failed;
  return d;
}
void SetModemReadTimeouts(const ModemLine&, ModemDevice&) {}
int TestModemSpeed(ModemDevice&, uint32_t, ModemLine&) { return 0; }
int HammerNonResponsiveModem(std::string_view, ModemLine&) { return 0; }
int SendModemCommand(ModemDevice&, std::string_view, ModemLine&) { return 0; }
size_t ReceiveModemCommand(ModemDevice&, std::string& reply, const ModemReadRequest&, ModemLine&) {
  reply.clear();
  return 0;
}
size_t ReceiveModemCommandWaitForPrompt(ModemDevice&, std::string& reply, std::string_view, uint32_t, ModemLine&,
                                        size_t) {
  reply.clear();
  return 0;
}
size_t FlushInput(ModemDevice&) { return 0; }
int FilterCMTandCDS(ModemDevice&, std::string&, bool*, ModemLine&) { return 1; }
std::string FindModemPort(std::string_view, const std::string&) { return {}; }
bool InitTAPIGlobal() { return true; }
bool InitTAPIThread() { return true; }
