#include "runtime/dates.h"

#include <cstdlib>

#include "runtime/clock.h"
#include "runtime/str_printf.h"

namespace {
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                       "July",    "August",   "September", "October", "November", "December"};
}  // namespace

std::string FormatRfc822Date(time_t t) {
  LocalTime local = LocalFromSeconds(t);
  // The bias is UTC minus local time, in minutes, daylight saving included.
  long bias = -local.tm.tm_gmtoff / 60;
  long absBias = labs(bias);
  return StrPrintf("%s, %d %s %02d %02d:%02d:%02d %c%04ld", kDays[local.tm.tm_wday % 7], local.tm.tm_mday,
                   kShortMonths[local.tm.tm_mon % 12], local.tm.tm_year + 1900, local.tm.tm_hour, local.tm.tm_min,
                   local.tm.tm_sec, bias <= 0 ? '+' : '-', (absBias / 60) * 100 + absBias % 60);
}

std::string FormatRfc822Date() { return FormatRfc822Date(NowSeconds()); }

std::string FormatGmtDate(time_t utcTime) {
  struct tm utc;
  gmtime_r(&utcTime, &utc);
  int month = utc.tm_mon >= 0 && utc.tm_mon <= 11 ? utc.tm_mon : 0;
  int weekday = utc.tm_wday >= 0 && utc.tm_wday <= 6 ? utc.tm_wday : 0;
  return StrPrintf("%s, %02d %s %d %02d:%02d:%02d GMT", kDays[weekday], utc.tm_mday, kShortMonths[month],
                   utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

std::string FormatLongDate(time_t t) {
  LocalTime local = LocalFromSeconds(t);
  return StrPrintf("%s %d, %d", kLongMonths[local.tm.tm_mon % 12], local.tm.tm_mday, local.tm.tm_year + 1900);
}

std::string FormatLongDate() { return FormatLongDate(NowSeconds()); }

std::string FormatShortTime(time_t t) {
  LocalTime local = LocalFromSeconds(t);
  return StrPrintf("%02d:%02d", local.tm.tm_hour, local.tm.tm_min);
}

std::string FormatShortTime() { return FormatShortTime(NowSeconds()); }

std::string FormatTimestamp14(time_t t) {
  LocalTime local = LocalFromSeconds(t);
  return StrPrintf("%04d%02d%02d%02d%02d%02d", local.tm.tm_year + 1900, local.tm.tm_mon + 1, local.tm.tm_mday,
                   local.tm.tm_hour, local.tm.tm_min, local.tm.tm_sec);
}

std::string FormatTimestamp14() { return FormatTimestamp14(NowSeconds()); }
