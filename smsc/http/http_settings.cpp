#include "smsc/http/http_settings.h"

#include <utility>

#include "config/settings_registry.h"
#include "runtime/text_helpers.h"

namespace {
constexpr int kMaxParseTexts = 200;

// name, name1, name2, ... up to the first empty one.
std::vector<std::string> NumberedTexts(const std::string& section, const std::string& name) {
  std::vector<std::string> out;
  for (int i = 0; i < kMaxParseTexts; ++i) {
    std::string value = ConnectionValue(section, i == 0 ? name : name + std::to_string(i));
    if (value.empty()) break;
    out.push_back(value);
  }
  return out;
}

// The key's value; its default also when it is written empty.
std::string TemplateValue(const std::string& section, std::string_view key) {
  std::string value = ConnectionValue(section, key);
  const SettingKey* k = FindSettingKey(key);
  return Trim(value).empty() && k != nullptr ? std::string(k->def) : value;
}
}  // namespace

HttpSmscSettings ReadHttpSmscSettings(std::string_view connection) {
  std::string section = ConnectionSectionName(connection);
  HttpSmscSettings s;
  s.userName = ConnectionOrMainValue(section, "UserName");
  s.password = ConnectionOrMainValue(section, "Password");
  s.templateText = TemplateValue(section, "TemplateText");
  s.templateBinary = TemplateValue(section, "TemplateBinary");
  s.proxy = std::string(Trim(ConnectionValue(section, "HTTPProxy")));
  s.bindIP = std::string(Trim(ConnectionOrMainValue(section, "BindIP")));
  s.useAuth = ConnectionFlag(section, "HTTPUseAuth");
  s.removePlus = ConnectionFlag(section, "RemovePlus");
  s.useSSL = ConnectionOrMainFlag(section, "UseSSL");
  s.senderAddressList = ConnectionOrMainValue(section, "SenderAddress");
  s.senderAddressOverride = ConnectionOrMainFlag(section, "SenderAddressOverride");
  s.routeName = ConnectionOrMainValue(section, "RouteName");
  s.validity = ConnectionOrMainValue(section, "Validity");
  s.disableDeliveryReceipt = ConnectionOrMainFlag(section, "DisableDeliveryReceipt");
  s.trackReceipts = ConnectionFlag(section, "TrackHTTPReceipts");
  s.useKeepAlive = ConnectionFlag(section, "UseKeepAlive");
  s.messageIdPrefix = ConnectionValue(section, "MessageIDResponsePrefix");
  s.parseFailure = NumberedTexts(section, "ParseFailure");
  s.parseSuccess = NumberedTexts(section, "ParseSuccess");
  s.charset = std::string(Trim(ConnectionValue(section, "Charset")));
  return s;
}

bool CheckReloadHttpSet(std::string_view connection, HttpSmscSettings& inUse) {
  HttpSmscSettings now = ReadHttpSmscSettings(connection);
  if (now.proxy != inUse.proxy || now.bindIP != inUse.bindIP || now.useSSL != inUse.useSSL) return true;
  inUse = std::move(now);
  return false;
}
