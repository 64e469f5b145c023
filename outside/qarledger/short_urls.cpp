// Short URLs: an 8-character random code per URL.
#include <sys/random.h>

#include "outside/qarledger/ledger_db.h"
#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/buffer_copy.h"
#include "runtime/mutex.h"

namespace {

constexpr size_t kCodeLength = 8;
constexpr uint32_t kDefaultMaxAgeDays = 30;

bool RandomCode(std::string& code) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kCodeLength];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
  code.clear();
  for (unsigned char b : bytes) code.push_back(kAlphabet[b % (sizeof kAlphabet - 1)]);
  return true;
}

bool FindCode(sqlite3* db, const char* url, std::string& code) {
  SqliteStmt stmt = SqlitePrepare(db, "SELECT code FROM short_url WHERE url = ?");
  if (!stmt) return false;
  SqliteBindText(stmt.get(), 1, url);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return false;
  code = SqliteColumnText(stmt.get(), 0);
  return true;
}

void TouchCode(sqlite3* db, const std::string& code) {
  SqliteStmt touch = SqlitePrepare(db, "UPDATE short_url SET last_used = ? WHERE code = ?");
  if (!touch) return;
  sqlite3_bind_int64(touch.get(), 1, LedgerNow());
  SqliteBindText(touch.get(), 2, code);
  SqliteStepDone(touch.get());
}

}  // namespace

extern "C" {

int sqlShortURLAdd(const char* url, char* code, uint32_t size) {
  if (url == nullptr || *url == '\0') return 0;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return 0;
  // Before the lookup, so that a code handed out now is not dropped a moment later.
  LedgerPurgeOldLocked(db);
  std::string found;
  for (int attempt = 0; attempt < 10 && found.empty(); ++attempt) {
    if (FindCode(db, url, found)) {
      TouchCode(db, found);  // a new message carries it: it is in use again
      break;
    }
    std::string candidate;
    if (!RandomCode(candidate)) return 0;
    SqliteStmt stmt = SqlitePrepare(
        db, "INSERT OR IGNORE INTO short_url(code, url, created, last_used) VALUES(?, ?, ?, ?)");
    if (!stmt) return 0;
    SqliteBindText(stmt.get(), 1, candidate);
    SqliteBindText(stmt.get(), 2, url);
    sqlite3_bind_int64(stmt.get(), 3, LedgerNow());
    sqlite3_bind_int64(stmt.get(), 4, LedgerNow());
    if (!SqliteStepDone(stmt.get())) return 0;
    // Ignored when the code is taken (try another) or another process added the URL.
    if (sqlite3_changes(db) > 0) found = candidate;
  }
  if (found.empty()) return 0;
  CopyToBuffer(found, code, size);
  return 1;
}

int sqlShortURLGet(const char* code, char* url, uint32_t size) {
  if (code == nullptr || url == nullptr || size == 0) return 0;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return 0;
  SqliteStmt stmt = SqlitePrepare(db, "SELECT url FROM short_url WHERE code = ?");
  if (!stmt) return 0;
  SqliteBindText(stmt.get(), 1, code);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
  std::string found = SqliteColumnText(stmt.get(), 0);
  stmt.reset();
  // A cut URL would lead somewhere else: refuse rather than hand out part of it.
  if (found.size() + 1 > size) return 0;
  CopyToBuffer(found, url, size);
  TouchCode(db, code);
  return 1;
}

int sqlShortURLCleanUp(uint32_t maxAgeDays) {
  if (maxAgeDays == 0) maxAgeDays = kDefaultMaxAgeDays;
  MutexLock lock(LedgerStore().lock);
  sqlite3* db = LedgerDbLocked();
  if (db == nullptr) return -1;
  SqliteStmt stmt = SqlitePrepare(db, "DELETE FROM short_url WHERE last_used < ?");
  if (!stmt) return -1;
  sqlite3_bind_int64(stmt.get(), 1, LedgerNow() - static_cast<int64_t>(maxAgeDays) * 86400);
  if (!SqliteStepDone(stmt.get())) return -1;
  return sqlite3_changes(db);
}

}  // extern "C"
