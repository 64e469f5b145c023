#include "runtime/waits.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "runtime/clock.h"
#include "runtime/thread_registry.h"

namespace {
// Sleepers block here until their time is up or the stop is announced: an idle thread
// wakes only when it has something to do. A signal handler cannot announce; it makes
// ShutdownWakeFd readable, and the main loop, woken by that, announces the stop.
std::mutex g_sleepLock;
std::condition_variable g_sleepWake;
}  // namespace

uint64_t SleepUnlessShutdown(uint32_t ms, uint64_t startTick) {
  uint64_t now = TickMs();
  if (ms == 0) return now;
  // The step bound ends the wait even if the clock stalls.
  for (uint64_t steps = 0; steps < 2ull * ms; ++steps) {
    if (now - startTick >= ms || ShutdownRequested.load() != 0) break;
    uint64_t left = ms - (now - startTick);
    {
      std::unique_lock<std::mutex> lock(g_sleepLock);
      g_sleepWake.wait_for(lock, std::chrono::milliseconds(left), [] { return ShutdownRequested.load() != 0; });
    }
    now = TickMs();
  }
  return now;
}

int ShutdownWakeFd() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

void EmptyEventFd(int fd) {
  uint64_t count;
  while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void ClearStaleShutdownWake() {
  if (ShutdownRequested.load() != 0) return;
  EmptyEventFd(ShutdownWakeFd());
}

void AnnounceShutdown() {
  ShutdownRequested.store(1);
  uint64_t one = 1;
  if (write(ShutdownWakeFd(), &one, sizeof one) < 0) {
    // A full counter is readable anyway.
  }
  // Taken so that a sleeper between its check and its wait does not miss the wake-up.
  { std::lock_guard<std::mutex> lock(g_sleepLock); }
  g_sleepWake.notify_all();
}

int PollTimeout(uint64_t leftMs) { return int(std::min<uint64_t>(leftMs, uint64_t(INT_MAX))); }

bool IntervalElapsed(uint32_t ms, uint64_t& lastTick) {
  uint64_t now = TickMs();
  if (ms != 0 && now - lastTick < ms) return false;
  lastTick = now;
  return true;
}
