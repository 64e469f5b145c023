// Finding the speed a serial modem answers at, and the last resort when it answers at none.
#include <cerrno>
#include <cstring>
#include <string>

#include "modem/line_io.h"
#include "modem/modem_line.h"
#include "modem/modem_names.h"
#include "modem/reply_end.h"
#include "modem/serial_port.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"

namespace {

constexpr uint32_t kHammerSpeeds[] = {460800, 230400, 115200, 115200, 57600, 38400, 19200, 9600};

// Reads until "OK" and a line end came, or waitMs passed; a modem that answers late (a slow
// terminal server) is not taken for one that does not answer.
bool ReadForOk(ModemDevice& device, uint32_t waitMs, const ModemLine& line) {
  std::string reply;
  uint64_t start = TickMs();
  for (;;) {
    uint64_t spent = TickMs() - start;
    if (spent >= waitMs) return false;
    if (ReadSome(device, reply, 500 - std::min<size_t>(reply.size(), 499) - 1, static_cast<uint32_t>(waitMs - spent),
                 &line) < 0) {
      return false;
    }
    if (HasOkAfter(reply)) return true;
    if (reply.size() >= 498) reply.erase(0, reply.size() - 8);  // keep a cut "OK" whole
  }
}

void Discard(ModemDevice& device, uint32_t waitMs, const ModemLine& line) {
  std::string ignored;
  ReadSome(device, ignored, 500, waitMs, &line);
}

}  // namespace

int TestModemSpeed(ModemDevice& device, uint32_t bitsPerSecond, ModemLine& line) {
  if (device.transport == ModemTransport::Serial && !SetLineSpeed(device, bitsPerSecond)) {
    WriteDebugLogf("TestModemSpeed", "BuildCommDCB failed error %lu", static_cast<unsigned long>(errno));
    return 0;
  }
  SendModemCommand(device, "\r", line);
  SendModemCommand(device, "\r", line);
  Discard(device, 1000, line);
  SendModemCommand(device, "ATE0V1\r", line);
  bool ok = ReadForOk(device, 5000, line);
  if (!ok && !device.failed) {
    SendModemCommand(device, "+++ATH0\r", line);
    SendModemCommand(device, "\x1b", line);
    SendModemCommand(device, "\r", line);
    Discard(device, 1000, line);
    SendModemCommand(device, "ATE0V1\r", line);
    ok = ReadForOk(device, 5000, line);
  }
  if (ok) WriteDebugLogf("TestModemSpeed", "Initialised modem at %u bps", bitsPerSecond);
  return ok ? 1 : 0;
}

int HammerNonResponsiveModem(std::string_view portName, ModemLine& line) {
  static constexpr const char* kLabel = "HammerNonResponsiveModem";
  WriteDebugLog(kLabel, "Begin");
  std::string path = HammerPortPath(portName);
  bool resetTried = false;
  for (;;) {
    int error = ENOENT;
    ModemDevice device = path.empty() ? ModemDevice() : OpenSerialPort(path, error);
    if (!device.valid()) {
      std::string text = StrPrintf("Unable to access modem at %.*s -- Error %X -- %s", static_cast<int>(portName.size()),
                                   portName.data(), static_cast<unsigned>(error), strerror(error));
      if (device.failure == ModemOpenFailure::Busy) text += "Another application is already using this device.";
      WriteDebugLog(kLabel, text);
      WriteDebugLog(kLabel, "FAILED");
      return 0;
    }
    for (uint32_t speed : kHammerSpeeds) {
      if (LineStopping(line) || device.failed) break;
      if (TestModemSpeed(device, speed, line)) {
        CloseModemDevice(device);
        WriteDebugLog(kLabel, "OK");
        return 1;
      }
    }
    if (resetTried || !line.hardReset || LineStopping(line) || device.failed) break;
    resetTried = true;
    if (!line.hardReset(device)) break;
    CloseModemDevice(device);
    PauseLine(15000, line);
  }
  WriteDebugLog(kLabel, "FAILED");
  return 0;
}
