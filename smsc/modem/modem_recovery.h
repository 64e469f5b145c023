// Hardware recovery of a modem that does not come back: a power cycle of its USB device and,
// as the last step, a reboot of the machine, each by a configured command (an argument
// vector, never a shell).
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/process_runner.h"
#include "smsc/modem/modem_settings.h"

// The sysfs directory of the USB device above a tty device (symlinks followed); "" when the
// device is not on USB (a pty, an IP modem).
std::string UsbDeviceOfTty(const std::string& devicePath, const std::string& sysRoot = "/sys");
// The USB device of a connection: USBDevice when set, else the one above its tty.
std::string ModemUsbDevice(std::string_view connection, const ModemSettings& settings);

// ModemUSBCommand with ENABLE or DISABLE and the device; false without a device (nothing
// run) or when the command fails (exit code other than 0 or 1).
bool USBModemEnable(std::string_view connection, const ModemSettings& settings);
bool USBModemDisable(std::string_view connection, const ModemSettings& settings);
// Runs ModemRebootCommand.
bool RestartLocalServer();

// Failed session starts in a row, for the escalation.
struct ModemEscalation {
  unsigned failures = 0;
  time_t firstFailure = 0;
  bool rebootRequested = false;
};
// After a failed start: the USB cycle (ResetUSBDevices) or, after more than 599 s of
// failures with RebootOnModemError, the USBReEnable marker and the reboot.
void EscalateAfterFailedStart(std::string_view connection, const ModemSettings& settings, ModemEscalation& e);
// At a session start: a USBReEnable marker left before a reboot enables the device again.
void ReEnableAfterReboot(std::string_view connection, const ModemSettings& settings);
