// Settings of the web listener that the settings block does not hold, and the IP
// restriction lists. Filled by start-up (LoadWebSettings, BuildIPRestrictionLists) before
// the listeners start; tests fill them directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WebSettingsRecord {
  bool WebAuth = false;
  bool WebMenu = true;
  std::string AdminIPAddressList;
  std::string Realm = "Qar SMS/MMS Gateway";     // [MMSC] HostName when set
  uint64_t MaxWebRequestBytes = 32u << 20;        // whole request, header and body
  std::string HtmlDirectory;                      // static pages, ends in "/"
  std::string UsersDirectory;                     // per-user folders, ends in "/"
  uint32_t IdleLimitSeconds = 180;                // quiet time before a read gives up
  std::string LocalSystemPassword;                // "" lets the internal account nowhere in
};
extern WebSettingsRecord WebSettings;

struct IPRestrictionLists {
  std::vector<std::string> Allowed;
  std::vector<std::string> Blocked;
};
extern IPRestrictionLists IPRestrictions;

// Reads WebAuth, WebMenu, AdminIPAddressList, MaxWebRequestBytes of [QARHUB] and the realm;
// the html folder is "html/" and the users folder "USERS/" under the program data directory;
// the internal account's password is this installation's (made at the first start).
void LoadWebSettings(WebSettingsRecord& s);
// Reads Allowed1, Allowed2, ... and Blocked1, ... of [IPRestrictions], each list ending at
// the first missing or empty key; values cut to 149 characters.
void BuildIPRestrictionLists(IPRestrictionLists& lists);
