// When a failed message is due again, when it is given up, and when a failed link may
// reconnect. Settings come from the connection's section first, then [QARHUB]; all
// arithmetic saturates instead of wrapping.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "store/message_file.h"

// Delay in seconds before the next attempt after retryCount failures (0 = now).
uint32_t RetryDelaySeconds(uint32_t retryCount, std::string_view connection);
bool RetryDue(uint32_t retryCount, const CalendarTime& lastRetryTime, std::string_view connection);
// Seconds since 1970 at which that retry is due (now or earlier when it is).
time_t RetryDueTime(uint32_t retryCount, const CalendarTime& lastRetryTime, std::string_view connection);
uint32_t RetryMaxAttempts(std::string_view connection);
// True when the file's creation (modification) time + RetryMaxAge minutes is in the past.
bool RetryExpired(const ClaimedFile& file, std::string_view connection);
// True when minutes is 0, since is absent, or the clock is at or past since + minutes.
bool DelayDue(uint32_t minutes, const CalendarTime& since);
// Seconds since 1970 at which a link that failed failureCount times in a row may reconnect.
time_t ReconnectTime(uint32_t failureCount, std::string_view connection);
