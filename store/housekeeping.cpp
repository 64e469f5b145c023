#include "store/housekeeping.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "store/dir_listing.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"

namespace {
constexpr time_t kDay = 86400;

void DeleteLogged(const std::string& path) {
  if (unlink(path.c_str()) == 0) WriteDebugLog("DeleteFilesOlderThan", path);
}

std::string Slash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  return dir;
}

bool IsSqliteFile(const std::string& path) {
  static constexpr char kHeader[] = "SQLite format 3";  // with its NUL: 16 bytes
  char head[sizeof kHeader];
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd && pread(fd.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
         memcmp(head, kHeader, sizeof head) == 0;
}

// A database store ("*.DB") and its "-wal", "-shm" and "-journal" files are never aged out:
// in WAL mode their times change only at a checkpoint, so a store in use can look old. Its
// old rows expire inside it.
bool IsDatabaseStoreFile(const std::string& dir, const std::string& name) {
  if (WildcardMatchNoCase("*.DB", name)) return IsSqliteFile(dir + name);
  for (std::string_view suffix : {"-wal", "-shm", "-journal"}) {
    if (!EndsWithNoCase(name, suffix)) continue;
    std::string base = name.substr(0, name.size() - suffix.size());
    return WildcardMatchNoCase("*.DB", base) && IsSqliteFile(dir + base);
  }
  return false;
}

void DeleteOlder(const std::string& dir, std::string_view pattern, time_t cutoff, bool isTop) {
  for (const DirEntry& e : ListDirectory(dir, true)) {
    std::string path = dir + e.name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      DeleteOlder(path + "/", pattern, cutoff, false);
      continue;
    }
    // A link to a directory is never followed out of the tree.
    if (e.directory || !WildcardMatchNoCase(pattern, e.name) || st.st_mtime >= cutoff) continue;
    // Deleting a held lock file would let a second holder in.
    if (EndsWithNoCase(e.name, ".LCK") && LockFileHeld(path)) continue;
    if (IsDatabaseStoreFile(dir, e.name)) continue;
    DeleteLogged(path);
  }
  if (!isTop && (pattern == "*" || pattern == "*.*")) rmdir(dir.c_str());
}
}  // namespace

int64_t DaysFromCivil(int year, unsigned month, unsigned day) {
  int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t mp = (static_cast<int64_t>(month) + 9) % 12;
  int64_t doy = (153 * mp + 2) / 5 + static_cast<int64_t>(day) - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool MessageLogFileDay(std::string_view name, int64_t& days) {
  std::string_view rest;
  for (std::string_view prefix : {"SMS-", "SMSIN-", "SMSOUT-", "SMSWEB-"}) {
    if (StartsWithNoCase(name, prefix)) rest = name.substr(prefix.size());
  }
  if (rest.size() != 12 || !EqualsNoCase(rest.substr(8), ".LOG")) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
  }
  int year = static_cast<int>(ParseDecimal(rest.substr(0, 4)));
  unsigned month = ParseDecimal(rest.substr(4, 2));
  unsigned day = ParseDecimal(rest.substr(6, 2));
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  days = DaysFromCivil(year, month, day);
  return true;
}

void SweepMessageLogs(const std::string& dir, uint32_t retainDays, int64_t today) {
  for (const DirEntry& e : ListDirectory(dir, true)) {
    int64_t day;
    if (e.directory || !WildcardMatchNoCase("SMS*.LOG", e.name) || !MessageLogFileDay(e.name, day)) continue;
    if (day + retainDays < today) DeleteLogged(dir + e.name);
  }
}

void DeleteFilesOlderThan(const std::string& dir, std::string_view pattern, time_t cutoff) {
  DeleteOlder(Slash(dir), pattern, cutoff, true);
}

void Housekeeping() {
  LocalTime now = LocalNow();
  time_t t = now.seconds;
  int64_t today = DaysFromCivil(now.tm.tm_year + 1900, static_cast<unsigned>(now.tm.tm_mon + 1),
                                static_cast<unsigned>(now.tm.tm_mday));

  uint32_t retain = MainNumber("LogRetainDays");
  SweepMessageLogs(LogDirectory(), retain, today);
  std::string users = UsersDir();
  for (const DirEntry& e : ListDirectory(users)) {
    if (e.directory) SweepMessageLogs(users + e.name + "/", retain, today);
  }

  std::string privateDir = PrivateDataDirectory();
  DeleteFilesOlderThan(privateDir + "SMPPDATA/ActiveUsers/", "*.FLG", t);

  uint32_t smppRetain = MainNumber("SMPPDataRetainDays");
  time_t smppCutoff = t - static_cast<time_t>(smppRetain) * kDay;
  // The tracking directory under the one spelling its writers use (program data
  // "SMPPData/" unless MessageIDTrackingDir is set).
  DeleteFilesOlderThan(MessageIdTrackingDir(), "*", smppCutoff);
  DeleteFilesOlderThan(privateDir + "MMSINQ/", "*.D2?", smppCutoff);

  std::string errorRetain = MainValue("ErrorQRetainDays");
  uint32_t errorDays = errorRetain.empty() ? 3 : ParseDecimal(errorRetain);
  std::string queue = OutboundQueueRoot();
  DeleteFilesOlderThan(queue, "*.ERR", t - static_cast<time_t>(errorDays) * kDay);

  DeleteFilesOlderThan(queue, "*.LCK", t - kDay);
  DeleteFilesOlderThan(privateDir + "TEMP/", "*", t - kDay);
  DeleteFilesOlderThan(privateDir, "*.TMP", t - kDay);
  // Temporary files of writers that died before publishing.
  DeleteFilesOlderThan(queue, ".~*.tmp", t - kDay);
  DeleteFilesOlderThan(InboundDir(), ".~*.tmp", t - kDay);
  DeleteFilesOlderThan(UsersDir(), ".~*.tmp", t - kDay);
  // Bulk jobs whose submitter died before handing them over.
  std::string bulk = BulkQueueDir();
  for (const DirEntry& e : ListDirectory(bulk, true)) {
    std::string job = bulk + e.name + "/";
    if (!e.directory || e.name.rfind(".~job-", 0) != 0 || FileCreationTime(bulk + e.name) >= t - kDay ||
        LockFileHeld(job + "BUILD.LCK")) {
      continue;
    }
    DeleteFilesOlderThan(job, "*", t + 1);
    rmdir(job.c_str());
  }
}
