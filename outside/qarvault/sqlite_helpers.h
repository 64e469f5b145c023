// SQLite handles as RAII objects, opened so that several threads and processes can
// share one database file (WAL journal, busy timeout).
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/mutex.h"

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteCloser>;

struct SqliteFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using SqliteStmt = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

inline constexpr int kSqliteBusyTimeoutMs = 15000;

// Opens the database (created when missing unless readOnly); null on failure.
SqliteDb OpenSqliteDatabase(const std::string& path, bool readOnly);
bool SqliteExec(sqlite3* db, const char* sql);
SqliteStmt SqlitePrepare(sqlite3* db, const char* sql);
void SqliteBindText(sqlite3_stmt* stmt, int index, std::string_view text);
std::string SqliteColumnText(sqlite3_stmt* stmt, int column);
// Steps a statement that returns no row; true on SQLITE_DONE.
bool SqliteStepDone(sqlite3_stmt* stmt);

// Runs each "DELETE ... WHERE time < ?" statement with limit bound to its parameter.
void SqliteDeleteOlderThan(sqlite3* db, std::initializer_list<const char*> statements,
                           int64_t limit);

// True only for a sound SQLite database: opened read-only, integrity check "ok".
bool SqliteDatabaseIsSound(const std::string& path);

// One connection of the process to a database whose path may change between calls (its
// directory comes from the configuration). Callers hold `lock` around every use.
struct SharedSqlite {
  Mutex lock;
  SqliteDb db GUARDED_BY(lock);
  std::string path GUARDED_BY(lock);
  pid_t owner GUARDED_BY(lock) = 0;
  // Prepared once per connection, by their text; finalized before it closes.
  std::vector<std::pair<std::string, SqliteStmt>> statements GUARDED_BY(lock);
};

// A kept statement lent to one use: reset and its bindings cleared when the loan ends, so
// that a read stepped to its first row does not hold its snapshot. Ends before the lock is
// released (declared after the lock's guard).
class SqliteStatementLoan {
 public:
  explicit SqliteStatementLoan(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~SqliteStatementLoan() {
    if (stmt_ == nullptr) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  SqliteStatementLoan(const SqliteStatementLoan&) = delete;
  SqliteStatementLoan& operator=(const SqliteStatementLoan&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_;
};

// The connection for path (reopened when the path changed, created with schema); null
// when it cannot be opened. A connection inherited across fork is left to the parent.
sqlite3* SharedSqliteOpenLocked(SharedSqlite& s, const std::string& path, const char* schema) REQUIRES(s.lock);
// Commits a pending transaction and closes the connection.
void SharedSqliteCloseLocked(SharedSqlite& s) REQUIRES(s.lock);
// The statement for sql on the open connection, prepared at its first use; empty when it
// cannot be prepared.
SqliteStatementLoan SharedSqliteStatementLocked(SharedSqlite& s, const char* sql) REQUIRES(s.lock);
