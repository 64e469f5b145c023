// The address book (ADDRESS.LST) and distribution lists (name.TXT) of each web user under
// DLists, maintained through /AddrBook and /DLists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/web_connection.h"

bool HandleAddressBook(WebConnection& c, WebRequest& request);
bool HandleDistributionLists(WebConnection& c, WebRequest& request);

// File operations, each a read-modify-write under the lock of the file.
// Lines of a list file (byte-order mark skipped, lines up to 1,024 characters).
std::vector<std::string> ReadListLines(const std::string& path);
// Removes the lines whose number (text up to the first space) equals number without case;
// deletes the file when it becomes empty and deleteWhenEmpty. True when a line was removed.
bool RemoveListLine(const std::string& path, std::string_view number, bool deleteWhenEmpty);
// Appends line unless a line with the same number exists (replace: the old one is removed).
bool AddListLine(const std::string& path, std::string_view line, bool replace);
