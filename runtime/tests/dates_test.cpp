#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "runtime/dates.h"

namespace {
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    const char* old = getenv("TZ");
    if (old != nullptr) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};
}  // namespace

TEST(DatesTest, FormatsInSeveralZones) {
  const time_t winter = 1767225600 + 3600 * 13 + 5 * 60 + 9;  // 2026-01-01 13:05:09 UTC, Thursday
  const time_t summer = 1782864000;                          // 2026-07-01 00:00:00 UTC
  {
    ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(FormatRfc822Date(winter), "Thu, 1 Jan 2026 14:05:09 +0100");
    EXPECT_EQ(FormatRfc822Date(summer), "Wed, 1 Jul 2026 02:00:00 +0200");
    EXPECT_EQ(FormatTimestamp14(winter), "20260101140509");
    EXPECT_EQ(FormatLongDate(winter), "January 1, 2026");
    EXPECT_EQ(FormatShortTime(winter), "14:05");
  }
  {
    ScopedTz tz("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(FormatRfc822Date(winter), "Thu, 1 Jan 2026 08:05:09 -0500");
  }
  {
    ScopedTz tz("IST-5:30");
    EXPECT_EQ(FormatRfc822Date(winter), "Thu, 1 Jan 2026 18:35:09 +0530");
  }
  {
    ScopedTz tz("UTC0");
    EXPECT_EQ(FormatRfc822Date(winter), "Thu, 1 Jan 2026 13:05:09 +0000");
  }
  EXPECT_EQ(FormatGmtDate(winter), "Thu, 01 Jan 2026 13:05:09 GMT");
  EXPECT_EQ(FormatGmtDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
}
