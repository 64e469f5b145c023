#include "smsc/smpp/smpp_settings.h"

#include <gtest/gtest.h>

#include "smsc/tests/smsc_test_home.h"

namespace {

class SmppSettingsTest : public SmscTestHome {};

TEST_F(SmppSettingsTest, ValuesDefaultsAndTheReceiveOnlyRule) {
  WriteConfig(R"([QARHUB]
SMPPThrottleErrorDelay=9
[SMPP - a:1]
SMPPVersion=v3.3
UserName=user
SenderAddress=111, 222
SenderPort=4000:2776
KeepAlive=0
Receive=Yes
RoutePrefOnly=Yes
TransmitterCount=3
[SMPP - b:2]
KeepAlive=
ReceiverPort=5000
WindowSize=10
ReceiverCount=0
[SMPP - c:3]
Receive=Yes
RoutePrefOnly=Yes
Route1=44*
SMPPThrottleErrorDelay=0
)");
  SmppConnectionSettings a = ReadSmppSettings("SMPP - a:1");
  EXPECT_EQ(a.version, 0x33);
  EXPECT_EQ(a.userName, "user");
  EXPECT_EQ(a.defaultSender, "111");
  EXPECT_EQ(a.senderLocalPort, 4000);
  EXPECT_EQ(a.senderRemotePort, 2776);
  EXPECT_EQ(a.keepAliveSeconds, 0u) << "an explicit 0 disables enquire-links";
  EXPECT_TRUE(a.receiveOnly);
  EXPECT_EQ(a.receiverCount, 3u) << "TransmitterCount stands in for an empty ReceiverCount";
  EXPECT_EQ(a.throttleErrorDelaySeconds, 9u) << "from [QARHUB]";
  EXPECT_EQ(a.commandTimeoutSeconds, 120u);

  SmppConnectionSettings b = ReadSmppSettings("SMPP - b:2");
  EXPECT_EQ(b.version, 0x34);
  EXPECT_EQ(b.keepAliveSeconds, 58u) << "empty means the default";
  EXPECT_EQ(b.receiverLocalPort, 5000);
  EXPECT_EQ(b.receiverRemotePort, 0);
  EXPECT_EQ(b.windowSize, 10u);
  EXPECT_EQ(b.receiverCount, 1u) << "0 counts as 1";
  EXPECT_FALSE(b.receiveOnly);
  EXPECT_TRUE(b.senderAddressOverride);

  SmppConnectionSettings c = ReadSmppSettings("SMPP - c:3");
  EXPECT_FALSE(c.receiveOnly) << "it has a route of its own";
  EXPECT_EQ(c.throttleErrorDelaySeconds, 0u);
}

TEST(SmppSettingsRules, WhatNeedsAReconnection) {
  SmppConnectionSettings base;
  base.windowSize = 5;
  struct Case {
    const char* what;
    void (*change)(SmppConnectionSettings&);
    bool reconnect;
  } cases[] = {
      {"password", [](SmppConnectionSettings& s) { s.password = "new"; }, true},
      {"version", [](SmppConnectionSettings& s) { s.version = 0x33; }, true},
      {"remote sender port", [](SmppConnectionSettings& s) { s.senderRemotePort = 9; }, true},
      {"TLS", [](SmppConnectionSettings& s) { s.useSSL = true; }, true},
      {"window to zero", [](SmppConnectionSettings& s) { s.windowSize = 0; }, true},
      {"becomes receive-only", [](SmppConnectionSettings& s) { s.receiveOnly = true; }, true},
      {"combined long messages, synchronous path",
       [](SmppConnectionSettings& s) {
         s.wdpAdaptation = true;
         s.useTLV = false;
       },
       true},
      {"window size value", [](SmppConnectionSettings& s) { s.windowSize = 50; }, false},
      {"keep-alive", [](SmppConnectionSettings& s) { s.keepAliveSeconds = 5; }, false},
      {"sender list", [](SmppConnectionSettings& s) { s.senderAddressList = "9"; }, false},
      {"validity", [](SmppConnectionSettings& s) { s.validity = "1h"; }, false},
      {"route name", [](SmppConnectionSettings& s) { s.routeName = "X"; }, false},
  };
  for (const Case& c : cases) {
    SmppConnectionSettings now = base;
    c.change(now);
    EXPECT_EQ(SmppSettingsNeedReconnect(base, now), c.reconnect) << c.what;
  }
  // The bind follows the receive-only rule both ways; UseTLV matters only with WDPAdaptation.
  SmppConnectionSettings receiveOnly = base, tlvOnly = base, wdp = base;
  receiveOnly.receiveOnly = true;
  EXPECT_TRUE(SmppSettingsNeedReconnect(receiveOnly, base)) << "a route given to a receive-only link";
  tlvOnly.useTLV = true;
  EXPECT_FALSE(SmppSettingsNeedReconnect(base, tlvOnly));
  wdp.wdpAdaptation = true;
  wdp.useTLV = true;
  SmppConnectionSettings wdpNoTlv = wdp;
  wdpNoTlv.useTLV = false;
  EXPECT_TRUE(SmppSettingsNeedReconnect(wdp, wdpNoTlv));
  EXPECT_TRUE(SmppUsesWindow(wdp));
  EXPECT_FALSE(SmppUsesWindow(wdpNoTlv));
  EXPECT_TRUE(SmppUsesWindow(base));
  uint16_t local = 1, remote = 1;
  ParsePortPair("70000:80", local, remote);
  EXPECT_EQ(local, 0);
  EXPECT_EQ(remote, 80);
}

}  // namespace
