#include "web/web_settings.h"

#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/local_system_account.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

WebSettingsRecord WebSettings;
IPRestrictionLists IPRestrictions;

void LoadWebSettings(WebSettingsRecord& s) {
  s.WebAuth = MainFlag("WebAuth");
  s.WebMenu = MainFlag("WebMenu");
  s.AdminIPAddressList = MainValue("AdminIPAddressList");
  std::string realm = MmscValue("HostName");
  s.Realm = realm.empty() ? "Qar SMS/MMS Gateway" : realm;
  std::string limit = MainValue("MaxWebRequestBytes");
  uint64_t bytes = 0;
  for (char c : limit) {
    if (c < '0' || c > '9' || bytes > (uint64_t(1) << 40)) break;
    bytes = bytes * 10 + uint64_t(c - '0');
  }
  s.MaxWebRequestBytes = bytes >= 4096 ? bytes : (32u << 20);
  s.HtmlDirectory = ProgramDataDirectory() + "html/";
  s.UsersDirectory = ProgramDataDirectory() + "USERS/";
  s.LocalSystemPassword = LocalSystemPassword();
}

void BuildIPRestrictionLists(IPRestrictionLists& lists) {
  lists.Allowed.clear();
  lists.Blocked.clear();
  for (uint32_t i = 1;; ++i) {
    std::string v = SMSIniString("IPRestrictions", StrPrintf("Allowed%u", i), "", 149);
    if (v.empty()) break;
    lists.Allowed.push_back(v);
  }
  for (uint32_t i = 1;; ++i) {
    std::string v = SMSIniString("IPRestrictions", StrPrintf("Blocked%u", i), "", 149);
    if (v.empty()) break;
    lists.Blocked.push_back(v);
  }
}
