// The wait of a connection worker that has nothing to do: it ends when a queue file is
// written, the link has traffic (served at once), a timer falls due, or the stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "runtime/broadcast_wake.h"
#include "runtime/folder_wake.h"
#include "smsc/queue_pass.h"

// How often the queue folders are looked at without being told (no inotify there).
inline constexpr uint64_t kQueueLookEveryMs = 3000;
// How often the change check and backup test run while waiting, without a change notice.
inline constexpr uint64_t kChangeCheckEveryMs = 1000;
// With the settings registry's change notice (and a backup's error-file wake-ups) they run
// when told, and on their own only this often: the notice comes from the main loop.
inline constexpr uint64_t kChangeLookEveryMs = 30000;

// How the idle waits of every worker ended, since the start.
struct WorkWaitCounts {
  std::atomic<uint64_t> wakeUps{0};    // returns of the wait's poll, for whatever reason
  std::atomic<uint64_t> written{0};    // a file was written (the writer or inotify)
  std::atomic<uint64_t> looks{0};      // the periodic look without being told
  std::atomic<uint64_t> retries{0};    // a held file's retry time came
  std::atomic<uint64_t> changes{0};    // the change check ran (told, or its own look)
};
extern WorkWaitCounts WorkWaits;

enum class WorkWake {
  Queue,     // a file was written, the periodic look or a retry is due: run a pass
  Stopped,   // the stop, a lost link, or the worker's restart
};

// What the wait needs besides the worker and its link. wake may be null (a worker without
// a queue: receive only). changeCheck runs every checkEveryMs from lastCheckTick, and when
// a signal comes on one of changeWakes (the configuration's notice, a backup target's error
// file).
struct WorkWaitContext {
  FolderWake* wake = nullptr;
  std::function<void()> changeCheck;
  uint64_t* lastCheckTick = nullptr;
  uint64_t checkEveryMs = kChangeCheckEveryMs;
  BroadcastWake* changeWakes[2] = {nullptr, nullptr};
  bool stopWhenRestart = true;
};

// Waits until there is work. Keeps the link served (its traffic, its keep-alive
// enquire-links, the driver's serve timer) meanwhile.
WorkWake WaitForWork(QueueWorker& w, QueueTransport& t, const WorkWaitContext& c);
