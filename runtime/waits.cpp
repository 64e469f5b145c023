#include "runtime/waits.h"

#include <thread>

#include "runtime/clock.h"
#include "runtime/thread_registry.h"

uint64_t SleepUnlessShutdown(uint32_t ms, uint64_t startTick) {
  uint64_t now = TickMs();
  if (ms == 0) return now;
  // Steps of at most 50 ms: a stop request is seen at once, and an idle thread does not
  // wake a thousand times a second.
  for (uint64_t steps = 0; steps < 2ull * ms; ++steps) {
    if (now - startTick >= ms || ShutdownRequested.load() != 0) break;
    uint64_t left = ms - (now - startTick);
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 50 ? left : 50));
    now = TickMs();
  }
  return now;
}

bool IntervalElapsed(uint32_t ms, uint64_t& lastTick) {
  uint64_t now = TickMs();
  if (ms != 0 && now - lastTick < ms) return false;
  lastTick = now;
  return true;
}
