#include "web/web_settings.h"

#include "runtime/config_access.h"
#include "runtime/local_system_account.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

WebSettingsRecord WebSettings;
IPRestrictionLists IPRestrictions;

void LoadWebSettings(WebSettingsRecord& s) {
  s.WebAuth = SMSIniFlag(kMainSection, "WebAuth", false);
  s.WebMenu = SMSIniFlag(kMainSection, "WebMenu", true);
  s.AdminIPAddressList = SMSIniString(kMainSection, "AdminIPAddressList", "", 1023);
  std::string realm = MMSCIniString("MMSC", "HostName", "", 255);
  s.Realm = realm.empty() ? "Qar SMS/MMS Gateway" : realm;
  std::string limit = SMSIniString(kMainSection, "MaxWebRequestBytes", "", 30);
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
