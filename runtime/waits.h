// Waits that end early when the process is asked to stop.
#pragma once

#include <cstdint>

// Sleeps in steps of at most 50 ms until ms have passed since startTick, ShutdownRequested is set, or
// 2 x ms steps were taken; returns the current tick. 0 ms returns at once.
uint64_t SleepUnlessShutdown(uint32_t ms, uint64_t startTick);
// True (and lastTick set to now) when ms is 0 or at least ms have passed since lastTick.
bool IntervalElapsed(uint32_t ms, uint64_t& lastTick);
