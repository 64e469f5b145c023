#include "smsc/modem/modem_settings.h"

#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {

// The numbered command keys from 1 up to the first missing one.
std::vector<std::pair<std::string, std::string>> Commands(const std::string& section, const char* prefix) {
  std::vector<std::pair<std::string, std::string>> out;
  for (unsigned n = 1; n < 1000; ++n) {
    std::string key = prefix + std::to_string(n);
    std::string value = SMSIniString(section, key, "\x01", 255);
    if (value == "\x01") break;
    out.emplace_back(key, value);
  }
  return out;
}

bool Set(const std::string& section, const char* key) { return SMSIniString(section, key, "\x01", 255) != "\x01"; }

}  // namespace

std::string DialableDigits(std::string_view number) {
  size_t colon = number.rfind(':');
  if (colon != std::string_view::npos) number = number.substr(0, colon);
  number = Trim(number);
  std::string out;
  if (!number.empty() && number[0] == '+') out = "+";
  for (char c : number) {
    if (c >= '0' && c <= '9') out += c;
  }
  return out;
}

ModemSettings ReadModemSettings(std::string_view connection) {
  std::string section = ConnectionSectionName(connection);
  ModemSettings s;
  std::string phone = ConnectionValue(section, "PhoneNumber");
  s.phoneNumber = std::string(Trim(FirstListItem(phone)));
  s.pin = ConnectionValue(section, "PIN");
  s.smsc = DialableDigits(ConnectionValue(section, "SMSC"));
  s.excludeSmsc = ConnectionFlag(section, "ExcludeSMSC");
  s.textMode = ConnectionFlag(section, "ModemTextMode");
  s.allowPhase2Plus = ConnectionFlag(section, "AllowPhase2Plus");
  if (Set(section, "ModemSendWorkaround")) {
    s.sendWorkaround = ConnectionFlag(section, "ModemSendWorkaround");
  } else {
    s.sendWorkaround = FindNoCase(connection, "Multitech") != std::string_view::npos &&
                       FindNoCase(connection, "CDMA") != std::string_view::npos;
  }
  s.sendResponseSimple = ConnectionFlag(section, "ModemSendResponseSimple");
  s.sendExtraCr = ConnectionFlag(section, "ModemSendExtraCR");
  s.delayAfterSendMs = ConnectionNumber(section, "DelayAfterSend");
  s.delayAfterErrorMs = ConnectionNumber(section, "DelayAfterError");
  std::string receiveTo(Trim(ConnectionValue(section, "ReceiveTo")));
  if (EqualsNoCase(receiveTo, "Direct")) {
    s.direct = true;
  } else {
    s.receiveTo = ToUpper(CutTo(receiveTo, 9));
  }
  s.routeName = ConnectionValue(section, "RouteName");
  s.validity = ConnectionValue(section, "Validity");
  s.disableDeliveryReceipt = ConnectionFlag(section, "DisableDeliveryReceipt");
  s.receiveSms = ConnectionOrMainFlag(section, "ReceiveSMS");
  s.receiveMms = ConnectionFlag(section, "ReceiveMMS");
  s.smsAccess = std::string(Trim(ConnectionValue(section, "SMSAccess")));
  // [QARHUB] decides when it says yes; only its "No" lets the connection choose.
  s.hardResetAfterError = MainFlag("ModemHardResetAfterError") || ConnectionFlag(section, "ModemHardResetAfterError");
  std::string poll(Trim(ConnectionValue(section, "ReceivePoll")));
  if (poll.empty()) {
    s.receivePollSeconds = s.direct ? 3 : 2;
  } else {
    s.receivePollSeconds = ParseDecimal(poll);
    if (s.receivePollSeconds == 0) s.receivePollSeconds = 1;
  }
  s.rebootOnModemError = ConnectionFlag(section, "RebootOnModemError");
  s.resetUsbDevices = Set(section, "ResetUSBDevices") ? ConnectionFlag(section, "ResetUSBDevices") : s.rebootOnModemError;
  s.pollMemorySr = ConnectionFlag(section, "PollMemorySR");
  s.processReadMessages = ConnectionFlag(section, "ProcessReadMessages");
  s.oldPollingLogic = ConnectionFlag(section, "OldPollingLogic");
  s.preInit = Commands(section, "CommandPreInit");
  s.postInit = Commands(section, "CommandPostInit");
  s.preSend = Commands(section, "CommandPreSend");
  s.postSend = Commands(section, "CommandPostSend");
  s.usbDevice = std::string(Trim(ConnectionValue(section, "USBDevice")));
  return s;
}

bool ModemSettingsChanged(const ModemSettings& a, const ModemSettings& b) {
  return a.phoneNumber != b.phoneNumber || a.pin != b.pin || a.smsc != b.smsc || a.excludeSmsc != b.excludeSmsc ||
         a.textMode != b.textMode || a.allowPhase2Plus != b.allowPhase2Plus || a.sendWorkaround != b.sendWorkaround ||
         a.sendResponseSimple != b.sendResponseSimple || a.sendExtraCr != b.sendExtraCr ||
         a.delayAfterSendMs != b.delayAfterSendMs || a.delayAfterErrorMs != b.delayAfterErrorMs ||
         a.receiveTo != b.receiveTo || a.direct != b.direct || a.routeName != b.routeName || a.validity != b.validity ||
         a.disableDeliveryReceipt != b.disableDeliveryReceipt || a.receiveSms != b.receiveSms ||
         a.receiveMms != b.receiveMms || a.smsAccess != b.smsAccess || a.hardResetAfterError != b.hardResetAfterError ||
         a.receivePollSeconds != b.receivePollSeconds || a.rebootOnModemError != b.rebootOnModemError ||
         a.resetUsbDevices != b.resetUsbDevices || a.pollMemorySr != b.pollMemorySr ||
         a.processReadMessages != b.processReadMessages || a.oldPollingLogic != b.oldPollingLogic ||
         a.preInit != b.preInit || a.postInit != b.postInit || a.preSend != b.preSend || a.postSend != b.postSend ||
         a.usbDevice != b.usbDevice;
}
