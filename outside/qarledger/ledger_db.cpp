#include "outside/qarledger/ledger_db.h"

#include <ctime>

#include "outside/qarvault/qarvault.h"
#include "runtime/mutex.h"
#include "runtime/text_helpers.h"

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS short_url("
    " code TEXT NOT NULL PRIMARY KEY, url TEXT NOT NULL UNIQUE,"
    " created INTEGER NOT NULL, last_used INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS sar_id("
    " user TEXT NOT NULL, recipient TEXT NOT NULL, reference INTEGER NOT NULL,"
    " count INTEGER NOT NULL, number INTEGER NOT NULL, new_reference INTEGER NOT NULL,"
    " created INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sar_id_key ON sar_id(user, recipient, reference, count);"
    "CREATE TABLE IF NOT EXISTS mms_local_id("
    " local_id TEXT NOT NULL PRIMARY KEY, remote_id TEXT NOT NULL, info TEXT NOT NULL,"
    " created INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS mms_remote_id("
    " remote_id TEXT NOT NULL PRIMARY KEY, local_id TEXT NOT NULL, info TEXT NOT NULL,"
    " created INTEGER NOT NULL);";

constexpr int64_t kPurgeInterval = 3600;

std::string DirectoryFrom(int (*get)(char*, uint32_t)) {
  char buf[4096];
  return get(buf, sizeof buf) > 0 ? std::string(buf) : std::string();
}

}  // namespace

SharedSqlite& LedgerStore() {
  static SharedSqlite store;
  return store;
}

sqlite3* LedgerDbLocked() REQUIRES(LedgerStore().lock) {
  std::string dir = LedgerTrackingDir();
  if (dir.empty()) return nullptr;
  return SharedSqliteOpenLocked(LedgerStore(), dir + "LEDGER.DB", kSchema);
}

void LedgerCloseAll() {
  MutexLock lock(LedgerStore().lock);
  SharedSqliteCloseLocked(LedgerStore());
  LedgerLastPurge() = 0;
}

int64_t& LedgerLastPurge() {
  static int64_t lastPurge = 0;
  return lastPurge;
}

void LedgerPurgeOldLocked(sqlite3* db) REQUIRES(LedgerStore().lock) {
  int64_t& lastPurge = LedgerLastPurge();
  int64_t now = LedgerNow();
  if (now - lastPurge < kPurgeInterval) return;
  lastPurge = now;
  char days[16];
  SMSIniGetProfileString("QARHUB", "SMPPDataRetainDays", "", days, sizeof days);
  uint32_t keep = ParseDecimal(days);
  if (keep == 0) keep = 15;
  SqliteDeleteOlderThan(db,
                        {"DELETE FROM mms_local_id WHERE created < ?",
                         "DELETE FROM mms_remote_id WHERE created < ?",
                         "DELETE FROM short_url WHERE last_used < ?"},
                        now - static_cast<int64_t>(keep) * 86400);
}

std::string LedgerTrackingDir() { return DirectoryFrom(GetMessageIdTrackingDirectory); }
std::string LedgerMMSCDataDir() { return DirectoryFrom(GetMMSCDataDirectory); }

int64_t LedgerNow() { return static_cast<int64_t>(std::time(nullptr)); }
