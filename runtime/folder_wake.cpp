#include "runtime/folder_wake.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <unordered_set>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_dir.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"

struct FolderWaiter {
  std::vector<std::string> folders;
  std::vector<std::string> suffixes;
  UniqueFd eventFd;
  // Set by the first write after a Rearm, so that a burst of files costs one wake-up.
  std::atomic<bool> pending{false};
  std::atomic<uint64_t> signalled{0};
};

namespace {

constexpr uint32_t kFileEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;

Mutex g_waitersLock;
std::vector<std::shared_ptr<FolderWaiter>> g_waiters GUARDED_BY(g_waitersLock);
std::atomic<size_t> g_waiterCount{0};

void Wake(FolderWaiter& w) {
  if (w.pending.exchange(true)) return;
  ++w.signalled;
  uint64_t one = 1;
  ssize_t n;
  do {
    n = write(w.eventFd.get(), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

// Files this process published and announced itself: the events inotify then reports for
// them (the link or rename, the close after the flush) would wake every waiter of the
// folder again, each to list it for nothing. The newest few thousand are remembered; an
// event for an older one costs a spare wake-up, nothing more.
struct OwnWrites {
  Mutex lock;
  std::unordered_set<std::string> paths GUARDED_BY(lock);
  std::deque<std::string> order GUARDED_BY(lock);
};
OwnWrites g_own;
std::atomic<bool> g_watching{false};  // the watcher thread runs: announced files are remembered
constexpr size_t kOwnWritesKept = 4096;

void RememberOwnWrite(std::string_view path) {
  MutexLock guard(g_own.lock);
  auto [at, added] = g_own.paths.emplace(path);
  if (!added) return;
  g_own.order.push_back(*at);
  if (g_own.order.size() > kOwnWritesKept) {
    g_own.paths.erase(g_own.order.front());
    g_own.order.pop_front();
  }
}

bool IsOwnWrite(const std::string& path) {
  MutexLock guard(g_own.lock);
  return g_own.paths.count(path) != 0;
}

bool Wanted(const FolderWaiter& w, std::string_view path) {
  if (w.suffixes.empty() || path.back() == '/') return true;
  return std::any_of(w.suffixes.begin(), w.suffixes.end(), [path](const std::string& s) { return EndsWithNoCase(path, s); });
}

// Wakes the waiters of every folder that holds path (a folder's path ends in "/").
void WakeWaitersOf(std::string_view path) {
  if (g_waiterCount.load(std::memory_order_relaxed) == 0 || path.empty()) return;
  MutexLock guard(g_waitersLock);
  for (auto& w : g_waiters) {
    if (!Wanted(*w, path)) continue;
    for (const std::string& f : w->folders) {
      if (path.size() > f.size() && path.compare(0, f.size(), f) == 0) {
        Wake(*w);
        break;
      }
    }
  }
}

void WakeAll() {
  MutexLock guard(g_waitersLock);
  for (auto& w : g_waiters) Wake(*w);
}

// The inotify watcher: one descriptor for every waited folder; its thread turns events
// into wake-ups and follows subfolders as they are made.
struct Watcher {
  Mutex lock;
  UniqueFd fd GUARDED_BY(lock);
  std::map<int, std::string> folders GUARDED_BY(lock);  // watch descriptor -> path with "/"
  std::map<std::string, int> roots GUARDED_BY(lock);    // waited folder -> waiters
  bool running GUARDED_BY(lock) = false;
  bool disabled GUARDED_BY(lock) = false;
  bool failed GUARDED_BY(lock) = false;
};
Watcher g_watch;

void WatchFolder(const std::string& folder, bool withSubfolders) REQUIRES(g_watch.lock) {
  if (!g_watch.fd) return;
  int wd = inotify_add_watch(g_watch.fd.get(), folder.c_str(), kFileEvents | IN_ONLYDIR);
  if (wd < 0) return;  // not there yet, or not watchable: the periodic look covers it
  g_watch.folders[wd] = folder;
  if (!withSubfolders) return;
  UniqueDir d(folder);
  while (dirent* e = d.Next()) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN) WatchFolder(folder + name + "/", false);
  }
}

// The kernel's name for a file made unnamed (O_TMPFILE): "#" and its inode number. Its close
// after the link is reported under that name, which names no file; the link was an event of
// its own.
bool UnnamedFileName(std::string_view name) {
  return name.size() > 1 && name[0] == '#' &&
         std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void HandleEvents(const char* buffer, ssize_t length) {
  std::vector<std::string> written;
  std::vector<std::string> closedUnnamed;
  bool overflow = false;
  {
    MutexLock guard(g_watch.lock);
    for (const char* p = buffer; p < buffer + length;) {
      const auto* e = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) {
        overflow = true;
        continue;
      }
      auto it = g_watch.folders.find(e->wd);
      if (it == g_watch.folders.end()) continue;
      if (e->mask & IN_IGNORED) {
        g_watch.folders.erase(it);
        continue;
      }
      std::string path = it->second + (e->len ? e->name : "");
      if ((e->mask & IN_ISDIR) && (e->mask & (IN_CREATE | IN_MOVED_TO))) {
        // Files may have come before the watch: the new folder counts as written.
        path += '/';
        WatchFolder(path, false);
        written.push_back(std::move(path));
        continue;
      }
      // A temporary file is nobody's work until it gets its name, which is an event of its own.
      if (e->len && IsTempFileName(e->name)) continue;
      if ((e->mask & IN_CLOSE_WRITE) && e->len && UnnamedFileName(e->name)) {
        closedUnnamed.push_back(std::move(path));
        continue;
      }
      written.push_back(std::move(path));
    }
  }
  if (overflow) WakeAll();
  for (const std::string& path : written) {
    if (!IsOwnWrite(path)) WakeWaitersOf(path);
  }
  // A file that someone did name so is work like any other.
  struct stat st;
  for (const std::string& path : closedUnnamed) {
    if (lstat(path.c_str(), &st) == 0) WakeWaitersOf(path);
  }
}

void WatcherThread() {
  int inotifyFd;
  {
    MutexLock guard(g_watch.lock);
    inotifyFd = g_watch.fd.get();
  }
  alignas(inotify_event) char buffer[16384];
  while (!ShutdownRequested.load()) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[1].revents) ClearStaleShutdownWake();
    {
      MutexLock guard(g_watch.lock);
      if (g_watch.disabled) {
        // Left as when it never ran: the next wait after DisableFolderWatch(false) starts it.
        break;
      }
    }
    if (!(fds[0].revents & POLLIN)) continue;
    ssize_t n = read(inotifyFd, buffer, sizeof buffer);
    if (n > 0) HandleEvents(buffer, n);
  }
  MutexLock guard(g_watch.lock);
  g_watch.folders.clear();
  g_watch.fd.reset();
  g_watch.running = false;
  g_watching.store(false);
}

// Starts watching (again, after a stop) with every waited folder.
void EnsureWatcher() REQUIRES(g_watch.lock) {
  if (g_watch.running || g_watch.disabled || ShutdownRequested.load()) return;
  g_watch.fd.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!g_watch.fd) {
    if (!g_watch.failed) WriteDebugLogf("FolderWatch", "inotify is not available (errno %d); queue folders are looked at every few seconds", errno);
    g_watch.failed = true;
    return;
  }
  for (const auto& [root, count] : g_watch.roots) WatchFolder(root, true);
  g_watch.running = true;
  g_watching.store(true);
  if (!StartServiceThread("ThreadWatchQueueFolders", WatcherThread)) {
    g_watch.folders.clear();
    g_watch.fd.reset();
    g_watch.running = false;
    g_watching.store(false);
  }
}

}  // namespace

FolderWake::FolderWake(std::vector<std::string> folders, std::vector<std::string> suffixes)
    : waiter_(std::make_shared<FolderWaiter>()) {
  waiter_->folders = std::move(folders);
  waiter_->suffixes = std::move(suffixes);
  waiter_->eventFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  {
    MutexLock guard(g_waitersLock);
    g_waiters.push_back(waiter_);
    g_waiterCount = g_waiters.size();
  }
  MutexLock guard(g_watch.lock);
  for (const std::string& f : waiter_->folders) {
    if (g_watch.roots[f]++ == 0) WatchFolder(f, true);
  }
  EnsureWatcher();
}

FolderWake::~FolderWake() {
  {
    MutexLock guard(g_waitersLock);
    for (auto it = g_waiters.begin(); it != g_waiters.end(); ++it) {
      if (it->get() == waiter_.get()) {
        g_waiters.erase(it);
        break;
      }
    }
    g_waiterCount = g_waiters.size();
  }
  MutexLock guard(g_watch.lock);
  // The watches stay: the folders are waited again by the next session.
  for (const std::string& f : waiter_->folders) {
    auto it = g_watch.roots.find(f);
    if (it != g_watch.roots.end() && --it->second == 0) g_watch.roots.erase(it);
  }
}

int FolderWake::Fd() const { return waiter_->eventFd.get(); }

void FolderWake::Rearm() {
  // Emptied first: a write between the two still leaves the descriptor readable.
  EmptyEventFd(waiter_->eventFd.get());
  waiter_->pending.store(false);
  MutexLock guard(g_watch.lock);
  EnsureWatcher();
}

bool FolderWake::Wait(uint32_t ms) {
  pollfd fds[2] = {{waiter_->eventFd.get(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
  uint64_t start = TickMs();
  for (;;) {
    uint64_t spent = TickMs() - start;
    if (spent >= ms || ShutdownRequested.load() != 0) return false;
    int r = poll(fds, 2, PollTimeout(ms - spent));
    if (r > 0 && fds[1].revents) ClearStaleShutdownWake();
    if (r > 0 && fds[0].revents) return true;
  }
}

uint64_t FolderWake::Signalled() const { return waiter_->signalled.load(); }

void ExpectFolderWrite(std::string_view path) {
  if (g_waiterCount.load(std::memory_order_relaxed) == 0) return;
  if (g_watching.load(std::memory_order_relaxed)) RememberOwnWrite(path);
}

void SignalFolderWrite(std::string_view path) {
  if (g_waiterCount.load(std::memory_order_relaxed) == 0) return;
  ExpectFolderWrite(path);
  WakeWaitersOf(path);
}

bool FolderWatchActive() {
  MutexLock guard(g_watch.lock);
  return g_watch.running && !g_watch.disabled;
}

bool FolderWatchDisabled() {
  MutexLock guard(g_watch.lock);
  return g_watch.disabled;
}

void DisableFolderWatch(bool disabled) {
  MutexLock guard(g_watch.lock);
  g_watch.disabled = disabled;
  if (disabled && g_watch.running) {
    // The thread leaves at its next event; without watches it sees none from here on.
    for (const auto& [wd, folder] : g_watch.folders) inotify_rm_watch(g_watch.fd.get(), wd);
  }
  if (disabled) return;
  // Still running (it had not seen the stop yet): watch again.
  if (g_watch.running) {
    for (const auto& [root, count] : g_watch.roots) WatchFolder(root, true);
  }
  EnsureWatcher();
}
