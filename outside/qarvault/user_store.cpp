// The account store: "USERS.DB" in the private data directory. Handles keep a snapshot
// of the records in name order for indexed reads, refreshed when the file changes.
#include <vector>

#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/directories.h"
#include "outside/qarvault/qarvault.h"
#include "outside/qarvault/sqlite_helpers.h"
#include "runtime/mutex.h"
#include "runtime/names.h"

struct SMSUserFile {
  Mutex lock;
  SqliteDb db GUARDED_BY(lock);
  bool writable = false;  // set at open, read-only afterwards
  bool snapshotValid GUARDED_BY(lock) = false;
  int64_t dataVersion GUARDED_BY(lock) = -1;
  std::vector<SMSUserRecord> snapshot GUARDED_BY(lock);
};

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS users("
    " name TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, password TEXT NOT NULL,"
    " full_name TEXT NOT NULL, web_login_disabled INTEGER NOT NULL, smpp_login INTEGER NOT NULL,"
    " smtp_login INTEGER NOT NULL, web_options INTEGER NOT NULL, limit_day INTEGER NOT NULL,"
    " limit_month INTEGER NOT NULL, restrict_ip TEXT NOT NULL, forced_sender TEXT NOT NULL,"
    " throttle TEXT NOT NULL, receive_sms INTEGER NOT NULL, receive_smpp INTEGER NOT NULL,"
    " credit_balance_enabled INTEGER NOT NULL)";

const char* const kColumns =
    "name, password, full_name, web_login_disabled, smpp_login, smtp_login, web_options,"
    " limit_day, limit_month, restrict_ip, forced_sender, throttle, receive_sms, receive_smpp,"
    " credit_balance_enabled";

std::string UsersDbPath() { return ProgramDataSubdir("PRIVATE") + "USERS.DB"; }

void RecordFromRow(sqlite3_stmt* stmt, SMSUserRecord* rec) {
  *rec = SMSUserRecord{};
  CopyToBuffer(SqliteColumnText(stmt, 0), rec->UserName, sizeof rec->UserName);
  CopyToBuffer(SqliteColumnText(stmt, 1), rec->Password, sizeof rec->Password);
  CopyToBuffer(SqliteColumnText(stmt, 2), rec->FullName, sizeof rec->FullName);
  rec->WebLoginDisabled = static_cast<uint8_t>(sqlite3_column_int(stmt, 3));
  rec->SmppLogin = static_cast<uint8_t>(sqlite3_column_int(stmt, 4));
  rec->SmtpLogin = static_cast<uint8_t>(sqlite3_column_int(stmt, 5));
  rec->WebOptions = static_cast<uint8_t>(sqlite3_column_int(stmt, 6));
  rec->MsgLimitPerDay = static_cast<uint32_t>(sqlite3_column_int64(stmt, 7));
  rec->MsgLimitPerMonth = static_cast<uint32_t>(sqlite3_column_int64(stmt, 8));
  CopyToBuffer(SqliteColumnText(stmt, 9), rec->RestrictIPAddress, sizeof rec->RestrictIPAddress);
  CopyToBuffer(SqliteColumnText(stmt, 10), rec->ForcedSenderAddress,
               sizeof rec->ForcedSenderAddress);
  CopyToBuffer(SqliteColumnText(stmt, 11), rec->ThrottleSpeed, sizeof rec->ThrottleSpeed);
  rec->ReceiveSMS = static_cast<uint8_t>(sqlite3_column_int(stmt, 12));
  rec->ReceiveSMPP = static_cast<uint8_t>(sqlite3_column_int(stmt, 13));
  rec->CreditBalanceEnabled = static_cast<uint8_t>(sqlite3_column_int(stmt, 14));
}

int64_t DataVersion(sqlite3* db) {
  SqliteStmt stmt = SqlitePrepare(db, "PRAGMA data_version");
  if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(stmt.get(), 0);
}

// Reloads the snapshot when this or another connection changed the file.
bool RefreshLocked(SMSUserFile* h) REQUIRES(h->lock) {
  int64_t version = DataVersion(h->db.get());
  if (h->snapshotValid && version == h->dataVersion && version >= 0) return true;
  std::string sql = std::string("SELECT ") + kColumns + " FROM users ORDER BY name COLLATE NOCASE";
  SqliteStmt stmt = SqlitePrepare(h->db.get(), sql.c_str());
  if (!stmt) return false;
  std::vector<SMSUserRecord> records;
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    records.emplace_back();
    RecordFromRow(stmt.get(), &records.back());
  }
  if (rc != SQLITE_DONE) return false;
  h->snapshot = std::move(records);
  h->dataVersion = version;
  h->snapshotValid = true;
  return true;
}

bool ValidUserName(std::string_view name) {
  return name.size() < SMS_USER_NAME_SIZE && IsSafePathName(name);
}

}  // namespace

extern "C" {

int SMSOpenUserFile(SMSUserFile** out, int access) {
  if (out == nullptr) return 0;
  *out = nullptr;
  if (access != SMS_USER_READ && access != SMS_USER_READWRITE) return 0;
  std::string path = UsersDbPath();
  auto h = std::make_unique<SMSUserFile>();
  h->writable = access == SMS_USER_READWRITE;
  MutexLock lock(h->lock);
  h->db = OpenSqliteDatabase(path, false);
  if (h->db && !SqliteExec(h->db.get(), kSchema)) h->db.reset();
  if (!h->db && !h->writable) {
    // A reader may lack write permission on a store that another account keeps.
    h->db = OpenSqliteDatabase(path, true);
  }
  if (!h->db) return 0;
  if (!h->writable) SqliteExec(h->db.get(), "PRAGMA query_only=1");
  // A store that opens but cannot be read must fail here, not look empty later.
  if (!RefreshLocked(h.get())) return 0;
  *out = h.release();
  return 1;
}

uint32_t SMSGetRecordCount(SMSUserFile* h) {
  if (h == nullptr) return 0;
  MutexLock lock(h->lock);
  if (!RefreshLocked(h)) return 0;
  return static_cast<uint32_t>(h->snapshot.size());
}

int SMSGetUserRecord(SMSUserFile* h, uint32_t index, SMSUserRecord* rec) {
  if (h == nullptr || rec == nullptr) return 0;
  MutexLock lock(h->lock);
  if (!RefreshLocked(h) || index >= h->snapshot.size()) return 0;
  *rec = h->snapshot[index];
  return 1;
}

int SMSFindUserRecord(SMSUserFile* h, const char* userName, SMSUserRecord* rec) {
  if (h == nullptr || userName == nullptr || rec == nullptr) return 0;
  MutexLock lock(h->lock);
  std::string sql = std::string("SELECT ") + kColumns + " FROM users WHERE name = ?";
  SqliteStmt stmt = SqlitePrepare(h->db.get(), sql.c_str());
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, userName);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  RecordFromRow(stmt.get(), rec);
  return 1;
}

int SMSAddUser(SMSUserFile* h, const SMSUserRecord* rec) {
  if (h == nullptr || rec == nullptr || !h->writable) return 0;
  std::string name = FieldText(rec->UserName, sizeof rec->UserName);
  if (!ValidUserName(name)) return 0;
  MutexLock lock(h->lock);
  // Replacing deletes first so that the stored spelling of the name becomes the new one.
  if (!SqliteExec(h->db.get(), "BEGIN IMMEDIATE")) return 0;
  SqliteStmt del = SqlitePrepare(h->db.get(), "DELETE FROM users WHERE name = ?");
  std::string sql = std::string("INSERT INTO users(") + kColumns +
                    ") VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
  SqliteStmt ins = SqlitePrepare(h->db.get(), sql.c_str());
  bool ok = del && ins;
  if (ok) {
    SqliteBindText(del.get(), 1, name);
    ok = SqliteStepDone(del.get());
  }
  if (ok) {
    sqlite3_stmt* s = ins.get();
    SqliteBindText(s, 1, name);
    SqliteBindText(s, 2, FieldText(rec->Password, sizeof rec->Password));
    SqliteBindText(s, 3, FieldText(rec->FullName, sizeof rec->FullName));
    sqlite3_bind_int(s, 4, rec->WebLoginDisabled);
    sqlite3_bind_int(s, 5, rec->SmppLogin);
    sqlite3_bind_int(s, 6, rec->SmtpLogin);
    sqlite3_bind_int(s, 7, rec->WebOptions);
    sqlite3_bind_int64(s, 8, rec->MsgLimitPerDay);
    sqlite3_bind_int64(s, 9, rec->MsgLimitPerMonth);
    SqliteBindText(s, 10, FieldText(rec->RestrictIPAddress, sizeof rec->RestrictIPAddress));
    SqliteBindText(s, 11, FieldText(rec->ForcedSenderAddress, sizeof rec->ForcedSenderAddress));
    SqliteBindText(s, 12, FieldText(rec->ThrottleSpeed, sizeof rec->ThrottleSpeed));
    sqlite3_bind_int(s, 13, rec->ReceiveSMS);
    sqlite3_bind_int(s, 14, rec->ReceiveSMPP);
    sqlite3_bind_int(s, 15, rec->CreditBalanceEnabled);
    ok = SqliteStepDone(s);
  }
  del.reset();
  ins.reset();
  h->snapshotValid = false;  // the data version only counts other connections' changes
  if (!ok) {
    SqliteExec(h->db.get(), "ROLLBACK");
    return 0;
  }
  return SqliteExec(h->db.get(), "COMMIT") ? 1 : 0;
}

int SMSDeleteUser(SMSUserFile* h, const char* userName) {
  if (h == nullptr || userName == nullptr || !h->writable) return 0;
  MutexLock lock(h->lock);
  SqliteStmt stmt = SqlitePrepare(h->db.get(), "DELETE FROM users WHERE name = ?");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, userName);
  if (!SqliteStepDone(stmt.get())) return 0;
  h->snapshotValid = false;
  return sqlite3_changes(h->db.get()) > 0 ? 1 : 0;
}

void SMSCloseUserFile(SMSUserFile* h) { std::unique_ptr<SMSUserFile> owned(h); }

}  // extern "C"
