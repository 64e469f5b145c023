#include "smsc/ucpcimd/ucpcimd_settings.h"

#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "smsc/route_decision.h"

namespace {

uint16_t Port(uint32_t v) { return v > 65535 ? 0 : uint16_t(v); }

// The library's own results (link, timeout, protocol) are never the centre's verdict.
bool CentreCode(int status) { return status > 0; }

}  // namespace

UcpCimdSettings ReadUcpCimdSettings(std::string_view connection) {
  std::string section = ConnectionSectionName(connection);
  UcpCimdSettings s;
  s.userName = ConnectionOrMainValue(section, "UserName");
  s.password = ConnectionOrMainValue(section, "Password");
  s.receive = ConnectionOrMainFlag(section, "Receive");
  s.senderAddressList = ConnectionOrMainValue(section, "SenderAddress");
  s.bindIP = ConnectionOrMainValue(section, "BindIP");
  s.senderAddressOverride = ConnectionOrMainFlag(section, "SenderAddressOverride");
  s.localPort = Port(ConnectionNumber(section, "LocalPort"));
  s.keepAliveSeconds = ParseDecimal(Trim(ConnectionOrMainValue(section, "KeepAlive")));
  s.routeName = ConnectionOrMainValue(section, "RouteName");
  s.disableDeliveryReceipt = ConnectionOrMainFlag(section, "DisableDeliveryReceipt");
  s.receivePort = Port(ConnectionNumber(section, "ReceivePort"));
  return s;
}

bool UcpCimdSettingsNeedReconnect(const UcpCimdSettings& a, const UcpCimdSettings& b) {
  return a.userName != b.userName || a.password != b.password || a.bindIP != b.bindIP ||
         a.localPort != b.localPort || a.receive != b.receive || a.receivePort != b.receivePort;
}

SubmitOutcome UcpCimdOutcome(int status, std::string_view rejectList) {
  if (status == 0) return SubmitOutcome::Done;
  if (status == -1) return SubmitOutcome::LinkLost;
  if (CentreCode(status) && StatusInList(rejectList, status, false, CentreCode)) return SubmitOutcome::Rejected;
  return SubmitOutcome::Retry;
}

std::string UcpCimdExtraParams(const SmsMessageRecord& m, std::string_view gatewayMessageId) {
  std::string out;
  auto add = [&](const char* key, std::string_view value) {
    if (value.empty()) return;
    if (!out.empty()) out += "; ";
    out += key;
    // An item ends at ";": a value may not start another one.
    for (char c : StripControlBytes(value)) out.push_back(c == ';' ? ',' : c);
  };
  add("BillingInfo=", m.BillingInfo);
  add("LocalUser=", m.SubmitUser);
  add("OurMsgId=", gatewayMessageId);
  return out;
}
