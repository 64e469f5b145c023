// MMS message ids: local -> remote and remote -> local, each with the caller's text.
#include "outside/qarledger/ledger_db.h"
#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/mutex.h"
#include "runtime/text_helpers.h"

namespace {

int AddPair(const char* sql, const char* key, const char* other, const char* info) {
  if (key == nullptr || *key == '\0' || other == nullptr) return 0;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return 0;
  SqliteStmt stmt = SqlitePrepare(db, sql);
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, key);
  SqliteBindText(stmt.get(), 2, other);
  SqliteBindText(stmt.get(), 3, TextOrEmpty(info));
  sqlite3_bind_int64(stmt.get(), 4, LedgerNow());
  if (!SqliteStepDone(stmt.get())) return 0;
  LedgerPurgeOldLocked(db);
  return 1;
}

int GetPair(const char* sql, const char* key, char* other, char* info, uint32_t size) {
  if (key == nullptr) return 0;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return 0;
  SqliteStmt stmt = SqlitePrepare(db, sql);
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, key);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  CopyToBuffer(SqliteColumnText(stmt.get(), 0), other, size);
  CopyToBuffer(SqliteColumnText(stmt.get(), 1), info, size);
  return 1;
}

}  // namespace

extern "C" {

int sqlMMSLocalIDAdd(const char* localId, const char* remoteId, const char* info) {
  return AddPair(
      "INSERT OR REPLACE INTO mms_local_id(local_id, remote_id, info, created) VALUES(?,?,?,?)",
      localId, remoteId, info);
}

int sqlMMSLocalIDGet(const char* localId, char* remoteId, char* info, uint32_t size) {
  return GetPair("SELECT remote_id, info FROM mms_local_id WHERE local_id = ?", localId, remoteId,
                 info, size);
}

int sqlMMSRemoteIDAdd(const char* remoteId, const char* localId, const char* info) {
  return AddPair(
      "INSERT OR REPLACE INTO mms_remote_id(remote_id, local_id, info, created) VALUES(?,?,?,?)",
      remoteId, localId, info);
}

int sqlMMSRemoteIDGet(const char* remoteId, char* localId, char* info, uint32_t size) {
  return GetPair("SELECT local_id, info FROM mms_remote_id WHERE remote_id = ?", remoteId,
                 localId, info, size);
}

}  // extern "C"
