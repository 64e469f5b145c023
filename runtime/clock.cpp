#include "runtime/clock.h"

#include <atomic>
#include <chrono>

namespace {
std::atomic<time_t> g_clockOverride{0};
}

void SetClockOverride(time_t t) { g_clockOverride.store(t); }

time_t NowSeconds() {
  time_t fixed = g_clockOverride.load();
  return fixed != 0 ? fixed : time(nullptr);
}

LocalTime LocalFromSeconds(time_t t) {
  LocalTime out{};
  localtime_r(&t, &out.tm);
  out.seconds = t;
  return out;
}

LocalTime LocalNow() {
  time_t fixed = g_clockOverride.load();
  if (fixed != 0) return LocalFromSeconds(fixed);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  LocalTime out = LocalFromSeconds(ts.tv_sec);
  out.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return out;
}

uint64_t TickMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}
