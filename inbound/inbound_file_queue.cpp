#include "inbound/inbound_file_queue.h"

#include <condition_variable>
#include <deque>
#include <unordered_set>
#include <vector>

#include "runtime/mutex.h"
#include "store/queue_dirs.h"

namespace {
struct FileQueue {
  Mutex lock;
  std::condition_variable listed;
  std::deque<std::string> files GUARDED_BY(lock);
  // Queued or being processed: a walk does not queue them again.
  std::unordered_set<std::string> held GUARDED_BY(lock);
  // Finished while a walk ran: that walk may still have seen them.
  std::unordered_set<std::string> finishedDuringWalk GUARDED_BY(lock);
  uint64_t requested GUARDED_BY(lock) = 1;  // the first worker walks at once
  uint64_t answered GUARDED_BY(lock) = 0;
  bool walking GUARDED_BY(lock) = false;
  size_t walks GUARDED_BY(lock) = 0;
};

FileQueue g_queues[3];

const char* Pattern(InboundFileKind kind) {
  static const char* const kPatterns[] = {"*.IN", "*.REC", "*.RCT"};
  return kPatterns[int(kind)];
}

std::vector<std::string> ListFiles(const char* pattern) {
  std::vector<std::string> files;
  QueueWalk walk;
  std::string relative;
  std::string root = InboundDir();
  for (bool more = QueueWalkFirst(walk, root, pattern, true, relative); more; more = QueueWalkNext(walk, relative)) {
    files.push_back(root + relative);
  }
  QueueWalkClose(walk);
  return files;
}
}  // namespace

void RequestInboundListing(InboundFileKind kind) {
  FileQueue& q = g_queues[int(kind)];
  MutexLock guard(q.lock);
  ++q.requested;
}

std::string TakeInboundFile(InboundFileKind kind) {
  FileQueue& q = g_queues[int(kind)];
  MutexLock guard(q.lock);
  for (;;) {
    if (!q.files.empty()) {
      std::string path = std::move(q.files.front());
      q.files.pop_front();
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
    std::vector<std::string> found;
    guard.Unlock();
    found = ListFiles(Pattern(kind));
    guard.Lock();
    for (std::string& path : found) {
      if (q.held.count(path) || q.finishedDuringWalk.count(path)) continue;
      q.held.insert(path);
      q.files.push_back(std::move(path));
    }
    q.finishedDuringWalk.clear();
    q.answered = covers;
    q.walking = false;
    ++q.walks;
    q.listed.notify_all();
  }
}

void ReleaseInboundFile(InboundFileKind kind, const std::string& path) {
  FileQueue& q = g_queues[int(kind)];
  MutexLock guard(q.lock);
  q.held.erase(path);
  if (q.walking) q.finishedDuringWalk.insert(path);
}

size_t InboundListingCount(InboundFileKind kind) {
  FileQueue& q = g_queues[int(kind)];
  MutexLock guard(q.lock);
  return q.walks;
}
