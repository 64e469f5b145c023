// The settings of a GSM modem connection, read from its section when a session starts and
// compared by the change check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ModemSettings {
  std::string phoneNumber;  // text before the first comma
  std::string pin;
  std::string smsc;  // reduced to "+" and digits
  bool excludeSmsc = false;
  bool textMode = false;
  bool allowPhase2Plus = false;
  bool sendWorkaround = false;
  bool sendResponseSimple = true;
  bool sendExtraCr = false;
  uint32_t delayAfterSendMs = 0, delayAfterErrorMs = 0;
  std::string receiveTo;  // storage name; empty with direct
  bool direct = false;    // ReceiveTo "Direct"
  std::string routeName, validity;
  bool disableDeliveryReceipt = false;
  bool receiveSms = false;
  bool receiveMms = false;
  std::string smsAccess;
  bool hardResetAfterError = true;
  uint32_t receivePollSeconds = 2;  // 0 in the file means 1
  bool rebootOnModemError = false, resetUsbDevices = false;
  bool pollMemorySr = false;
  bool processReadMessages = true, oldPollingLogic = false;
  std::vector<std::pair<std::string, std::string>> preInit, postInit, preSend, postSend;  // key, command
  std::string usbDevice;  // sysfs USB device of the modem, when the walk up from its tty cannot find it
};

ModemSettings ReadModemSettings(std::string_view connection);
// True when the settings differ in anything but USBReEnable, which the gateway itself writes
// into the section before a reboot (CheckReloadModemSet).
bool ModemSettingsChanged(const ModemSettings& inUse, const ModemSettings& now);
// "+" and the digits of a number; everything from its last ":" dropped.
std::string DialableDigits(std::string_view number);
