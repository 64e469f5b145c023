#include "smsc/smpp/smpp_settings.h"

#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
std::string Value(const std::string& section, const char* key) { return ConnectionOrMainValue(section, key); }
bool Flag(const std::string& section, const char* key) { return ConnectionOrMainFlag(section, key); }
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
  s.version = EqualsNoCase(Trim(Value(section, "SMPPVersion")), "v3.3") ? 0x33 : 0x34;
  s.userName = Value(section, "UserName");
  s.password = Value(section, "Password");
  s.addressRange = Value(section, "AddressRange");
  s.systemType = Value(section, "SystemType");
  s.senderAddressList = Value(section, "SenderAddress");
  s.defaultSender = CutTo(Trim(s.senderAddressList.substr(0, s.senderAddressList.find(','))), 150);
  s.bindIP = Value(section, "BindIP");
  s.receive = Flag(section, "Receive");
  s.receiveSingleConnection = Flag(section, "ReceiveSingleConnection");
  s.senderAddressOverride = Flag(section, "SenderAddressOverride");
  std::string keepAlive = Value(section, "KeepAlive");
  s.keepAliveSeconds = Trim(keepAlive).empty() ? 58 : ParseDecimal(keepAlive);
  ParsePortPair(Value(section, "SenderPort"), s.senderLocalPort, s.senderRemotePort);
  ParsePortPair(Value(section, "ReceiverPort"), s.receiverLocalPort, s.receiverRemotePort);
  s.wdpAdaptation = Flag(section, "WDPAdaptation");
  s.useTLV = Flag(section, "UseTLV");
  s.useSSL = Flag(section, "UseSSL");
  s.routeName = Value(section, "RouteName");
  s.validity = Value(section, "Validity");
  s.disableDeliveryReceipt = Flag(section, "DisableDeliveryReceipt");
  s.windowSize = ConnectionOrMainNumber(section, "WindowSize");
  s.commandTimeoutSeconds = ConnectionOrMainNumber(section, "CommandTimeout");
  s.throttleErrorDelaySeconds = ConnectionOrMainNumber(section, "SMPPThrottleErrorDelay");
  s.throttleForQFull = Flag(section, "ThrottleForQFull");
  s.restartQAfterThrottleError = Flag(section, "RestartQAfterThrottleError");
  bool routePrefOnly = ConnectionFlag(section, "RoutePrefOnly");
  bool route1Empty = ConnectionValue(section, "Route1").empty();
  s.receiveOnly = s.receive && !s.receiveSingleConnection && routePrefOnly && route1Empty;
  std::string receivers = ConnectionValue(section, "ReceiverCount");
  s.receiverCount = Trim(receivers).empty() ? ConnectionNumber(section, "TransmitterCount") : ParseDecimal(receivers);
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
