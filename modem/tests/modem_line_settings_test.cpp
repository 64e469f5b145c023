// The line's settings as the configuration gives them.
#include <gtest/gtest.h>

#include "modem/modem_line.h"
#include "tests/support/data_folder.h"

namespace {

class ModemLineSettingsTest : public DataFolderTest {};

TEST_F(ModemLineSettingsTest, FromQarhubAndTheConnection) {
  WriteConfig(
      "[QARHUB]\n"
      "ModemSendDelay=250\nModemMaxBytesPerSend=0\nIPModemMaxBytes=64\nOldModemHandler=Yes\n"
      "[IPModem - 10.0.0.5:4001]\n"
      "UserName=gw\nPassword=pw\nMinimumReadDelay=30\nOldPollingLogic=Yes\n"
      "IPModemInitWaitFor1=login:\nIPModemInitSend1=gw\\r\n"
      "IPModemInitWaitFor2=>\n"
      "IPModemInitWaitFor4=never read\nIPModemInitSend4=x\n"
      "[Modem - COM3:]\nOldPollingLogic=Yes\nMinimumReadDelay=40\n");
  ModemLineSettings s = ReadModemLineSettings("IPModem - 10.0.0.5:4001");
  EXPECT_EQ(s.ModemSendDelay, 250u);
  EXPECT_EQ(s.ModemMaxBytesPerSend, 16u);  // 0 means the default
  EXPECT_EQ(s.IPModemMaxBytes, 64u);
  EXPECT_TRUE(s.OldModemHandler);
  EXPECT_EQ(s.Username, "gw");
  EXPECT_EQ(s.Password, "pw");
  EXPECT_EQ(s.MinimumReadDelay, 30u);
  EXPECT_TRUE(s.OldPollingLogic);
  // The steps stop at the first missing prompt; a step may have no answer.
  ASSERT_EQ(s.IPModemInit.size(), 2u);
  EXPECT_EQ(s.IPModemInit[0], (std::pair<std::string, std::string>{"login:", "gw\\r"}));
  EXPECT_EQ(s.IPModemInit[1], (std::pair<std::string, std::string>{">", ""}));

  ModemLineSettings serial = ReadModemLineSettings("COM3:");
  EXPECT_TRUE(serial.OldPollingLogic);
  EXPECT_EQ(serial.MinimumReadDelay, 40u);

  ModemLineSettings other = ReadModemLineSettings("Other Modem");
  EXPECT_EQ(other.IPModemMaxBytes, 64u);
  EXPECT_EQ(other.MinimumReadDelay, 0u);
  EXPECT_FALSE(other.OldPollingLogic);
  EXPECT_TRUE(other.IPModemInit.empty());
  EXPECT_TRUE(other.Username.empty());
}

}  // namespace
