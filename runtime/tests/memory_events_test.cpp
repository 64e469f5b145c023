#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/file_io.h"
#include "runtime/memory.h"
#include "tests/support/data_folder.h"
#include "tests/support/test_files.h"

TEST(MemoryTest, BlocksAreZeroedCountedAndGrowZeroed) {
  uint32_t before = GWBlockCount();
  auto* block = static_cast<unsigned char*>(GWmalloc(10));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GWBlockCount(), before + 1);
  for (int i = 0; i < 10 + 64; ++i) EXPECT_EQ(block[i], 0) << i;  // the 64 spare bytes too
  memset(block, 0xAB, 10 + 64);
  block = static_cast<unsigned char*>(GWrealloc(block, 1000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GWBlockCount(), before + 1);
  EXPECT_EQ(block[73], 0xAB);
  for (int i = 74; i < 1000 + 64; ++i) ASSERT_EQ(block[i], 0) << i;
  EXPECT_TRUE(GWfree(block));
  EXPECT_EQ(GWBlockCount(), before);
  int notABlock[8] = {0};
  EXPECT_FALSE(GWfree(notABlock + 4));
  EXPECT_FALSE(GWfree(nullptr));
  EXPECT_EQ(GWBlockCount(), before);
}

TEST(RetryTest, ResourceShortageIsRetriedWithGrowingWaitsAndLogged) {
  TempDir dir;
  DebugSettings.Debug = true;
  DebugSettings.CopyToStderr = false;
  DebugSettings.RotationWaitMs = 0;
  SetDebugLogDirectory(dir.path());

  int failures = 2;
  uint64_t start = TickMs();
  ssize_t r = RetryOnResourceShortage("WriteFileWithRetry", [&]() -> ssize_t {
    if (failures-- > 0) {
      errno = ENOBUFS;
      return -1;
    }
    return 7;
  });
  EXPECT_EQ(r, 7);
  EXPECT_GE(TickMs() - start, 300u);  // 100 ms + 200 ms

  int calls = 0;
  r = RetryOnResourceShortage("ReadFileWithRetry", [&]() -> ssize_t {
    ++calls;
    errno = EBADF;  // not a shortage: no retry
    return -1;
  });
  EXPECT_EQ(r, -1);
  EXPECT_EQ(calls, 1);

  std::string log;
  ReadWholeFile(dir.path() + "SMSDEBUG.LOG", log);
  EXPECT_NE(log.find("WriteFileWithRetry:  Debug:  ERROR_NO_SYSTEM_RESOURCES triggered 2 retry attempts\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("ReadFileWithRetry"), std::string::npos);
  CloseDebugLog();
  DebugSettings.Debug = false;
  DebugSettings.CopyToStderr = true;
}

namespace {
std::vector<std::string> g_mailed;
void CaptureMail(EventKind kind, std::string_view text) {
  g_mailed.push_back(std::to_string(static_cast<int>(kind)) + ":" + std::string(text));
}
}  // namespace

TEST(EventLogTest, OnceADayReportsOncePerMarkerAndDay) {
  TestDataFolder dir;
  dir.WriteIni("[QARHUB]\r\nDisableEventLog=Yes\r\n");
  g_mailed.clear();
  SetAlertMailHook(CaptureMail);
  SetClockOverride(1767225600 + 12 * 3600);
  ReportEventOnceADay("SOCKET.ERR", EventKind::Error, "port");
  ReportEventOnceADay("SOCKET.ERR", EventKind::Error, "port again");
  ReportEventOnceADay("OTHER.ERR", EventKind::Warning, "other");
  EXPECT_EQ(g_mailed, (std::vector<std::string>{"1:port", "2:other"}));
  EXPECT_TRUE(FileExists(PrivateDataDirectory() + "SOCKET.ERR"));
  SetClockOverride(1767225600 + 36 * 3600);  // the next day
  ReportEventOnceADay("SOCKET.ERR", EventKind::Error, "next day");
  EXPECT_EQ(g_mailed.size(), 3u);
  SetAlertMailHook(nullptr);
  SetClockOverride(0);
}
