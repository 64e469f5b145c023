#include "outside/qarvault/sqlite_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string JournalMode(sqlite3* db, const char* sql) {
  SqliteStmt stmt = SqlitePrepare(db, sql);
  if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return {};
  return SqliteColumnText(stmt.get(), 0);
}

// WAL lets readers go on while one process writes. Switching a new file to it needs an
// exclusive lock for which SQLite does not wait, so a second process opening the same
// new file at the same moment retries until the busy timeout.
bool EnsureWal(sqlite3* db) {
  if (sqlite3_db_readonly(db, "main") == 1) return true;  // a file we may only read
  for (int waited = 0; waited <= kSqliteBusyTimeoutMs; waited += 10) {
    if (JournalMode(db, "PRAGMA journal_mode") == "wal") return true;
    if (JournalMode(db, "PRAGMA journal_mode=WAL") == "wal") return true;
    ::usleep(10000);
  }
  return false;
}

}  // namespace

SqliteDb OpenSqliteDatabase(const std::string& path, bool readOnly) {
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_FULLMUTEX | (readOnly ? SQLITE_OPEN_READONLY
                                                : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  SqliteDb db(raw);
  if (rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db.get(), kSqliteBusyTimeoutMs);
  sqlite3_extended_result_codes(db.get(), 1);
  if (!readOnly) {
    if (!EnsureWal(db.get())) return nullptr;
    // Keeping the -wal and -shm files lets an account that may only read open the store.
    int persist = 1;
    sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    SqliteExec(db.get(), "PRAGMA synchronous=NORMAL");
  }
  return db;
}

bool SqliteExec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

SqliteStmt SqlitePrepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) return nullptr;
  return SqliteStmt(raw);
}

void SqliteBindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  // An empty view may have no data pointer, which SQLite would store as NULL.
  const char* data = text.data() != nullptr ? text.data() : "";
  sqlite3_bind_text(stmt, index, data, static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string SqliteColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

bool SqliteStepDone(sqlite3_stmt* stmt) { return sqlite3_step(stmt) == SQLITE_DONE; }

void SqliteDeleteOlderThan(sqlite3* db, std::initializer_list<const char*> statements,
                           int64_t limit) {
  for (const char* sql : statements) {
    SqliteStmt stmt = SqlitePrepare(db, sql);
    if (!stmt) continue;
    sqlite3_bind_int64(stmt.get(), 1, limit);
    SqliteStepDone(stmt.get());
  }
}

bool SqliteDatabaseIsSound(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // A read-only open never creates the file nor replays a journal into it.
  SqliteDb db = OpenSqliteDatabase(path, true);
  if (!db) return false;
  SqliteStmt stmt = SqlitePrepare(db.get(), "PRAGMA integrity_check");
  if (!stmt) return false;
  int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW) return false;
  std::string first = SqliteColumnText(stmt.get(), 0);
  if (first != "ok") return false;
  return sqlite3_step(stmt.get()) == SQLITE_DONE;
}

void SharedSqliteCloseLocked(SharedSqlite& s) {
  if (s.db && s.owner != ::getpid()) {
    // Closing a connection copied by fork would disturb the parent's locks.
    for (auto& kept : s.statements) (void)kept.second.release();
    (void)s.db.release();
  }
  s.statements.clear();
  if (s.db && sqlite3_get_autocommit(s.db.get()) == 0) SqliteExec(s.db.get(), "COMMIT");
  s.db.reset();
  s.path.clear();
}

sqlite3* SharedSqliteOpenLocked(SharedSqlite& s, const std::string& path, const char* schema) {
  if (s.db && s.owner == ::getpid() && s.path == path) return s.db.get();
  SharedSqliteCloseLocked(s);
  SqliteDb db = OpenSqliteDatabase(path, false);
  if (!db || !SqliteExec(db.get(), schema)) return nullptr;
  s.db = std::move(db);
  s.path = path;
  s.owner = ::getpid();
  return s.db.get();
}

SqliteStatementLoan SharedSqliteStatementLocked(SharedSqlite& s, const char* sql) {
  if (!s.db) return SqliteStatementLoan(nullptr);
  for (auto& kept : s.statements) {
    if (kept.first == sql) return SqliteStatementLoan(kept.second.get());
  }
  SqliteStmt stmt = SqlitePrepare(s.db.get(), sql);
  if (!stmt) return SqliteStatementLoan(nullptr);
  s.statements.emplace_back(sql, std::move(stmt));
  return SqliteStatementLoan(s.statements.back().second.get());
}
