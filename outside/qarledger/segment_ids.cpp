// Segment references of clients' long messages, re-mapped per submission.
#include "outside/qarledger/ledger_db.h"
#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/buffer_copy.h"
#include "runtime/mutex.h"

namespace {

// Segments of one message arrive within minutes; a day is generous.
constexpr int64_t kKeepSeconds = 86400;

// Parameters 1 to 5 of both statements.
void BindSegmentKey(sqlite3_stmt* stmt, const char* user, const char* recipient,
                    uint32_t reference, uint32_t count, uint32_t number) {
  SqliteBindText(stmt, 1, TextOrEmpty(user));
  SqliteBindText(stmt, 2, recipient);
  sqlite3_bind_int64(stmt, 3, reference);
  sqlite3_bind_int64(stmt, 4, count);
  sqlite3_bind_int64(stmt, 5, number);
}

}  // namespace

extern "C" {

int sqlSARIDGet(const char* user, const char* recipient, uint32_t reference, uint32_t count,
                uint32_t number, uint32_t* newReference) {
  if (recipient == nullptr || newReference == nullptr) return 0;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return 0;
  SqliteStmt stmt = SqlitePrepare(
      db,
      "SELECT s.new_reference FROM sar_id s WHERE s.user = ?1 AND s.recipient = ?2"
      " AND s.reference = ?3 AND s.count = ?4 AND s.created >= ?6"
      " AND NOT EXISTS (SELECT 1 FROM sar_id t WHERE t.user = s.user"
      "  AND t.recipient = s.recipient AND t.reference = s.reference AND t.count = s.count"
      "  AND t.new_reference = s.new_reference AND t.number = ?5)"
      " ORDER BY s.created DESC, s.rowid DESC LIMIT 1");
  if (!stmt) return 0;
  BindSegmentKey(stmt.get(), user, recipient, reference, count, number);
  sqlite3_bind_int64(stmt.get(), 6, LedgerNow() - kKeepSeconds);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  *newReference = static_cast<uint32_t>(sqlite3_column_int64(stmt.get(), 0));
  return 1;
}

int sqlSARIDAdd(const char* user, const char* recipient, uint32_t reference, uint32_t count,
                uint32_t number, uint32_t newReference) {
  if (recipient == nullptr) return 0;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return 0;
  SqliteStmt purge = SqlitePrepare(db, "DELETE FROM sar_id WHERE created < ?");
  if (purge) {
    sqlite3_bind_int64(purge.get(), 1, LedgerNow() - kKeepSeconds);
    SqliteStepDone(purge.get());
  }
  SqliteStmt stmt = SqlitePrepare(db,
                                  "INSERT INTO sar_id(user, recipient, reference, count, number,"
                                  " new_reference, created) VALUES(?, ?, ?, ?, ?, ?, ?)");
  if (!stmt) return 0;
  BindSegmentKey(stmt.get(), user, recipient, reference, count, number);
  sqlite3_bind_int64(stmt.get(), 6, newReference);
  sqlite3_bind_int64(stmt.get(), 7, LedgerNow());
  return SqliteStepDone(stmt.get()) ? 1 : 0;
}

}  // extern "C"
