// The ledger's own database ("LEDGER.DB" in the message-id tracking directory): short
// URLs, segment references and MMS message ids. One connection for the process.
#pragma once

#include <string>

#include "outside/qarvault/sqlite_helpers.h"

SharedSqlite& LedgerStore();
// The connection; the caller holds LedgerStore().lock. Null when it cannot be opened.
sqlite3* LedgerDbLocked();
void LedgerCloseAll();

// The directories as qarvault hands them out; empty on failure.
std::string LedgerTrackingDir();
std::string LedgerMMSCDataDir();

int64_t LedgerNow();
