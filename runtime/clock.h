// The one place the gateway reads the clock, so that tests can set it.
#pragma once

#include <cstdint>
#include <ctime>

struct LocalTime {
  struct tm tm;  // local calendar time
  int millisecond;
  time_t seconds;  // seconds since 1970
};

time_t NowSeconds();
LocalTime LocalNow();
LocalTime LocalFromSeconds(time_t t);
// Milliseconds from an arbitrary start; never goes back.
uint64_t TickMs();
// Tests: a fixed wall-clock time (0 = the real clock). Ticks are not affected.
void SetClockOverride(time_t t);
