// The message-id store ("MSGID.DB" in the message-id tracking directory) and the record
// of MMS notifications already seen. One connection for the process, guarded by a mutex:
// every statement is short, and a batch of adds must see one transaction.
#include <unistd.h>

#include <ctime>

#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/directories.h"
#include "outside/qarvault/ini_file.h"
#include "outside/qarvault/qarvault.h"
#include "outside/qarvault/sqlite_helpers.h"
#include "runtime/mutex.h"
#include "runtime/text_helpers.h"

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS msgid("
    " connection TEXT NOT NULL, smsc_id TEXT NOT NULL, message_id TEXT NOT NULL,"
    " user TEXT NOT NULL, sender TEXT NOT NULL, recipient TEXT NOT NULL,"
    " submit_time INTEGER NOT NULL, PRIMARY KEY(connection, smsc_id)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS msgid_time ON msgid(submit_time);"
    "CREATE TABLE IF NOT EXISTS mms_notification("
    " modem TEXT NOT NULL, location TEXT NOT NULL, added INTEGER NOT NULL,"
    " PRIMARY KEY(modem, location)) WITHOUT ROWID;";

constexpr size_t kFieldMax = SMSC_MSGID_FIELD_SIZE - 1;
constexpr int64_t kPurgeInterval = 3600;

struct MessageIdState {
  SharedSqlite store;
  int64_t lastPurge GUARDED_BY(store.lock) = 0;
};

MessageIdState& State() {
  static MessageIdState state;
  return state;
}

sqlite3* DbLocked(MessageIdState& s) REQUIRES(s.store.lock) {
  return SharedSqliteOpenLocked(s.store, MessageIdTrackingDir() + "MSGID.DB", kSchema);
}

// Mappings older than SMPPDataRetainDays (0 or empty: 15) are of no more use.
void PurgeOldLocked(MessageIdState& s, sqlite3* db, int64_t now) REQUIRES(s.store.lock) {
  if (now - s.lastPurge < kPurgeInterval) return;
  s.lastPurge = now;
  uint32_t days = ParseDecimal(IniGetString(SMSIniPath(), "QARHUB", "SMPPDataRetainDays", ""));
  if (days == 0) days = 15;
  int64_t limit = now - static_cast<int64_t>(days) * 86400;
  SqliteDeleteOlderThan(db,
                        {"DELETE FROM msgid WHERE submit_time < ?",
                         "DELETE FROM mms_notification WHERE added < ?"},
                        limit);
}

void CopyField(const std::string& text, char* out) {
  if (out != nullptr) CopyToBuffer(text, out, SMSC_MSGID_FIELD_SIZE);
}

}  // namespace

extern "C" {

int SMSCMessageIdAdd(const char* connection, const char* smscId, const char* messageId,
                     const char* user, const char* sender, const char* recipient) {
  if (connection == nullptr || smscId == nullptr || *smscId == '\0') return 0;
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  sqlite3* db = DbLocked(s);
  if (db == nullptr) return 0;
  SqliteStatementLoan stmt = SharedSqliteStatementLocked(s.store,
                                                         "INSERT OR REPLACE INTO msgid(connection, smsc_id, message_id,"
                                                         " user, sender, recipient, submit_time)"
                                                         " VALUES(?, ?, ?, ?, ?, ?, ?)");
  if (!stmt) return 0;
  const char* texts[] = {connection, smscId, messageId, user, sender, recipient};
  for (int i = 0; i < 6; ++i) {
    SqliteBindText(stmt.get(), i + 1, CutTo(TextOrEmpty(texts[i]), kFieldMax));
  }
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  sqlite3_bind_int64(stmt.get(), 7, now);
  if (!SqliteStepDone(stmt.get())) return 0;
  PurgeOldLocked(s, db, now);
  return 1;
}

int SMSCMessageIdGet2(const char* connection, const char* smscId, char* messageId, char* user,
                      char* sender, char* recipient, int64_t* submitTime) {
  if (connection == nullptr || smscId == nullptr) return 0;
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  sqlite3* db = DbLocked(s);
  if (db == nullptr) return 0;
  SqliteStatementLoan stmt = SharedSqliteStatementLocked(s.store,
                                                         "SELECT message_id, user, sender, recipient, submit_time"
                                                         " FROM msgid WHERE connection = ? AND smsc_id = ?");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, CutTo(connection, kFieldMax));
  SqliteBindText(stmt.get(), 2, CutTo(smscId, kFieldMax));
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  CopyField(SqliteColumnText(stmt.get(), 0), messageId);
  CopyField(SqliteColumnText(stmt.get(), 1), user);
  CopyField(SqliteColumnText(stmt.get(), 2), sender);
  CopyField(SqliteColumnText(stmt.get(), 3), recipient);
  if (submitTime != nullptr) *submitTime = sqlite3_column_int64(stmt.get(), 4);
  return 1;
}

int SMSCMessageIdGet(const char* connection, const char* smscId, char* messageId, char* user,
                     char* sender, char* recipient) {
  return SMSCMessageIdGet2(connection, smscId, messageId, user, sender, recipient, nullptr);
}

int SMSCMessageIdBeginBatch(void) {
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  sqlite3* db = DbLocked(s);
  if (db == nullptr) return 0;
  if (sqlite3_get_autocommit(db) == 0) return 1;
  // IMMEDIATE takes the write lock now (waiting on the busy timeout), so no add of the
  // batch can fail later on another process's newer snapshot.
  return SqliteExec(db, "BEGIN IMMEDIATE") ? 1 : 0;
}

int SMSCMessageIdEndBatch(void) {
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  if (!s.store.db || s.store.owner != ::getpid()) return 1;
  if (sqlite3_get_autocommit(s.store.db.get()) != 0) return 1;
  return SqliteExec(s.store.db.get(), "COMMIT") ? 1 : 0;
}

int SMSCMessageIdCommitPending(void) { return SMSCMessageIdEndBatch(); }

void SMSCMessageIdCloseAll(void) {
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  SharedSqliteCloseLocked(s.store);
  s.lastPurge = 0;  // the first add after reopening looks for old mappings
}

int MMSNotificationAdd(const char* modem, const char* contentLocation) {
  if (modem == nullptr || contentLocation == nullptr) return 0;
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  sqlite3* db = DbLocked(s);
  if (db == nullptr) return 0;
  SqliteStatementLoan stmt = SharedSqliteStatementLocked(
      s.store, "INSERT OR REPLACE INTO mms_notification(modem, location, added) VALUES(?, ?, ?)");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, modem);
  SqliteBindText(stmt.get(), 2, contentLocation);
  sqlite3_bind_int64(stmt.get(), 3, static_cast<int64_t>(std::time(nullptr)));
  return SqliteStepDone(stmt.get()) ? 1 : 0;
}

int MMSNotificationExist(const char* modem, const char* contentLocation) {
  if (modem == nullptr || contentLocation == nullptr) return 0;
  MessageIdState& s = State();
  MutexLock lock(s.store.lock);
  sqlite3* db = DbLocked(s);
  if (db == nullptr) return 0;
  SqliteStatementLoan stmt =
      SharedSqliteStatementLocked(s.store, "SELECT 1 FROM mms_notification WHERE modem = ? AND location = ?");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, modem);
  SqliteBindText(stmt.get(), 2, contentLocation);
  return sqlite3_step(stmt.get()) == SQLITE_ROW ? 1 : 0;
}

}  // extern "C"
