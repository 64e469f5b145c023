// Waits that end early when the process is asked to stop.
#pragma once

#include <cstdint>

// Sleeps until ms have passed since startTick or the stop is announced (a stop set without
// AnnounceShutdown is seen only at the end); returns the current tick. 0 ms returns at once.
uint64_t SleepUnlessShutdown(uint32_t ms, uint64_t startTick);
// Sets ShutdownRequested and wakes every SleepUnlessShutdown at once, and every poll that
// includes ShutdownWakeFd.
void AnnounceShutdown();
// Readable once the stop is announced: for waits that poll descriptors.
int ShutdownWakeFd();
// Empties ShutdownWakeFd when no stop is requested (a test that stopped and started again).
void ClearStaleShutdownWake();
// Empties a non-blocking eventfd (one read takes its whole count).
void EmptyEventFd(int fd);
// A poll timeout for the time left of a wait (poll's int, never negative); waits that poll
// ShutdownWakeFd need no shorter steps to see the stop.
int PollTimeout(uint64_t leftMs);
// True (and lastTick set to now) when ms is 0 or at least ms have passed since lastTick.
bool IntervalElapsed(uint32_t ms, uint64_t& lastTick);
