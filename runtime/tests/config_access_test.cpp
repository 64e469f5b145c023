#include <fcntl.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "tests/support/data_folder.h"
#include "tests/support/test_files.h"

namespace {
}  // namespace

TEST(ConfigAccessTest, NumbersFlagsAndConnectionFallback) {
  TestDataFolder dir;
  dir.WriteIni(
      "[QARHUB]\r\nMaxQDirEntries=\r\nRetryMaxAttempts=7\r\nJunk=abc\r\nFlag=On\r\n"
      "[SMPP - h:1]\r\nRetryMaxAttempts=3\r\nEmpty=\r\n");
  EXPECT_EQ(SMSIniNumber("QARHUB", "MaxQDirEntries", 10000), 0u);  // empty reads as 0
  EXPECT_EQ(SMSIniNumber("QARHUB", "Missing", 10000), 10000u);     // missing gives the default
  EXPECT_EQ(SMSIniNumber("QARHUB", "Junk", 5), 0u);
  EXPECT_TRUE(SMSIniFlag("QARHUB", "Flag", false));
  EXPECT_TRUE(SMSIniFlag("QARHUB", "Missing", true));
  EXPECT_EQ(ConnectionSetting("SMPP - h:1", "RetryMaxAttempts"), "3");
  EXPECT_EQ(ConnectionSetting("SMPP - h:2", "RetryMaxAttempts"), "7");
  EXPECT_EQ(ConnectionSetting("SMPP - h:1", "Empty", "d"), "d");
  EXPECT_EQ(SMSIniString("QARHUB", "RetryMaxAttempts", "", 0), "");
  auto section = SMSIniSection("SMPP - h:1");
  ASSERT_EQ(section.size(), 2u);
  EXPECT_EQ(section[0].first, "RetryMaxAttempts");
  EXPECT_EQ(section[0].second, "3");
  EXPECT_EQ(ProgramDataDirectory(), dir.path());
  EXPECT_EQ(PrivateDataDirectory(), dir.path() + "PRIVATE/");
  EXPECT_EQ(DebugLogDirectory().back(), '/');
}
