#include "store/queue_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>
#include <unordered_set>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/folder_wake.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/counters.h"
#include "store/dir_listing.h"
#include "store/queue_file.h"

namespace {
struct StoreDirectories {
  Mutex lock;
  bool loaded GUARDED_BY(lock) = false;
  // Set once under the lock (again only when tests reload), read without it afterwards.
  std::string queueRoot, inbound, users, usersQ, usersLog, bulk, mmsIn, mmscData, tracking;
  bool enableBulkSmsIn = true;
};
StoreDirectories g_dirs;

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  return dir;
}

// A configured directory, or the default under the program data directory; created when
// create is set.
std::string DataTree(const std::string& configured, const char* defaultName, bool create) {
  std::string dir = configured.empty() ? ProgramDataDirectory() + defaultName : configured;
  dir = WithSlash(dir);
  if (create) CreatePathDirectories(dir);
  return dir;
}

std::string VaultDirectory(int (*getter)(char*, uint32_t)) {
  char buf[4096];
  return getter(buf, sizeof buf) != 0 ? std::string(buf) : std::string();
}

StoreDirectories& Dirs() {
  MutexLock guard(g_dirs.lock);
  if (!g_dirs.loaded) {
    auto key = [](const char* name) { return MainValue(name); };
    g_dirs.queueRoot = DataTree(key("QDir"), "Q", false);
    g_dirs.inbound = DataTree(key("SmsInDir"), "SMS-IN", false);
    g_dirs.users = DataTree(key("UsersDir"), "USERS", false);
    g_dirs.usersQ = key("UsersQDir");
    if (!g_dirs.usersQ.empty()) g_dirs.usersQ = WithSlash(g_dirs.usersQ);
    g_dirs.usersLog = key("UsersLogDir");
    if (!g_dirs.usersLog.empty()) g_dirs.usersLog = WithSlash(g_dirs.usersLog);
    g_dirs.bulk = DataTree(key("BulkQDir"), "BULKQ", true);
    g_dirs.mmsIn = DataTree(key("MMSDir"), "MMS-IN", true);
    // The same places qarvault's own stores use.
    g_dirs.mmscData = VaultDirectory(GetMMSCDataDirectory);
    g_dirs.tracking = VaultDirectory(GetMessageIdTrackingDirectory);
    g_dirs.enableBulkSmsIn = MainFlag("EnableBulkSmsIn");
    g_dirs.loaded = true;
  }
  return g_dirs;
}

// A name checked by the one validator after ":", "/" and "\" became "-".
bool SafeSubName(std::string_view name, const char* what, std::string& out) {
  out = SanitizePathName(name);
  if (IsSafePathName(out)) return true;
  WriteDebugLogf("QueueDir", "Refused %s name \"%s\"", what, StripControlBytes(name).c_str());
  return false;
}

struct Bucket {
  Mutex lock;
  uint32_t number GUARDED_BY(lock) = 0;
  uint32_t count GUARDED_BY(lock) = 0;
  bool started GUARDED_BY(lock) = false;
};
Bucket g_inboundBucket;
Bucket g_userBucket;

std::string NextBucket(Bucket& b) {
  MutexLock guard(b.lock);
  if (!b.started) {
    b.number = static_cast<uint32_t>(NowSeconds());
    b.started = true;
  }
  if (b.count != 0 && b.count % Settings.MaxQDirEntries == 0) ++b.number;
  ++b.count;
  return StrPrintf("%08X/", b.number);
}

// Subdirectories of root, "." first; without allEntries only names without an extension.
std::vector<std::string> ListDirectories(const std::string& root, bool allEntries) {
  std::vector<std::string> out{"."};
  for (std::string& name : ListNames(root, "*", true)) {
    if (allEntries || name.find('.') == std::string::npos) out.push_back(std::move(name));
  }
  return out;
}

// Files (not directories, not temporary files) of dir matching pattern.
std::vector<std::string> ListFiles(const std::string& dir, std::string_view pattern) {
  return ListNames(dir, pattern, false);
}

std::string SubPath(const std::string& root, const std::string& name) {
  return name == "." ? root : root + name + "/";
}

struct QueueCache {
  Mutex lock;
  std::vector<std::string> directories GUARDED_BY(lock);  // "name" TAB "index of its first file"
  std::vector<std::string> files GUARDED_BY(lock);        // "name" for the root, else "dir/name"
  std::atomic<bool> firstScanComplete{false};
};
QueueCache g_qcache;
}  // namespace

void ReloadStoreDirectories() {
  MutexLock guard(g_dirs.lock);
  g_dirs.loaded = false;
}

std::string OutboundQueueRoot() { return Dirs().queueRoot; }
std::string InboundDir() { return Dirs().inbound; }
std::string UsersDir() { return Dirs().users; }
std::string BulkQueueDir() { return Dirs().bulk; }
std::string MmsInDir() { return Dirs().mmsIn; }
std::string MmscDataDir() { return Dirs().mmscData; }
std::string MessageIdTrackingDir() { return Dirs().tracking; }

std::string UserDir(std::string_view user) {
  if (!IsSafePathName(user)) {
    WriteDebugLogf("UserDir", "Refused user name \"%s\"", StripControlBytes(user).c_str());
    return std::string();
  }
  return UsersDir() + std::string(user) + "/";
}

std::string UserLogDir(std::string_view user) {
  StoreDirectories& d = Dirs();
  if (d.usersLog.empty() || !IsSafePathName(user)) return UserDir(user);
  return d.usersLog + std::string(user) + "/";
}

std::string OutboundQueueDir(std::string_view route, std::string_view user, uint32_t sequence,
                             std::optional<time_t> delayUntil) {
  std::string dir = OutboundQueueRoot();
  if (delayUntil) {
    LocalTime when = LocalFromSeconds(*delayUntil);
    LocalTime now = LocalNow();
    auto minuteKey = [](const struct tm& t) {
      return std::make_tuple(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min);
    };
    if (minuteKey(when.tm) > minuteKey(now.tm)) {
      std::string delayed = dir + "DELAYQ/" +
                            StrPrintf("%04d%02d%02d/%02d%02d/", when.tm.tm_year + 1900, when.tm.tm_mon + 1,
                                      when.tm.tm_mday, when.tm.tm_hour, when.tm.tm_min);
      // When the delay tree cannot be made the message goes to the root and is sent at once.
      if (CreatePathDirectories(delayed)) {
        dir = delayed;
      } else {
        WriteDebugLogf("OutboundQueueDir", "Error %d creating %s", errno, delayed.c_str());
      }
    }
  }
  uint32_t maxEntries = Settings.MaxQDirEntries;
  if (user.empty() && route.empty() && sequence <= maxEntries) return dir;
  std::string part;
  std::string safe;
  if (!route.empty() && Settings.UseRouteQueues) {
    if (!SafeSubName(route, "route", safe)) return std::string();
    part += "RT_-_" + safe + "_-_";
  }
  if (!user.empty()) {
    if (!SafeSubName(user, "user", safe)) return std::string();
    part += safe;
  }
  if (sequence >= maxEntries && CounterValue(kSmsQSize) > maxEntries) part += StrPrintf("###%04X", sequence / maxEntries);
  if (!part.empty()) dir += part + "/";
  return dir;
}

std::string InboundQueueDir() {
  std::string dir = InboundDir();
  if (!Dirs().enableBulkSmsIn) return dir;
  uint64_t size = static_cast<uint64_t>(CounterValue(kSmsInQSize)) + CounterValue(kSmsRcptQSize);
  if (size > Settings.MaxQDirEntries) dir += NextBucket(g_inboundBucket);
  return dir;
}

std::string UserQueueDir(std::string_view user) {
  if (!IsSafePathName(user)) {
    WriteDebugLogf("UserQueueDir", "Refused user name \"%s\"", StripControlBytes(user).c_str());
    return std::string();
  }
  StoreDirectories& d = Dirs();
  std::string dir = (d.usersQ.empty() ? UserDir(user) : d.usersQ + std::string(user) + "/") + "Q/";
  if (d.enableBulkSmsIn) dir += NextBucket(g_userBucket);
  return dir;
}

void RemoveOldEmptyDirectory(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (NowSeconds() - st.st_mtime > 60) rmdir(dir.c_str());
}

namespace {
bool WalkFill(QueueWalk& walk, std::string& relativePath) {
  for (;;) {
    if (walk.nextFile < walk.files.size()) {
      relativePath = walk.files[walk.nextFile++];
      return true;
    }
    if (walk.nextDirectory >= walk.directories.size()) return false;
    const std::string& name = walk.directories[walk.nextDirectory++];
    std::string dir = SubPath(walk.root, name);
    walk.files = ListFiles(dir, walk.pattern);
    walk.nextFile = 0;
    if (walk.files.empty()) {
      if (name != ".") RemoveOldEmptyDirectory(dir);
      continue;
    }
    if (name != ".") {
      for (std::string& f : walk.files) f = name + "/" + f;
    }
  }
}
}  // namespace

bool QueueWalkFirst(QueueWalk& walk, const std::string& root, std::string_view pattern, bool allEntries,
                    std::string& relativePath) {
  walk = QueueWalk();
  walk.root = WithSlash(root);
  walk.pattern = std::string(pattern);
  walk.directories = ListDirectories(walk.root, allEntries);
  return WalkFill(walk, relativePath);
}

bool QueueWalkNext(QueueWalk& walk, std::string& relativePath) { return WalkFill(walk, relativePath); }

void QueueWalkClose(QueueWalk& walk) { walk = QueueWalk(); }

bool QCacheScanOnce() {
  std::string root = OutboundQueueRoot();
  std::vector<std::string> directories, files;
  for (const std::string& name : ListDirectories(root, true)) {
    std::string dir = SubPath(root, name);
    std::vector<std::string> found = ListFiles(dir, "*.REQ");
    if (found.empty()) {
      if (name != "." && ListFiles(dir, "*.REQ").empty()) RemoveOldEmptyDirectory(dir);
      continue;
    }
    directories.push_back(name + "\t" + std::to_string(files.size()));
    for (std::string& f : found) files.push_back(name == "." ? f : name + "/" + f);
  }
  std::string added;
  {
    MutexLock guard(g_qcache.lock);
    std::unordered_set<std::string> before(g_qcache.files.begin(), g_qcache.files.end());
    for (const std::string& f : files) {
      if (!before.count(f)) {
        added = f;
        break;
      }
    }
    g_qcache.directories.swap(directories);
    g_qcache.files.swap(files);
    g_qcache.firstScanComplete = true;
  }
  // The workers look at the cache, not the folders: a write woke them before the cache held
  // it, so they are woken again now that it does.
  if (!added.empty()) SignalFolderWrite(root + added);
  return !added.empty();
}

bool QCacheFirstScanComplete() { return g_qcache.firstScanComplete.load(); }

QCacheWaitCounts QCacheWaits;

namespace {
constexpr uint64_t kQCacheScanGapMs = 100;
}  // namespace

void ThreadProcessQCache() {
  CreatePathDirectories(OutboundQueueRoot());
  FolderWake wake({OutboundQueueRoot()});
  uint64_t lastScan = 0;
  while (!ShutdownRequested.load()) {
    // While files keep coming, a scan of the whole tree at most this often.
    uint64_t since = TickMs() - lastScan;
    if (since < kQCacheScanGapMs) SleepUnlessShutdown(uint32_t(kQCacheScanGapMs - since), TickMs());
    wake.Rearm();
    // Counted first: the scan itself may wake a waiter that reads the count.
    ++QCacheWaits.scans;
    QCacheScanOnce();
    lastScan = TickMs();
    // Deletions are not told: a sent file leaves the cache at the next look.
    wake.Wait(kQCacheLookEveryMs);
  }
}

bool QueueFindFirst(QueueFind& find, std::string& directoryName) {
  find = QueueFind();
  if (Settings.UseQCache) {
    MutexLock guard(g_qcache.lock);
    for (const std::string& entry : g_qcache.directories) find.names.push_back(entry.substr(0, entry.find('\t')));
  } else {
    find.names = ListDirectories(OutboundQueueRoot(), true);
  }
  return QueueFindNext(find, directoryName);
}

bool QueueFindNext(QueueFind& find, std::string& directoryName) {
  if (find.next >= find.names.size()) return false;
  directoryName = find.names[find.next++];
  return true;
}

void QueueFindClose(QueueFind& find) { find = QueueFind(); }

bool QueueFileFindFirst(QueueFind& find, std::string_view directoryName, std::string& fileName) {
  find = QueueFind();
  std::string name(directoryName);
  if (!Settings.UseQCache) {
    find.names = ListFiles(SubPath(OutboundQueueRoot(), name), "*.REQ");
    return QueueFileFindNext(find, fileName);
  }
  MutexLock guard(g_qcache.lock);
  std::string prefix = name + "\t";
  for (const std::string& entry : g_qcache.directories) {
    if (entry.compare(0, prefix.size(), prefix) != 0) continue;
    size_t index = ParseDecimal(std::string_view(entry).substr(prefix.size()));
    std::string filePrefix = name + "/";
    for (size_t i = index; i < g_qcache.files.size(); ++i) {
      const std::string& f = g_qcache.files[i];
      if (name == ".") {
        if (f.find('/') != std::string::npos) break;
        find.names.push_back(f);
      } else {
        if (f.compare(0, filePrefix.size(), filePrefix) != 0) break;
        find.names.push_back(f.substr(filePrefix.size()));
      }
    }
    break;
  }
  return QueueFileFindNext(find, fileName);
}

bool QueueFileFindNext(QueueFind& find, std::string& fileName) { return QueueFindNext(find, fileName); }

void QueueFileFindClose(QueueFind& find) { find = QueueFind(); }

bool RouteQueueSkip(std::string_view directoryName, std::string_view route, std::string_view connectionName,
                    std::string_view backupRoute, std::string_view backupConnection) {
  if (!Settings.UseRouteQueues || !StartsWithNoCase(directoryName, "RT_-_")) return false;
  std::string_view rest = directoryName.substr(5);
  size_t end = rest.find("_-_");
  if (end == std::string_view::npos || end == 0) return false;
  std::string_view dirRoute = rest.substr(0, end);
  for (std::string_view name : {route, connectionName, backupRoute, backupConnection}) {
    if (EqualsNoCase(dirRoute, SanitizePathName(name))) return false;
  }
  return true;
}
