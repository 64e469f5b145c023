#include "store/counters.h"

#include <gtest/gtest.h>

#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "store/tests/store_home.h"

namespace {
uint32_t CellOf(const std::string& file, unsigned cell) {
  if (file.size() != kCounterFileSize) return 0xDEADBEEF;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(file.data()) + cell * 4;
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace

TEST(CountersTest, CellsAroundFebruary) {
  struct Case {
    int y, m, d;
    unsigned cell;
  } cases[] = {{2028, 3, 1, 60}, {2027, 3, 1, 59}, {2028, 2, 29, 59}, {2027, 1, 1, 0},
               {2028, 12, 31, 365}, {2027, 12, 31, 364}, {2028, 2, 28, 58}};
  for (const Case& c : cases) EXPECT_EQ(CounterCell(c.y, c.m, c.d), c.cell) << c.y << "-" << c.m << "-" << c.d;
}

TEST(CountersTest, FilesImagesAndTheChangeOfYear) {
  StoreHome home;
  std::string stats = PrivateDataDirectory() + "STATS/";
  CountersOpen();
  SetClockOverride(LocalAt(2028, 3, 1));
  CounterAdd(kSmsSent, 5);
  CounterAdd(kSmsSent, 2);
  CounterSubtract(kSmsQSize, 3);
  CounterAdd(kSmsQSize, 4);
  CounterSubtract(kSmsQSize, 10);
  EXPECT_EQ(CounterValue(kSmsQSize), 0u) << "never below 0";
  CounterAdd(kSmsQSize, 1);
  CountersFlush();
  EXPECT_EQ(CellOf(ReadFileText(stats + "SMSSENT-2028.CTR"), 60), 7u);
  EXPECT_EQ(CellOf(ReadFileText(stats + "SMSQSIZE.CTR"), 0), 1u);
  SetClockOverride(LocalAt(2028, 12, 31, 23));
  CounterAdd(kSmsSent, 1);
  SetClockOverride(LocalAt(2029, 1, 1, 0));
  CounterAdd(kSmsSent, 9);
  EXPECT_EQ(CounterValue(kSmsQSize), 1u) << "queue sizes do not change with the year";
  CountersClose();
  EXPECT_EQ(CellOf(ReadFileText(stats + "SMSSENT-2028.CTR"), 365), 1u);
  EXPECT_EQ(CellOf(ReadFileText(stats + "SMSSENT-2029.CTR"), 0), 9u);
  // A short file is zeroed to its full size.
  WriteFileText(stats + "SMSFAILED-2029.CTR", "abc");
  CounterAdd(kSmsFailed, 1);
  CountersFlush();
  std::string failed = ReadFileText(stats + "SMSFAILED-2029.CTR");
  EXPECT_EQ(CellOf(failed, 0), 1u);
  EXPECT_EQ(CellOf(failed, 1), 0u);
  CounterResetQueueSizes();
  EXPECT_EQ(CounterValue(kSmsQSize), 0u);
}

TEST(CountersTest, ConnectionCounters) {
  StoreHome home;
  SetClockOverride(LocalAt(2027, 1, 2));
  ConnectionCounterAdd("SMPP - host:2775", 2);
  ConnectionCounterAdd("SMPP - host:2775", 3);
  EXPECT_EQ(ConnectionCounterValue("SMPP - host:2775"), 5u);
  CountersFlush();
  EXPECT_EQ(CellOf(ReadFileText(PrivateDataDirectory() + "SMPP - host-2775-2027.CTR"), 1), 5u);
}
