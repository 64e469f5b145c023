// The ledger's own database ("LEDGER.DB" in the message-id tracking directory): short
// URLs, segment references and MMS message ids. One connection for the process.
#pragma once

#include <string>

#include "outside/qarvault/sqlite_helpers.h"

SharedSqlite& LedgerStore();
// The connection; the caller holds LedgerStore().lock. Null when it cannot be opened.
sqlite3* LedgerDbLocked() REQUIRES(LedgerStore().lock);
void LedgerCloseAll();
// When old records were last dropped (0: not since the store was opened); guarded by
// LedgerStore().lock.
int64_t& LedgerLastPurge();

// The directories as qarvault hands them out; empty on failure.
// At most hourly: drops the records older than SMPPDataRetainDays (0 or empty: 15), as the
// message ids are; a short URL counts from its last use. The caller holds the lock.
void LedgerPurgeOldLocked(sqlite3* db) REQUIRES(LedgerStore().lock);

std::string LedgerTrackingDir();
std::string LedgerMMSCDataDir();

int64_t LedgerNow();
