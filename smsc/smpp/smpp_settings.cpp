#include "smsc/smpp/smpp_settings.h"

#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
constexpr const char* kAbsent = "\x01";

std::string Value(const std::string& section, const char* key, size_t maxLen, const char* def = "") {
  return ConnectionSetting(section, key, def, maxLen);
}
bool Flag(const std::string& section, const char* key, bool def) {
  std::string v = ConnectionSetting(section, key, kAbsent, 49);
  if (v == kAbsent) return def;
  return ConfigBool(v);
}
uint16_t Port(std::string_view text) {
  uint32_t v = ParseDecimal(text);
  return v > 65535 ? 0 : uint16_t(v);
}
}  // namespace

void ParsePortPair(std::string_view text, uint16_t& local, uint16_t& remote) {
  size_t colon = text.find(':');
  local = Port(text.substr(0, colon));
  remote = colon == std::string_view::npos ? 0 : Port(text.substr(colon + 1));
}

SmppConnectionSettings ReadSmppSettings(std::string_view connection) {
  std::string section = ConnectionSectionName(connection);
  SmppConnectionSettings s;
  s.version = EqualsNoCase(Trim(Value(section, "SMPPVersion", 20)), "v3.3") ? 0x33 : 0x34;
  s.userName = Value(section, "UserName", 150);
  s.password = Value(section, "Password", 150);
  s.addressRange = Value(section, "AddressRange", 150);
  s.systemType = Value(section, "SystemType", 150);
  s.senderAddressList = Value(section, "SenderAddress", 500);
  s.defaultSender = CutTo(Trim(s.senderAddressList.substr(0, s.senderAddressList.find(','))), 150);
  s.bindIP = Value(section, "BindIP", 50);
  s.receive = Flag(section, "Receive", false);
  s.receiveSingleConnection = Flag(section, "ReceiveSingleConnection", false);
  s.senderAddressOverride = Flag(section, "SenderAddressOverride", true);
  std::string keepAlive = Value(section, "KeepAlive", 20);
  s.keepAliveSeconds = Trim(keepAlive).empty() ? 58 : ParseDecimal(keepAlive);
  ParsePortPair(Value(section, "SenderPort", 50), s.senderLocalPort, s.senderRemotePort);
  ParsePortPair(Value(section, "ReceiverPort", 50), s.receiverLocalPort, s.receiverRemotePort);
  s.wdpAdaptation = Flag(section, "WDPAdaptation", false);
  s.useTLV = Flag(section, "UseTLV", false);
  s.useSSL = Flag(section, "UseSSL", false);
  s.routeName = Value(section, "RouteName", 100);
  s.validity = Value(section, "Validity", 50);
  s.disableDeliveryReceipt = Flag(section, "DisableDeliveryReceipt", false);
  s.windowSize = ParseDecimal(Value(section, "WindowSize", 20));
  std::string timeout = Value(section, "CommandTimeout", 20, kAbsent);
  s.commandTimeoutSeconds = timeout == kAbsent ? 120 : ParseDecimal(timeout);
  std::string delay = Value(section, "SMPPThrottleErrorDelay", 20, kAbsent);
  s.throttleErrorDelaySeconds = delay == kAbsent ? 5 : ParseDecimal(delay);
  s.throttleForQFull = Flag(section, "ThrottleForQFull", false);
  s.restartQAfterThrottleError = Flag(section, "RestartQAfterThrottleError", false);
  bool routePrefOnly = ConfigBool(SMSIniString(section, "RoutePrefOnly"));
  bool route1Empty = SMSIniString(section, "Route1").empty();
  s.receiveOnly = s.receive && !s.receiveSingleConnection && routePrefOnly && route1Empty;
  std::string receivers = SMSIniString(section, "ReceiverCount", "", 20);
  s.receiverCount = Trim(receivers).empty() ? ParseDecimal(SMSIniString(section, "TransmitterCount", "", 20))
                                            : ParseDecimal(receivers);
  if (s.receiverCount == 0) s.receiverCount = 1;
  return s;
}

bool SmppUsesWindow(const SmppConnectionSettings& s) { return s.windowSize > 0 && !(s.wdpAdaptation && !s.useTLV); }

bool SmppSettingsNeedReconnect(const SmppConnectionSettings& a, const SmppConnectionSettings& b) {
  return a.version != b.version || a.userName != b.userName || a.password != b.password ||
         a.addressRange != b.addressRange || a.systemType != b.systemType || a.bindIP != b.bindIP ||
         a.receive != b.receive || a.receiveSingleConnection != b.receiveSingleConnection ||
         a.senderLocalPort != b.senderLocalPort || a.senderRemotePort != b.senderRemotePort ||
         a.receiverLocalPort != b.receiverLocalPort || a.receiverRemotePort != b.receiverRemotePort ||
         a.wdpAdaptation != b.wdpAdaptation || a.useSSL != b.useSSL || (a.windowSize == 0) != (b.windowSize == 0) ||
         SmppUsesWindow(a) != SmppUsesWindow(b) || a.receiveOnly != b.receiveOnly;
}
