#include "smsc/ucpcimd/ucpcimd_settings.h"

#include <gtest/gtest.h>

#include "smsc/tests/smsc_test_home.h"

namespace {

class UcpCimdSettingsTest : public SmscTestHome {};

const char* kBase = R"([QARHUB]
KeepAlive=30
[UCP - h:1]
UserName=gw
Password=secret
SenderAddress=111, 222
BindIP=127.0.0.1
LocalPort=4100
ReceivePort=4200
Receive=Yes
)";

TEST_F(UcpCimdSettingsTest, ValuesAndDefaults) {
  WriteConfig(R"([UCP - h:1]
UserName=gw
LocalPort=70000
[CIMD - h:2]
KeepAlive=12
SenderAddressOverride=No
ReceivePort=4300
)");
  UcpCimdSettings u = ReadUcpCimdSettings("UCP - h:1");
  EXPECT_EQ(u.userName, "gw");
  EXPECT_EQ(u.keepAliveSeconds, 0u) << "no enquire-links unless asked for";
  EXPECT_EQ(u.localPort, 0) << "a port out of range binds none";
  EXPECT_TRUE(u.senderAddressOverride);
  EXPECT_FALSE(u.receive);
  UcpCimdSettings c = ReadUcpCimdSettings("CIMD - h:2");
  EXPECT_EQ(c.keepAliveSeconds, 12u);
  EXPECT_FALSE(c.senderAddressOverride);
  EXPECT_EQ(c.receivePort, 4300);
}

// Each change alone: the login, the local address and the listener need a new session;
// the rest applies in place.
TEST_F(UcpCimdSettingsTest, WhichChangesNeedANewSession) {
  struct Case {
    const char* from;
    const char* to;
    bool reconnect;
  };
  const Case cases[] = {
      {"UserName=gw", "UserName=gw2", true},
      {"Password=secret", "Password=other", true},
      {"BindIP=127.0.0.1", "BindIP=", true},
      {"LocalPort=4100", "LocalPort=4101", true},
      {"ReceivePort=4200", "ReceivePort=0", true},
      {"Receive=Yes", "Receive=No", true},
      {"SenderAddress=111, 222", "SenderAddress=333", false},
      {"Receive=Yes", "Receive=Yes\r\nKeepAlive=5\r\nSenderAddressOverride=No\r\nDisableDeliveryReceipt=Yes", false},
      {"Receive=Yes", "Receive=Yes\r\nRouteName=r1\r\nUCPRejectErrorCodes=04", false},
  };
  for (const Case& c : cases) {
    WriteConfig(kBase);
    UcpCimdSettings before = ReadUcpCimdSettings("UCP - h:1");
    std::string changed = kBase;
    changed.replace(changed.find(c.from), strlen(c.from), c.to);
    WriteConfig(changed);
    UcpCimdSettings after = ReadUcpCimdSettings("UCP - h:1");
    EXPECT_EQ(UcpCimdSettingsNeedReconnect(before, after), c.reconnect) << c.from << " -> " << c.to;
  }
  WriteConfig(std::string(kBase) + "KeepAlive=5\r\n");
  EXPECT_EQ(ReadUcpCimdSettings("UCP - h:1").keepAliveSeconds, 5u) << "the section before [QARHUB]";
}

TEST(UcpCimdOutcome, StatusClasses) {
  struct Case {
    int status;
    const char* rejectList;
    SubmitOutcome outcome;
  };
  const Case cases[] = {
      {0, "All", SubmitOutcome::Done},
      {-1, "", SubmitOutcome::LinkLost},
      {-1, "All", SubmitOutcome::LinkLost},
      {-2, "All", SubmitOutcome::Retry},   // no answer in time: the centre has not said no
      {-3, "-3", SubmitOutcome::Retry},    // the library's own results are never listed
      {4, "", SubmitOutcome::Retry},
      {4, "04", SubmitOutcome::Rejected},  // UCP codes are written with two digits
      {24, "4, 23", SubmitOutcome::Retry},
      {24, "4;24", SubmitOutcome::Rejected},
      {24, "All", SubmitOutcome::Rejected},
      {300, "300", SubmitOutcome::Rejected},
      {10, "0x0A", SubmitOutcome::Retry},  // decimal lists
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UcpCimdOutcome(c.status, c.rejectList), c.outcome) << c.status << " in \"" << c.rejectList << "\"";
  }
}

TEST(UcpCimdExtraParams, ItemsPresentOnlyAndNoneSplitByAValue) {
  SmsMessageRecord m;
  EXPECT_EQ(UcpCimdExtraParams(m, "0000CAFE"), "OurMsgId=0000CAFE");
  m.SubmitUser = "alice";
  EXPECT_EQ(UcpCimdExtraParams(m, "0000CAFE"), "LocalUser=alice; OurMsgId=0000CAFE");
  m.BillingInfo = "cc;OurMsgId=X\r\n";
  EXPECT_EQ(UcpCimdExtraParams(m, "0000CAFE"), "BillingInfo=cc,OurMsgId=X; LocalUser=alice; OurMsgId=0000CAFE");
}

}  // namespace
