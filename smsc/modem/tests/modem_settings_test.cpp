// A modem connection's settings as read from its section, and the change check.
#include <gtest/gtest.h>

#include <string>

#include "smsc/modem/modem_settings.h"
#include "tests/support/data_folder.h"

namespace {

class ModemSettingsTest : public DataFolderTest {};

TEST_F(ModemSettingsTest, ReceivePollIsSecondsWithItsDefaults) {
  struct Case {
    const char* lines;
    uint32_t seconds;
  } cases[] = {
      {"", 2},
      {"ReceiveTo=Direct", 3},
      {"ReceivePoll=0", 1},
      {"ReceivePoll=60\nReceiveTo=Direct", 60},
      {"ReceivePoll=5", 5},
  };
  for (const Case& c : cases) {
    WriteConfig(std::string("[QARHUB]\n[Modem - /dev/ttyUSB0]\n") + c.lines);
    EXPECT_EQ(ReadModemSettings("/dev/ttyUSB0").receivePollSeconds, c.seconds) << c.lines;
  }
}

TEST_F(ModemSettingsTest, DefaultsThatDependOnOtherSettings) {
  struct Case {
    const char* connection;
    const char* lines;
    bool workaround, resetUsb, direct, hardReset;
    const char* receiveTo;
    const char* smsc;
  } cases[] = {
      {"Multitech CDMA modem", "", true, false, false, true, "", ""},
      {"Multitech CDMA modem", "ModemSendWorkaround=No", false, false, false, true, "", ""},
      {"Multitech GSM", "", false, false, false, true, "", ""},
      {"/dev/ttyUSB0", "RebootOnModemError=Yes", false, true, false, true, "", ""},
      {"/dev/ttyUSB0", "RebootOnModemError=Yes\nResetUSBDevices=No", false, false, false, true, "", ""},
      {"/dev/ttyUSB0", "ReceiveTo=direct\nSMSC=+44 (7911) 000:1", false, false, true, true, "", "+447911000"},
      {"/dev/ttyUSB0", "ReceiveTo=me", false, false, false, true, "ME", ""},
  };
  for (const Case& c : cases) {
    WriteConfig(std::string("[QARHUB]\n[Modem - ") + c.connection + "]\n" + c.lines);
    ModemSettings s = ReadModemSettings(c.connection);
    SCOPED_TRACE(std::string(c.connection) + " / " + c.lines);
    EXPECT_EQ(s.sendWorkaround, c.workaround);
    EXPECT_EQ(s.resetUsbDevices, c.resetUsb);
    EXPECT_EQ(s.direct, c.direct);
    EXPECT_EQ(s.hardResetAfterError, c.hardReset);
    EXPECT_EQ(s.receiveTo, c.receiveTo);
    EXPECT_EQ(s.smsc, c.smsc);
  }
}

TEST_F(ModemSettingsTest, HardResetFollowsMainSectionFirst) {
  struct Case {
    const char* main;
    const char* own;
    bool want;
  } cases[] = {{"", "", true}, {"ModemHardResetAfterError=No", "", true},
               {"ModemHardResetAfterError=No", "ModemHardResetAfterError=No", false},
               {"ModemHardResetAfterError=Yes", "ModemHardResetAfterError=No", true}};
  for (const Case& c : cases) {
    WriteConfig(std::string("[QARHUB]\n") + c.main + "\n[Modem - m]\n" + c.own);
    EXPECT_EQ(ReadModemSettings("m").hardResetAfterError, c.want) << c.main << " / " << c.own;
  }
}

TEST_F(ModemSettingsTest, NumberedCommandsStopAtTheFirstGap) {
  WriteConfig("[QARHUB]\n[Modem - m]\nCommandPreInit1=AT+A\nCommandPreInit2=AT+B\nCommandPreInit4=AT+D\n"
              "CommandPostSend1=AT+Z");
  ModemSettings s = ReadModemSettings("m");
  ASSERT_EQ(s.preInit.size(), 2u);
  EXPECT_EQ(s.preInit[1].first, "CommandPreInit2");
  EXPECT_EQ(s.preInit[1].second, "AT+B");
  EXPECT_EQ(s.postSend.size(), 1u);
  EXPECT_TRUE(s.postInit.empty());
}

// (Each changed file differs in size: the configuration reader may not see a rewrite of the
// same size within one second.)
// The gateway writes USBReEnable itself before a reboot: that is no change of settings,
// while any setting of the session is.
TEST_F(ModemSettingsTest, ChangeCheckIgnoresTheReEnableMarker) {
  WriteConfig("[QARHUB]\n[Modem - m]\nPIN=1234");
  ModemSettings before = ReadModemSettings("m");
  WriteConfig("[QARHUB]\n[Modem - m]\nPIN=1234\nUSBReEnable=Yes");
  EXPECT_FALSE(ModemSettingsChanged(before, ReadModemSettings("m")));
  struct Case {
    const char* line;
  } changes[] = {{"PIN=98765"}, {"PIN=1234\nModemTextMode=Yes"}, {"PIN=1234\nReceivePoll=9"},
                 {"PIN=1234\nCommandPreSend1=AT"}, {"PIN=1234\nUSBDevice=1-1"}};
  for (const Case& c : changes) {
    WriteConfig(std::string("[QARHUB]\n[Modem - m]\n") + c.line);
    EXPECT_TRUE(ModemSettingsChanged(before, ReadModemSettings("m"))) << c.line;
  }
}

}  // namespace
