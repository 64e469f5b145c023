// MMS subscribers: "MMSCUSERS.DB" in the MMSC data directory.
#include <fcntl.h>

#include <string>
#include <vector>

#include "outside/qarledger/ledger_db.h"
#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/buffer_copy.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/unique_fd.h"

struct MMSCUserDB {
  Mutex lock;
  SqliteDb db GUARDED_BY(lock);
};

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS mmsc_user("
    " phone_number TEXT NOT NULL PRIMARY KEY, alias TEXT NOT NULL, password TEXT NOT NULL,"
    " full_name TEXT NOT NULL, limit_day INTEGER NOT NULL, limit_month INTEGER NOT NULL,"
    " email_forwarding INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX IF NOT EXISTS mmsc_user_alias ON mmsc_user(alias COLLATE NOCASE)"
    " WHERE alias <> '';";

const char* const kColumns =
    "phone_number, alias, password, full_name, limit_day, limit_month, email_forwarding";

// Stores made before the forwarding flag get its column, off for every subscriber.
bool AddForwardingColumn(sqlite3* db) {
  SqliteStmt stmt = SqlitePrepare(db, "SELECT 1 FROM pragma_table_info('mmsc_user') WHERE name = 'email_forwarding'");
  if (!stmt) return false;
  if (sqlite3_step(stmt.get()) == SQLITE_ROW) return true;
  return SqliteExec(db, "ALTER TABLE mmsc_user ADD COLUMN email_forwarding INTEGER NOT NULL DEFAULT 0");
}

void RecordFromRow(sqlite3_stmt* stmt, MMSCUserRecord* rec) {
  *rec = MMSCUserRecord{};
  CopyToBuffer(SqliteColumnText(stmt, 0), rec->PhoneNumber, sizeof rec->PhoneNumber);
  CopyToBuffer(SqliteColumnText(stmt, 1), rec->Alias, sizeof rec->Alias);
  CopyToBuffer(SqliteColumnText(stmt, 2), rec->Password, sizeof rec->Password);
  CopyToBuffer(SqliteColumnText(stmt, 3), rec->FullName, sizeof rec->FullName);
  rec->MsgLimitPerDay = static_cast<uint32_t>(sqlite3_column_int64(stmt, 4));
  rec->MsgLimitPerMonth = static_cast<uint32_t>(sqlite3_column_int64(stmt, 5));
  rec->EMailForwarding = sqlite3_column_int64(stmt, 6) != 0 ? 1 : 0;
}

// The phone number names the subscriber's message directory.
bool ValidRecord(const MMSCUserRecord& rec) {
  return IsSafePathName(FieldText(rec.PhoneNumber, sizeof rec.PhoneNumber)) &&
         !HasControlBytes(FieldText(rec.Alias, sizeof rec.Alias));
}

// Another number that already holds the record's alias.
bool AliasTakenLocked(sqlite3* db, const MMSCUserRecord& rec) {
  std::string alias = FieldText(rec.Alias, sizeof rec.Alias);
  if (alias.empty()) return false;
  SqliteStmt stmt = SqlitePrepare(db,
                                  "SELECT 1 FROM mmsc_user WHERE alias = ? COLLATE NOCASE"
                                  " AND phone_number <> ?");
  if (!stmt) return true;
  SqliteBindText(stmt.get(), 1, alias);
  SqliteBindText(stmt.get(), 2, FieldText(rec.PhoneNumber, sizeof rec.PhoneNumber));
  return sqlite3_step(stmt.get()) != SQLITE_DONE;
}

bool StoreLocked(sqlite3* db, const MMSCUserRecord& rec, bool replace) {
  std::string sql = std::string(replace ? "INSERT OR REPLACE" : "INSERT") +
                    " INTO mmsc_user(" + kColumns + ") VALUES(?, ?, ?, ?, ?, ?, ?)";
  SqliteStmt stmt = SqlitePrepare(db, sql.c_str());
  if (!stmt) return false;
  SqliteBindText(stmt.get(), 1, FieldText(rec.PhoneNumber, sizeof rec.PhoneNumber));
  SqliteBindText(stmt.get(), 2, FieldText(rec.Alias, sizeof rec.Alias));
  SqliteBindText(stmt.get(), 3, FieldText(rec.Password, sizeof rec.Password));
  SqliteBindText(stmt.get(), 4, FieldText(rec.FullName, sizeof rec.FullName));
  sqlite3_bind_int64(stmt.get(), 5, rec.MsgLimitPerDay);
  sqlite3_bind_int64(stmt.get(), 6, rec.MsgLimitPerMonth);
  sqlite3_bind_int64(stmt.get(), 7, rec.EMailForwarding != 0 ? 1 : 0);
  return SqliteStepDone(stmt.get());
}

int Store(MMSCUserDB* h, const MMSCUserRecord* rec, bool replace) {
  if (h == nullptr || rec == nullptr || !ValidRecord(*rec)) return 0;
  MutexLock lock(h->lock);
  sqlite3* db = h->db.get();
  if (!SqliteExec(db, "BEGIN IMMEDIATE")) return 0;
  bool ok = !AliasTakenLocked(db, *rec) && StoreLocked(db, *rec, replace);
  if (!ok) {
    SqliteExec(db, "ROLLBACK");
    return 0;
  }
  return SqliteExec(db, "COMMIT") ? 1 : 0;
}

bool ReadWholeFile(const char* path, std::string& out) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" {

int sqlMMSCOpenUserDB(MMSCUserDB** out) {
  if (out == nullptr) return 0;
  *out = nullptr;
  std::string dir = LedgerMMSCDataDir();
  if (dir.empty()) return 0;
  auto h = std::make_unique<MMSCUserDB>();
  MutexLock lock(h->lock);
  h->db = OpenSqliteDatabase(dir + "MMSCUSERS.DB", false);
  if (!h->db || !SqliteExec(h->db.get(), kSchema) || !AddForwardingColumn(h->db.get())) return 0;
  *out = h.release();
  return 1;
}

void sqlMMSCCloseUserDB(MMSCUserDB* db) { std::unique_ptr<MMSCUserDB> owned(db); }

uint32_t sqlMMSCGetUserCount(MMSCUserDB* h) {
  if (h == nullptr) return 0;
  MutexLock lock(h->lock);
  SqliteStmt stmt = SqlitePrepare(h->db.get(), "SELECT count(*) FROM mmsc_user");
  if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  return static_cast<uint32_t>(sqlite3_column_int64(stmt.get(), 0));
}

int sqlMMSCGetUserRecord(MMSCUserDB* h, uint32_t index, MMSCUserRecord* rec) {
  if (h == nullptr || rec == nullptr) return 0;
  MutexLock lock(h->lock);
  std::string sql = std::string("SELECT ") + kColumns +
                    " FROM mmsc_user ORDER BY phone_number LIMIT 1 OFFSET ?";
  SqliteStmt stmt = SqlitePrepare(h->db.get(), sql.c_str());
  if (!stmt) return 0;
  sqlite3_bind_int64(stmt.get(), 1, index);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  RecordFromRow(stmt.get(), rec);
  return 1;
}

int sqlMMSCFindUserRecord(MMSCUserDB* h, const char* phoneNumber, MMSCUserRecord* rec) {
  if (h == nullptr || phoneNumber == nullptr || rec == nullptr) return 0;
  MutexLock lock(h->lock);
  std::string sql = std::string("SELECT ") + kColumns + " FROM mmsc_user WHERE phone_number = ?";
  SqliteStmt stmt = SqlitePrepare(h->db.get(), sql.c_str());
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, phoneNumber);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  RecordFromRow(stmt.get(), rec);
  return 1;
}

int sqlMMSCFindUserRecordNumber(MMSCUserDB* h, const char* phoneNumber, uint32_t* index) {
  if (h == nullptr || phoneNumber == nullptr || index == nullptr) return 0;
  MutexLock lock(h->lock);
  SqliteStmt stmt = SqlitePrepare(
      h->db.get(),
      "SELECT (SELECT count(*) FROM mmsc_user WHERE phone_number < ?1)"
      " FROM mmsc_user WHERE phone_number = ?1");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, phoneNumber);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  *index = static_cast<uint32_t>(sqlite3_column_int64(stmt.get(), 0));
  return 1;
}

int sqlMMSCFindAlias(MMSCUserDB* h, const char* alias, char* phoneNumber, uint32_t size) {
  if (h == nullptr || alias == nullptr || *alias == '\0') return 0;
  MutexLock lock(h->lock);
  SqliteStmt stmt = SqlitePrepare(
      h->db.get(), "SELECT phone_number FROM mmsc_user WHERE alias = ? COLLATE NOCASE");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, alias);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  CopyToBuffer(SqliteColumnText(stmt.get(), 0), phoneNumber, size);
  return 1;
}

int sqlMMSCAddUser(MMSCUserDB* h, const MMSCUserRecord* rec) { return Store(h, rec, false); }

int sqlMMSCAddOrModifyUser(MMSCUserDB* h, const MMSCUserRecord* rec) {
  return Store(h, rec, true);
}

int sqlMMSCDeleteUser(MMSCUserDB* h, const char* phoneNumber) {
  if (h == nullptr || phoneNumber == nullptr) return 0;
  MutexLock lock(h->lock);
  SqliteStmt stmt = SqlitePrepare(h->db.get(), "DELETE FROM mmsc_user WHERE phone_number = ?");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, phoneNumber);
  if (!SqliteStepDone(stmt.get())) return 0;
  return sqlite3_changes(h->db.get()) > 0 ? 1 : 0;
}

int sqlMMSCMigrateUserDB(const char* recordFilePath) {
  if (recordFilePath == nullptr) return -1;
  std::string data;
  if (!ReadWholeFile(recordFilePath, data) || data.size() % sizeof(MMSCUserRecord) != 0) {
    return -1;
  }
  MMSCUserDB* raw = nullptr;
  if (!sqlMMSCOpenUserDB(&raw)) return -1;
  std::unique_ptr<MMSCUserDB> h(raw);
  MutexLock lock(h->lock);
  sqlite3* db = h->db.get();
  if (!SqliteExec(db, "BEGIN IMMEDIATE")) return -1;
  int imported = 0;
  for (size_t pos = 0; pos < data.size(); pos += sizeof(MMSCUserRecord)) {
    MMSCUserRecord rec;
    std::memcpy(&rec, data.data() + pos, sizeof rec);
    // A record that cannot be stored (bad number, alias of another number) is skipped.
    if (!ValidRecord(rec) || AliasTakenLocked(db, rec)) continue;
    if (!StoreLocked(db, rec, true)) {
      SqliteExec(db, "ROLLBACK");
      return -1;
    }
    ++imported;
  }
  return SqliteExec(db, "COMMIT") ? imported : -1;
}

}  // extern "C"
