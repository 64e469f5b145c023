#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "accounting/accounting.h"
#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/file_io.h"
#include "runtime/local_system_account.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "store/counters.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"
#include "accounting/user_entries.h"

namespace {
constexpr unsigned kQuotaWaitMs = 30000;
constexpr unsigned kCreditWaitMs = 60000;

using QuotaCells = std::array<uint32_t, kCounterCells>;

// The cached files of one account with a runtime entry, each under its own lock.
struct CachedQuota {
  Mutex lock;
  UniqueFd fd GUARDED_BY(lock);
  std::string path GUARDED_BY(lock);
  QuotaCells cells GUARDED_BY(lock){};
  bool changed GUARDED_BY(lock) = false;
  unsigned flushes GUARDED_BY(lock) = 0;
};
struct CachedCredit {
  Mutex lock;
  UniqueFd fd GUARDED_BY(lock);
  std::string path GUARDED_BY(lock);
  int64_t balance GUARDED_BY(lock) = 0;
  bool changed GUARDED_BY(lock) = false;
  unsigned flushes GUARDED_BY(lock) = 0;
};
struct UsageCache {
  CachedQuota quota;
  CachedCredit credit;
};

Mutex CachesLock;
std::map<std::string, std::unique_ptr<UsageCache>> Caches GUARDED_BY(CachesLock);  // by upper-case account name

// The cache of an account that has a per-user runtime entry; null for the others.
UsageCache* CacheFor(std::string_view account) {
  if (FindUserEntry(account) == nullptr) return nullptr;
  // Cached counts must reach the files even if start-up forgot the flusher.
  static std::once_flag flusher;
  std::call_once(flusher, [] { SetUserUsageFlusher(FlushUserUsage); });
  MutexLock guard(CachesLock);
  std::unique_ptr<UsageCache>& slot = Caches[ToUpper(account)];
  if (!slot) slot = std::make_unique<UsageCache>();
  return slot.get();
}

bool ReadAt(int fd, void* data, size_t size) {
  return pread(fd, data, size, 0) == static_cast<ssize_t>(size);
}
bool WriteAt(int fd, const void* data, size_t size) {
  return pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
}

// A short or missing file reads as zero counters.
void ReadCells(int fd, QuotaCells& cells) {
  cells.fill(0);
  ssize_t n = pread(fd, cells.data(), kCounterFileSize, 0);
  (void)n;
}

int64_t ReadBalance(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  int64_t value = 0;
  if (st.st_size == 8) {
    if (!ReadAt(fd, &value, 8)) return 0;
  } else if (st.st_size == 4) {
    int32_t whole = 0;
    if (!ReadAt(fd, &whole, 4)) return 0;
    value = static_cast<int64_t>(whole) * 1000;
  }
  return value < 0 ? 0 : value;
}

bool WriteBalance(int fd, int64_t balance) {
  if (!WriteAt(fd, &balance, 8)) return false;
  return ftruncate(fd, 8) == 0;
}

std::string QuotaPath(std::string_view account, int year) {
  std::string dir = UserDir(account);
  return dir.empty() ? std::string() : dir + StrPrintf("%d.QTA", year);
}

std::string CreditPath(std::string_view account) {
  std::string dir = UserDir(account);
  return dir.empty() ? std::string() : dir + "SMS.CTR";
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && year % 4 == 0 ? 29 : kDays[month - 1];
}

void Limits(std::string_view account, uint32_t& perDay, uint32_t& perMonth) {
  perDay = Settings.DefaultMsgLimitPerDay;
  perMonth = Settings.DefaultMsgLimitPerMonth;
  // The accounts' own limits apply only while both defaults are set.
  if (perDay == 0xFFFFFFFFu || perMonth == 0xFFFFFFFFu) return;
  SMSUserRecord record;
  if (!LookupAccount(account, record)) return;
  if (record.MsgLimitPerDay != 0) perDay = record.MsgLimitPerDay;
  if (record.MsgLimitPerMonth != 0) perMonth = record.MsgLimitPerMonth;
}

// Decides on the cells; adds count when allowed and wanted. True when allowed.
bool Decide(std::string_view account, QuotaCells& cells, const LocalTime& now, uint32_t count, bool checkOnly,
            std::string* messageOut, bool& changed) {
  int year = now.tm.tm_year + 1900, month = now.tm.tm_mon + 1;
  unsigned today = CounterCell(year, month, now.tm.tm_mday);
  uint64_t monthTotal = 0;
  for (int day = 1; day <= DaysInMonth(year, month); ++day) monthTotal += cells[CounterCell(year, month, day)];
  uint32_t perDay, perMonth;
  Limits(account, perDay, perMonth);
  std::string text;
  if (static_cast<uint64_t>(cells[today]) + count > perDay) {
    text = StrPrintf("Account %.*s:  message quota exceeded.  Account can send no more than %u messages per day.",
                     static_cast<int>(account.size()), account.data(), perDay);
  } else if (monthTotal + count > perMonth) {
    text = StrPrintf("Account %.*s:  message quota exceeded.  Account can send no more than %u messages per month.",
                     static_cast<int>(account.size()), account.data(), perMonth);
  }
  if (!text.empty()) {
    if (messageOut) *messageOut = text;
    QuotaReport(account, text);
    return false;
  }
  if (!checkOnly && count != 0) {
    uint64_t sum = static_cast<uint64_t>(cells[today]) + count;
    cells[today] = sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(sum);
    changed = true;
    NoteUserUsageChanged();
  }
  return true;
}

bool SameDay(time_t a, time_t b) {
  LocalTime x = LocalFromSeconds(a), y = LocalFromSeconds(b);
  return x.tm.tm_yday == y.tm.tm_yday && x.tm.tm_year == y.tm.tm_year;
}

// Network shares keep fewer flushes open.
unsigned FlushLimit(const std::string& path) { return path.rfind("//", 0) == 0 ? 3 : 8; }
}  // namespace

bool QuotaCheckOrCount(std::string_view account, std::string* messageOut, uint32_t count, bool checkOnly) {
  if (EqualsNoCase(account, kLocalSystemUser) || Settings.DisableUserQuota) return true;
  LocalTime now = LocalNow();
  std::string path = QuotaPath(account, now.tm.tm_year + 1900);
  if (path.empty()) return true;
  if (UsageCache* cache = CacheFor(account)) {
    CachedQuota& q = cache->quota;
    MutexLock guard(q.lock);
    if (q.fd.valid() && q.path != path) {  // a new year: the old file is finished
      if (q.changed) WriteAt(q.fd.get(), q.cells.data(), kCounterFileSize);
      q.fd.reset();
      q.changed = false;
    }
    if (!q.fd.valid()) {
      q.fd = OpenFileWithRetry(path, O_RDWR | O_CREAT | O_CLOEXEC, 0664, kQuotaWaitMs);
      if (!q.fd.valid()) return true;
      q.path = path;
      q.flushes = 0;
      ReadCells(q.fd.get(), q.cells);
    }
    return Decide(account, q.cells, now, count, checkOnly, messageOut, q.changed);
  }
  UniqueFd fd = OpenFileWithRetry(path, O_RDWR | O_CREAT | O_CLOEXEC, 0664, kQuotaWaitMs, true);
  if (!fd.valid()) return true;
  QuotaCells cells;
  ReadCells(fd.get(), cells);
  bool changed = false;
  bool allowed = Decide(account, cells, now, count, checkOnly, messageOut, changed);
  if (changed && !WriteAt(fd.get(), cells.data(), kCounterFileSize))
    WriteDebugLogf("QuotaCheck", "Cannot write %s", path.c_str());
  return allowed;
}

void QuotaAdjust(std::string_view account, int64_t delta) {
  if (EqualsNoCase(account, kLocalSystemUser) || Settings.DisableUserQuota || delta == 0) return;
  LocalTime now = LocalNow();
  std::string path = QuotaPath(account, now.tm.tm_year + 1900);
  if (path.empty()) return;
  unsigned today = CounterCell(now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday);
  auto apply = [&](QuotaCells& cells) {
    int64_t value = static_cast<int64_t>(cells[today]) + delta;
    cells[today] = value < 0 ? 0 : value > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
  };
  if (UsageCache* cache = CacheFor(account)) {
    CachedQuota& q = cache->quota;
    MutexLock guard(q.lock);
    if (q.fd.valid() && q.path == path) {
      apply(q.cells);
      q.changed = true;
      NoteUserUsageChanged();
      return;
    }
  }
  UniqueFd fd = OpenFileWithRetry(path, O_RDWR | O_CREAT | O_CLOEXEC, 0664, kQuotaWaitMs, true);
  if (!fd.valid()) return;
  QuotaCells cells;
  ReadCells(fd.get(), cells);
  apply(cells);
  if (!WriteAt(fd.get(), cells.data(), kCounterFileSize)) WriteDebugLogf("QuotaCheck", "Cannot write %s", path.c_str());
}

bool CreditEnabled(std::string_view account) {
  std::string path = CreditPath(account);
  return !path.empty() && FileExistsNotDirectory(path);
}

bool SetCreditEnabled(std::string_view account, bool enabled) {
  if (EqualsNoCase(account, kLocalSystemUser)) return false;
  std::string path = CreditPath(account);
  if (path.empty()) return false;
  if (UsageCache* cache = CacheFor(account)) {
    // The cached balance goes with the file (or starts afresh from the new one).
    CachedCredit& c = cache->credit;
    MutexLock guard(c.lock);
    if (c.fd.valid() && c.changed) WriteBalance(c.fd.get(), c.balance);
    c.fd.reset();
    c.changed = false;
    if (!enabled) return unlink(path.c_str()) == 0 || errno == ENOENT;
  } else if (!enabled) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
  }
  if (FileExistsNotDirectory(path)) return true;
  CreatePathDirectories(path);
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0664));
  if (!fd.valid()) return errno == EEXIST;
  return WriteBalance(fd.get(), 0);
}

bool CreditBalanceText(const std::string& account, std::string& text) {
  if (EqualsNoCase(account, kLocalSystemUser) || !CreditEnabled(account)) return false;
  text = FormatAmount(CreditCheckOrDebit(account, nullptr, 0, CreditMode::Check));
  return true;
}

int64_t CreditCheckOrDebit(std::string_view account, std::string* messageOut, int64_t amount, CreditMode mode) {
  if (EqualsNoCase(account, kLocalSystemUser) || !CreditEnabled(account)) return kUnknownBalance;
  std::string path = CreditPath(account);
  auto settle = [&](int64_t balance, int64_t& stored, bool& store) {
    int64_t result = balance - amount;
    if (result < 0 && messageOut) {
      *messageOut = StrPrintf("Account %.*s:  credit limit exceeded.", static_cast<int>(account.size()), account.data());
      QuotaReport(account, *messageOut);
    }
    store = mode == CreditMode::Debit || (mode == CreditMode::DebitIfCovered && result >= 0);
    stored = result < 0 ? 0 : result;
    return result;
  };
  if (UsageCache* cache = CacheFor(account)) {
    CachedCredit& c = cache->credit;
    MutexLock guard(c.lock);
    if (!c.fd.valid()) {
      c.fd = OpenFileWithRetry(path, O_RDWR | O_CLOEXEC, 0664, kCreditWaitMs);
      if (!c.fd.valid()) return kUnknownBalance;
      c.path = path;
      c.flushes = 0;
      c.balance = ReadBalance(c.fd.get());
    }
    int64_t stored;
    bool store;
    int64_t result = settle(c.balance, stored, store);
    if (store && stored != c.balance) {
      c.balance = stored;
      c.changed = true;
      NoteUserUsageChanged();
    }
    return result;
  }
  UniqueFd fd = OpenFileWithRetry(path, O_RDWR | O_CLOEXEC, 0664, kCreditWaitMs, true);
  if (!fd.valid()) return kUnknownBalance;
  int64_t stored;
  bool store;
  int64_t result = settle(ReadBalance(fd.get()), stored, store);
  if (store && !WriteBalance(fd.get(), stored)) WriteDebugLogf("CreditCheck", "Cannot write %s", path.c_str());
  return result;
}

void QuotaReport(std::string_view account, std::string_view text) {
  std::string dir = UserDir(account);
  if (dir.empty()) return;
  std::string marker = dir + "QUOTA.ERR";
  struct stat st;
  if (stat(marker.c_str(), &st) == 0) {
    if (SameDay(st.st_mtime, NowSeconds())) return;
    unlink(marker.c_str());
  }
  CreatePathDirectories(marker);
  // Of concurrent refusals only the one that creates the marker reports.
  UniqueFd fd(open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664));
  if (!fd.valid()) return;
  struct timespec times[2] = {{NowSeconds(), 0}, {NowSeconds(), 0}};
  futimens(fd.get(), times);
  ReportEvent(EventKind::Warning, text);
}

void FlushUserUsage() {
  std::vector<UsageCache*> caches;
  {
    MutexLock guard(CachesLock);
    for (auto& [name, cache] : Caches) caches.push_back(cache.get());
  }
  for (UsageCache* cache : caches) {
    {
      CachedQuota& q = cache->quota;
      MutexLock guard(q.lock);
      if (q.fd.valid()) {
        if (q.changed) {
          if (!WriteAt(q.fd.get(), q.cells.data(), kCounterFileSize))
            WriteDebugLogf("FlushUserUsage", "Cannot write %s", q.path.c_str());
          q.changed = false;
          ++q.flushes;
          if (q.flushes > FlushLimit(q.path)) q.fd.reset();
        } else {
          q.fd.reset();
        }
      }
    }
    CachedCredit& c = cache->credit;
    MutexLock guard(c.lock);
    if (c.fd.valid()) {
      if (c.changed) {
        if (!WriteBalance(c.fd.get(), c.balance)) WriteDebugLogf("FlushUserUsage", "Cannot write %s", c.path.c_str());
        c.changed = false;
        ++c.flushes;
        if (c.flushes > FlushLimit(c.path)) c.fd.reset();
      } else {
        c.fd.reset();
      }
    }
  }
}

void ResetUserUsageCache() {
  FlushUserUsage();
  FlushUserUsage();
  MutexLock guard(CachesLock);
  Caches.clear();
}
