#include "store/retry_schedule.h"

#include <gtest/gtest.h>

#include "runtime/clock.h"
#include "store/tests/store_home.h"

namespace {
CalendarTime Local(time_t t) {
  LocalTime l = LocalFromSeconds(t);
  return {l.tm.tm_year + 1900, l.tm.tm_mon + 1, l.tm.tm_mday, l.tm.tm_hour, l.tm.tm_min, l.tm.tm_sec};
}
}  // namespace

TEST(RetryScheduleTest, DelaysBySettings) {
  struct Case {
    const char* ini;
    uint32_t delays[5];  // after 1..5 failures
  } cases[] = {
      {"[QARHUB]\r\n", {0, 30, 60, 90, 120}},
      {"[QARHUB]\r\nRetryDelayAfterAttempts=0\r\n", {30, 60, 90, 120, 150}},
      {"[QARHUB]\r\nRetryDelayAfterAttempts=1\r\n", {30, 60, 90, 120, 150}},
      {"[QARHUB]\r\nRetryDelayMultiplier=0\r\n", {0, 30, 30, 30, 30}},
      {"[QARHUB]\r\nRetryDelayMultiplier=2\r\nRetryDelayMax=100\r\n", {0, 60, 100, 100, 100}},
      {"[QARHUB]\r\nRetryDelay=x\r\n", {0, 0, 0, 0, 0}},
      {"[QARHUB]\r\nRetryDelay=10\r\n[SMPP - h:1]\r\nRetryDelay=\r\n[Other]\r\nRetryDelay=5\r\n",
       {0, 10, 20, 30, 40}},
  };
  for (const Case& c : cases) {
    StoreHome home(c.ini);
    for (uint32_t n = 1; n <= 5; ++n) EXPECT_EQ(RetryDelaySeconds(n, "SMPP - h:1"), c.delays[n - 1]) << c.ini << n;
  }
  StoreHome home("[QARHUB]\r\nRetryDelay=4000000000\r\nRetryDelayMultiplier=4000000000\r\n");
  EXPECT_EQ(RetryDelaySeconds(0xFFFFFFFFu, "x"), 0xFFFFFFFFu) << "saturates instead of wrapping";
  EXPECT_EQ(RetryMaxAttempts("x"), 20u);
}

TEST(RetryScheduleTest, DueExpiredAndDelay) {
  StoreHome home("[QARHUB]\r\nRetryMaxAttempts=7\r\nRetryMaxAge=60\r\n");
  time_t now = 1800000000;
  SetClockOverride(now);
  EXPECT_TRUE(RetryDue(0, Local(now), "c"));
  EXPECT_TRUE(RetryDue(3, CalendarTime(), "c"));
  EXPECT_TRUE(RetryDue(3, Local(now - 60), "c"));
  EXPECT_FALSE(RetryDue(3, Local(now - 59), "c"));
  EXPECT_FALSE(RetryDue(0xFFFFFFFFu, Local(now - 100000), "c")) << "no wrap to a short delay";
  EXPECT_EQ(RetryMaxAttempts("c"), 7u);
  std::string path = home.path() + "Q/old.req";
  WriteFileText(path, "[SMS]\r\n");
  ClaimedFile f;
  ASSERT_TRUE(ClaimQueueFile(path, f));
  SetMTime(path, now - 3599);
  EXPECT_FALSE(RetryExpired(f, "c"));
  SetMTime(path, now - 3601);
  EXPECT_TRUE(RetryExpired(f, "c"));
  EXPECT_TRUE(DelayDue(0, Local(now)));
  EXPECT_TRUE(DelayDue(5, CalendarTime()));
  EXPECT_TRUE(DelayDue(5, Local(now - 300)));
  EXPECT_FALSE(DelayDue(5, Local(now - 299)));
}

TEST(RetryScheduleTest, ReconnectWaits) {
  {
    StoreHome home;
    SetClockOverride(1000);
    uint32_t expected[] = {0, 20, 40, 60, 300, 300};
    uint32_t counts[] = {0, 1, 2, 3, 15, 100};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(ReconnectTime(counts[i], "c"), 1000 + expected[i]);
  }
  StoreHome home("[QARHUB]\r\nInitRetryDelay=10\r\nInitRetryDelayAfterAttempts=2\r\nInitRetryDelayMax=0\r\n");
  SetClockOverride(1000);
  EXPECT_EQ(ReconnectTime(1, "c"), 1000);
  EXPECT_EQ(ReconnectTime(2, "c"), 1010);
  EXPECT_EQ(ReconnectTime(50, "c"), 1490) << "0 is no cap when InitRetryDelay is set";
}
