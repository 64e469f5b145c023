#include "runtime/waits.h"

#include <thread>

#include "runtime/clock.h"
#include "runtime/thread_registry.h"

uint64_t SleepUnlessShutdown(uint32_t ms, uint64_t startTick) {
  uint64_t now = TickMs();
  if (ms == 0) return now;
  for (uint64_t steps = 0; steps < 2ull * ms; ++steps) {
    if (now - startTick >= ms || ShutdownRequested.load() != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
