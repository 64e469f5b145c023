// The wait of a connection worker that has nothing to do: it ends when a queue file is
// written, the link has traffic (served at once), a timer falls due, or the stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "runtime/folder_wake.h"
#include "smsc/queue_pass.h"

// How often the queue folders are looked at without being told (no inotify there).
inline constexpr uint64_t kQueueLookEveryMs = 3000;
// How often the change check and backup test run while waiting.
inline constexpr uint64_t kChangeCheckEveryMs = 1000;

// How the idle waits of every worker ended, since the start.
struct WorkWaitCounts {
  std::atomic<uint64_t> wakeUps{0};    // returns of the wait's poll, for whatever reason
  std::atomic<uint64_t> written{0};    // a file was written (the writer or inotify)
  std::atomic<uint64_t> looks{0};      // the periodic look without being told
  std::atomic<uint64_t> retries{0};    // a held file's retry time came
};
extern WorkWaitCounts WorkWaits;

enum class WorkWake {
  Queue,     // a file was written, the periodic look or a retry is due: run a pass
  Stopped,   // the stop, a lost link, or the worker's restart
};

// What the wait needs besides the worker and its link. wake may be null (a worker without
// a queue: receive only). changeCheck runs every kChangeCheckEveryMs from lastCheckTick.
struct WorkWaitContext {
  FolderWake* wake = nullptr;
  std::function<void()> changeCheck;
  uint64_t* lastCheckTick = nullptr;
  bool stopWhenRestart = true;
};

// Waits until there is work. Keeps the link served (its traffic, its keep-alive
// enquire-links, the driver's serve timer) meanwhile.
WorkWake WaitForWork(QueueWorker& w, QueueTransport& t, const WorkWaitContext& c);
