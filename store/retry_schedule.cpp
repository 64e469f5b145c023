#include "store/retry_schedule.h"

#include <sys/stat.h>

#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
uint32_t Setting(std::string_view connection, const char* key) {
  return ConnectionOrMainNumber(ConnectionSectionName(connection), key);
}

uint32_t Saturate(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

// (n - a) x multiplier x base, a multiplier of 0 meaning no growth; capped when cap != 0.
uint32_t GrowingDelay(uint32_t n, uint32_t afterAttempts, uint32_t multiplier, uint32_t base, uint32_t cap) {
  uint32_t a = afterAttempts != 0 ? afterAttempts - 1 : 0;
  if (a >= n) return 0;
  uint64_t d = multiplier == 0 ? base : static_cast<uint64_t>(n - a) * multiplier * base;
  if (cap != 0 && cap < d) d = cap;
  return Saturate(d);
}
}  // namespace

uint32_t RetryDelaySeconds(uint32_t retryCount, std::string_view connection) {
  return GrowingDelay(retryCount, Setting(connection, "RetryDelayAfterAttempts"),
                      Setting(connection, "RetryDelayMultiplier"), Setting(connection, "RetryDelay"),
                      Setting(connection, "RetryDelayMax"));
}

time_t RetryDueTime(uint32_t retryCount, const CalendarTime& lastRetryTime, std::string_view connection) {
  if (retryCount == 0 || lastRetryTime.absent()) return 0;
  return LocalCalendarToSeconds(lastRetryTime) + static_cast<time_t>(RetryDelaySeconds(retryCount, connection));
}

bool RetryDue(uint32_t retryCount, const CalendarTime& lastRetryTime, std::string_view connection) {
  return NowSeconds() >= RetryDueTime(retryCount, lastRetryTime, connection);
}

uint32_t RetryMaxAttempts(std::string_view connection) { return Setting(connection, "RetryMaxAttempts"); }

bool RetryExpired(const ClaimedFile& file, std::string_view connection) {
  struct stat st;
  if (!file.valid() || fstat(file.fd.get(), &st) != 0) return false;
  uint64_t maxAge = static_cast<uint64_t>(Setting(connection, "RetryMaxAge")) * 60;
  return static_cast<int64_t>(st.st_mtime) + static_cast<int64_t>(maxAge) < static_cast<int64_t>(NowSeconds());
}

bool DelayDue(uint32_t minutes, const CalendarTime& since) {
  if (minutes == 0 || since.absent()) return true;
  return NowSeconds() >= LocalCalendarToSeconds(since) + static_cast<time_t>(minutes) * 60;
}

time_t ReconnectTime(uint32_t failureCount, std::string_view connection) {
  time_t now = NowSeconds();
  if (failureCount == 0) return now;
  std::string initDelay = ConnectionOrMainValue(ConnectionSectionName(connection), "InitRetryDelay");
  uint32_t cap = Setting(connection, "InitRetryDelayMax");
  if (initDelay.empty()) {
    uint64_t wait = static_cast<uint64_t>(failureCount) * 20;
    return now + static_cast<time_t>(wait < cap ? wait : cap);
  }
  return now + GrowingDelay(failureCount, Setting(connection, "InitRetryDelayAfterAttempts"),
                            Setting(connection, "InitRetryDelayMultiplier"), ParseDecimal(initDelay), cap);
}
