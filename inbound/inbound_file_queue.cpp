#include "inbound/inbound_file_queue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <unordered_set>
#include <vector>

#include "runtime/mutex.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "store/dir_listing.h"
#include "store/queue_dirs.h"

namespace {
// The files of the kinds one walk serves. Messages and reports share their walks: whatever
// wakes one of them is a write in the same folders.
struct FileQueue {
  Mutex lock;
  std::condition_variable listed;
  std::condition_variable handed[2];  // a file for the slot, or the watch falls free
  std::deque<std::string> files[2] GUARDED_BY(lock);
  // Queued or being processed: a walk does not queue them again.
  std::unordered_set<std::string> held GUARDED_BY(lock);
  // Finished while a walk ran: that walk may still have seen them.
  std::unordered_set<std::string> finishedDuringWalk GUARDED_BY(lock);
  uint64_t requested GUARDED_BY(lock) = 1;  // the first worker walks at once
  uint64_t answered GUARDED_BY(lock) = 0;
  bool walking GUARDED_BY(lock) = false;
  bool watched GUARDED_BY(lock) = false;
  uint64_t nudges GUARDED_BY(lock) = 0;  // idle workers told to look at the stop flag
  size_t walks GUARDED_BY(lock) = 0;
};

FileQueue g_queues[2];
constexpr size_t kMostIdleWorkers = 64;

FileQueue& QueueOf(InboundFileKind kind) { return g_queues[kind == InboundFileKind::Receipts ? 1 : 0]; }
int SlotOf(InboundFileKind kind) { return kind == InboundFileKind::Reports ? 1 : 0; }

// The slot of a file name in the walk of queue q; -1 for a name the walk does not take.
int SlotOfName(const FileQueue& q, std::string_view name) {
  if (&q == &g_queues[1]) return EndsWithNoCase(name, ".RCT") ? 0 : -1;
  if (EndsWithNoCase(name, ".IN")) return 0;
  return EndsWithNoCase(name, ".REC") ? 1 : -1;
}

struct Found {
  std::string path;
  int slot;
};

// The inbound folder and its subfolders, each listed once.
std::vector<Found> Walk(const FileQueue& q) {
  std::vector<Found> found;
  std::string root = InboundDir();
  std::vector<std::string> subfolders;
  auto taken = [&q](std::string_view name, bool directory) { return directory || SlotOfName(q, name) >= 0; };
  for (const DirEntry& e : ListDirectoryWhere(root, taken)) {
    if (e.directory) subfolders.push_back(root + e.name + "/");
    else found.push_back({root + e.name, SlotOfName(q, e.name)});
  }
  for (const std::string& dir : subfolders) {
    bool empty = true;
    auto takenHere = [&](std::string_view name, bool directory) {
      empty = false;
      return !directory && SlotOfName(q, name) >= 0;
    };
    std::vector<DirEntry> entries = ListDirectoryWhere(dir, takenHere);
    if (empty) RemoveOldEmptyDirectory(dir);
    for (const DirEntry& e : entries) found.push_back({dir + e.name, SlotOfName(q, e.name)});
  }
  return found;
}
}  // namespace

void RequestInboundListing(InboundFileKind kind) {
  FileQueue& q = QueueOf(kind);
  MutexLock guard(q.lock);
  ++q.requested;
}

std::string TakeInboundFile(InboundFileKind kind) {
  FileQueue& q = QueueOf(kind);
  int slot = SlotOf(kind);
  MutexLock guard(q.lock);
  for (;;) {
    if (!q.files[slot].empty()) {
      std::string path = std::move(q.files[slot].front());
      q.files[slot].pop_front();
      return path;
    }
    if (q.walking) {
      guard.Wait(q.listed);
      continue;
    }
    if (q.answered == q.requested) return {};
    uint64_t covers = q.requested;
    q.walking = true;
    q.finishedDuringWalk.clear();
    guard.Unlock();
    std::vector<Found> found = Walk(q);
    guard.Lock();
    size_t queued[2] = {0, 0};
    for (Found& f : found) {
      if (q.held.count(f.path) || q.finishedDuringWalk.count(f.path)) continue;
      q.held.insert(f.path);
      q.files[f.slot].push_back(std::move(f.path));
      ++queued[f.slot];
    }
    // One idle worker per file, not all of them.
    for (int i = 0; i < 2; ++i) {
      for (size_t n = 0; n < queued[i] && n < kMostIdleWorkers; ++n) q.handed[i].notify_one();
    }
    q.finishedDuringWalk.clear();
    q.answered = covers;
    q.walking = false;
    ++q.walks;
    q.listed.notify_all();
  }
}

void ReleaseInboundFile(InboundFileKind kind, const std::string& path) {
  FileQueue& q = QueueOf(kind);
  MutexLock guard(q.lock);
  q.held.erase(path);
  if (q.walking) q.finishedDuringWalk.insert(path);
}

bool BecomeInboundWatcher(InboundFileKind kind) {
  FileQueue& q = QueueOf(kind);
  MutexLock guard(q.lock);
  if (q.watched) return false;
  q.watched = true;
  return true;
}

void EndInboundWatch(InboundFileKind kind) {
  FileQueue& q = QueueOf(kind);
  MutexLock guard(q.lock);
  q.watched = false;
  ++q.requested;
  // Another idle worker watches while this one walks and works.
  for (std::condition_variable& cv : q.handed) cv.notify_one();
}

bool WaitForInboundFile(InboundFileKind kind, unsigned ms) {
  FileQueue& q = QueueOf(kind);
  int slot = SlotOf(kind);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MutexLock guard(q.lock);
  uint64_t nudges = q.nudges;
  // The stop is set before the nudge that announces it: a wait begun between the two ends too.
  while (q.files[slot].empty() && q.watched && q.nudges == nudges && ShutdownRequested.load() == 0) {
    if (!guard.WaitUntil(q.handed[slot], until)) return !q.files[slot].empty() || !q.watched;
  }
  return true;
}

void WakeIdleInboundWorkers() {
  for (FileQueue& q : g_queues) {
    MutexLock guard(q.lock);
    ++q.nudges;
    for (std::condition_variable& cv : q.handed) cv.notify_all();
  }
}

size_t InboundListingCount(InboundFileKind kind) {
  FileQueue& q = QueueOf(kind);
  MutexLock guard(q.lock);
  return q.walks;
}
