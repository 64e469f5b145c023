// The start-up check of the message-id databases, with repair through sqlite3.
#pragma once

#include <string>

// Tests every "*.DB" file in trackingDir and its immediate subdirectories with
// sqlTestDatabaseOK (when the ledger library offers it); a damaged file is renamed to
// "<path>YYYYMMDDhhmmss.damaged" and, when the sqlite3 program is found, rebuilt from its
// dump. Returns the number of damaged files found.
unsigned CheckMessageIdDatabases(const std::string& trackingDir);
