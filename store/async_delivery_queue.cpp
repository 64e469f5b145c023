#include "store/async_delivery_queue.h"

#include <vector>

#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "store/message_file.h"

namespace {
// One lock for the queues of all sessions.
Mutex g_asyncLock;
uint64_t g_nextId GUARDED_BY(g_asyncLock) = 1;

void LogDepth(uint32_t depth) { WriteDebugLogf("SMPPServerAsyncQ", "Depth %u", depth); }

bool KeepForRetry(uint32_t status) {
  return status == kSmppStatusQueueFull || status == kSmppStatusThrottled || status >= kSmppStatusLibraryFailure;
}

// Outside the lock.
void Finish(AsyncQueueEntry& entry) {
  if (!entry.completed) {
    ReleaseClaim(entry.file);
    return;
  }
  if (entry.status == 0) {
    if (entry.onAccepted) entry.onAccepted();
    DeleteClaimedFile(entry.file);
  } else if (KeepForRetry(entry.status)) {
    WriteErrorDetail(entry.file, entry.retryCount, "", "");
    ReleaseClaim(entry.file);
  } else {
    DeleteClaimedFile(entry.file);
  }
}
}  // namespace

uint64_t AsyncQueueAppend(AsyncQueue& queue, std::unique_ptr<AsyncQueueEntry> entry) {
  MutexLock guard(g_asyncLock);
  entry->id = g_nextId++;
  uint64_t id = entry->id;
  queue.entries.push_back(std::move(entry));
  ++queue.depth;
  LogDepth(queue.depth);
  return id;
}

bool AsyncQueueSetResult(AsyncQueue& queue, uint64_t id, uint32_t status) {
  MutexLock guard(g_asyncLock);
  for (auto& entry : queue.entries) {
    if (entry->id != id) continue;
    entry->status = status;
    entry->completed = true;
    return true;
  }
  return false;
}

void AsyncQueueComplete(AsyncQueue& queue, uint32_t count) {
  std::vector<std::unique_ptr<AsyncQueueEntry>> done;
  {
    MutexLock guard(g_asyncLock);
    for (uint64_t i = 0; i <= count; ++i) {
      auto it = queue.entries.begin();
      while (it != queue.entries.end() && !(*it)->completed) ++it;
      if (it == queue.entries.end()) break;
      done.push_back(std::move(*it));
      queue.entries.erase(it);
      --queue.depth;
      LogDepth(queue.depth);
    }
  }
  for (auto& entry : done) Finish(*entry);
}

void AsyncQueueAbandon(AsyncQueue& queue) {
  std::list<std::unique_ptr<AsyncQueueEntry>> all;
  {
    MutexLock guard(g_asyncLock);
    for (auto& entry : queue.entries) entry->abandoned = true;
    all.swap(queue.entries);
    queue.depth = 0;
    LogDepth(0);
  }
  for (auto& entry : all) Finish(*entry);
}

uint32_t AsyncQueueDepth(AsyncQueue& queue) {
  MutexLock guard(g_asyncLock);
  return queue.depth;
}
