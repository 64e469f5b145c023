#include "store/message_logs.h"

#include <gtest/gtest.h>

#include "config/settings.h"
#include "config/settings_override.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "store/tests/store_home.h"

namespace {}  // namespace

TEST(MessageLogsTest, OutboundLinesAndTheDayChange) {
  SettingsOverride settings;
  StoreHome home;
  std::string logs = LogDirectory();
  SetClockOverride(LocalAt(2026, 12, 7, 23, 59, 58));
  LogContent text{false, 0, 0, "", "hello\r\n2026-12-07 00:00:00,forged"};
  LogOutbound("GW0001", "10.0.0.1", "+441", "OK", text, "alice", "abc", "Shop");
  SetClockOverride(LocalAt(2026, 12, 8, 0, 0, 1));
  LogContent binary{true, 0x41, 0xF5, "0605040B8423F0", "CAFE"};
  LogOutbound("GW0002", "", "+442", "OK", binary, "", "", "");
  LogOutbound("System", "", "SMPP - h:1", "Connected", LogContent(), "", "", "");
  EXPECT_EQ(ReadFileText(logs + "SMSOUT-20261207.LOG"),
            "2026-12-07 23:59:58,GW0001,10.0.0.1,+441,OK,SubmitUser=alice;Sender=Shop;SMSCMsgId=abc;"
            "Text=\"hello\\r\\n2026-12-07 00:00:00,forged\"\r\n");
  EXPECT_EQ(ReadFileText(logs + "SMSOUT-20261208.LOG"),
            "2026-12-08 00:00:01,GW0002,,+442,OK,Binary=1;PID=41;DCS=F5;UDH=0605040B8423F0;Data=CAFE\r\n"
            "2026-12-08 00:00:01,System,,SMPP - h:1,Connected\r\n");
  settings->ExcludeSmsDetailsFromLog = true;
  EXPECT_EQ(OutboundLogDetails(binary, "u", "", ""), "SubmitUser=u");
  settings->ExcludeSmsDetailsFromLog = false;
  // Binary septets and UCS-2 are logged as text: "hi" as septets after a 6-octet header
  // (one fill bit), and as UCS-2.
  LogContent septets{true, 0, 0, "050003010201", "D069"};
  EXPECT_EQ(OutboundLogDetails(septets, "", "", ""), "UDH=050003010201;Text=\"hi\"");
  LogContent plain{true, 0, 0, "", "E834"};
  EXPECT_EQ(OutboundLogDetails(plain, "", "", ""), "Text=\"hi\"");
  LogContent ucs2{true, 0, 8, "", "00680069"};
  EXPECT_EQ(OutboundLogDetails(ucs2, "", "", ""), "DCS=8;Text=\"hi\"");
  settings->DisableOutLog = true;
  LogOutbound("GW0003", "", "+443", "OK", text, "", "", "");
  EXPECT_EQ(ReadFileText(logs + "SMSOUT-20261208.LOG").find("GW0003"), std::string::npos);
}

TEST(MessageLogsTest, InboundWebAndUserLines) {
  StoreHome home;
  std::string logs = LogDirectory();
  SetClockOverride(LocalAt(2026, 1, 2, 3, 4, 5));
  LogInbound("+449", "Modem - COM1", "+440", LogContent{false, 0, 0, "", "hi\nthere"}, "R1", "");
  LogInbound("+449", "", "", LogContent(), "", "");
  EXPECT_EQ(ReadFileText(logs + "SMSIN-20260102.LOG"),
            "2026-01-02 03:04:05,+449,Modem - COM1,Text=\"hi\\nthere\";Recip=+440;SMSCReceiptMsgId=R1\r\n"
            "2026-01-02 03:04:05,+449,\r\n");
  LogWeb("127.0.0.1", "bob\r\n", "GW1", "Text");
  EXPECT_EQ(ReadFileText(logs + "SMSWEB-20260102.LOG"), "2026-01-02 03:04:05,127.0.0.1,bob,GW1,Text\r\n");
  LogUser("bob", "SMSSubmit", "+441", "1.2.3.4", "GW1", "Text", LogContent{false, 0, 0, "", "a\r\nb"}, "Shop");
  LogUser("LocalSystem", "SMSSubmit", "+441", "", "GW2", "Text", LogContent(), "");
  LogUser("../x", "SMSSubmit", "+441", "", "GW3", "Text", LogContent(), "");
  LogUser("bob", "SMSReceive", "+441", "+449", "GW4", "Binary", LogContent{true, 0, 4, "", "00"}, "+449");
  EXPECT_EQ(ReadFileText(home.path() + "USERS/bob/SMS-20260102.LOG"),
            "2026-01-02 03:04:05,bob,SMSSubmit,+441,1.2.3.4,GW1,Text,Sender=Shop;Text=a\\r\\nb\r\n"
            "2026-01-02 03:04:05,bob,SMSReceive,+441,+449,GW4,Binary,Sender=+449;Binary=1;DCS=4;Data=00\r\n");
  EXPECT_FALSE(ReadFileText(home.path() + "USERS/localsystem/SMS-20260102.LOG").size() > 0);
  LogUser("carol", "SMSSubmit", "+1", "", "GW5", "Text", LogContent{false, 0, 0, "", std::string(5000, 'x')}, "s");
  std::string carol = ReadFileText(home.path() + "USERS/carol/SMS-20260102.LOG");
  EXPECT_EQ(carol.size(), std::string("2026-01-02 03:04:05,carol,SMSSubmit,+1,,GW5,Text,").size() + 2048 + 2);
}
