#include "smsc/modem/modem_recovery.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "config/settings_registry.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/process_runner.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/waits.h"

namespace {

constexpr unsigned kUsbCommandMs = 60000;
constexpr time_t kRebootAfterSeconds = 599;

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The command of a setting as an argument vector; a bare program name is looked for in the
// program directory first.
std::vector<std::string> CommandOf(std::string_view line) {
  std::vector<std::string> argv = SplitCommandLine(line);
  if (!argv.empty() && argv[0].find('/') == std::string::npos) {
    std::string found = FindProgram(RealProgramDirectory(), argv[0]);
    if (!found.empty()) argv[0] = found;
  }
  return argv;
}

bool RunUsbCommand(std::string_view connection, const ModemSettings& settings, const char* verb, const char* label) {
  std::string device = ModemUsbDevice(connection, settings);
  std::vector<std::string> argv = CommandOf(MainValue("ModemUSBCommand"));
  if (device.empty() || argv.empty()) {
    WriteDebugLogf(label, "No USB device known for %.*s", int(connection.size()), connection.data());
    return false;
  }
  argv.push_back(verb);
  argv.push_back(device);
  ProcessOptions options;
  options.timeoutMs = kUsbCommandMs;
  int code = RunProcess(argv, options);
  WriteDebugLogf(label, "%s %s %s: exit code %d", argv[0].c_str(), verb, device.c_str(), code);
  return code == 0 || code == 1;
}

}  // namespace

std::string UsbDeviceOfTty(const std::string& devicePath, const std::string& sysRoot) {
  std::string real = RealPath(devicePath);
  if (real.empty()) return "";
  std::string name = real.substr(real.rfind('/') + 1);
  std::string dir = RealPath(sysRoot + "/class/tty/" + name + "/device");
  // Up from the tty's interface to the USB device, which has the authorized switch and its
  // vendor id (an interface has neither).
  while (dir.size() > sysRoot.size() + 1) {
    if (Exists(dir + "/authorized") && Exists(dir + "/idVendor")) return dir;
    dir = dir.substr(0, dir.rfind('/'));
  }
  return "";
}

std::string ModemUsbDevice(std::string_view connection, const ModemSettings& settings) {
  if (!settings.usbDevice.empty()) return settings.usbDevice;
  if (!StartsWithNoCase(connection, "/dev/")) return "";
  return UsbDeviceOfTty(std::string(connection));
}

bool USBModemEnable(std::string_view connection, const ModemSettings& settings) {
  return RunUsbCommand(connection, settings, "ENABLE", "USBModemEnable");
}

bool USBModemDisable(std::string_view connection, const ModemSettings& settings) {
  return RunUsbCommand(connection, settings, "DISABLE", "USBModemDisable");
}

bool RestartLocalServer() {
  WriteDebugLog("RestartLocalServer", "Entering RestartLocalServer");
  std::vector<std::string> argv = CommandOf(MainValue("ModemRebootCommand"));
  if (argv.empty()) return false;
  int code = RunProcess(argv, ProcessOptions{});
  if (code != 0) WriteDebugLogf("RestartLocalServer", "%s failed: exit code %d", argv[0].c_str(), code);
  return code == 0;
}

void EscalateAfterFailedStart(std::string_view connection, const ModemSettings& settings, ModemEscalation& e) {
  time_t now = NowSeconds();
  if (e.failures++ == 0) e.firstFailure = now;
  if (settings.rebootOnModemError && now - e.firstFailure > kRebootAfterSeconds) {
    if (e.rebootRequested) return;
    if (settings.resetUsbDevices && USBModemDisable(connection, settings)) {
      SMSIniWrite(ConnectionSectionName(connection), "USBReEnable", "Yes");
    }
    e.rebootRequested = RestartLocalServer();
    return;
  }
  if (settings.resetUsbDevices && USBModemDisable(connection, settings)) USBModemEnable(connection, settings);
}

void ReEnableAfterReboot(std::string_view connection, const ModemSettings& settings) {
  std::string section = ConnectionSectionName(connection);
  if (!ConfigBool(SMSIniString(section, "USBReEnable"))) return;
  WriteDebugLogf("ThreadProcessModem", "Re-enabling modem:  %.*s ...", int(connection.size()), connection.data());
  SMSIniWriteProfileString(section.c_str(), "USBReEnable", nullptr);
  if (!USBModemEnable(connection, settings)) return;
  SleepUnlessShutdown(15000, TickMs());
  if (!USBModemEnable(connection, settings)) return;
  SleepUnlessShutdown(15000, TickMs());
}
