// "/ADMIN": the address check, the administrator login, and the dispatch to the pages,
// the status documents, the log files, the administrator commands and static files.
#pragma once

#include <string>
#include <string_view>

#include "web/web_connection.h"

// The administration site: WEBADMIN in the program data directory.
std::string AdminSiteDirectory();
// Writes the shipped templates into directory when it has no INDEX.HTM yet (a fresh
// installation); false when one cannot be written.
bool InstallDefaultAdminPages(const std::string& directory);

// The address check and login shared with provisioning. True when the caller passed;
// otherwise the 403 or 401 answer was sent. checkLogin false: the address alone.
bool AdminAccessAllowed(WebConnection& c, const WebRequest& request, const char* label, bool checkLogin,
                        std::string* password = nullptr);

bool ProcessAdminRequest(WebConnection& c, WebRequest& request);

// Registers the administration and provisioning handlers with the web listener.
void InstallAdminHandlers();
