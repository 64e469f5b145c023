#include "store/store_service.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/settings.h"
#include "config/settings_override.h"
#include "store/counters.h"
#include "store/message_file.h"
#include "store/tests/store_home.h"

TEST(StoreServiceTest, StartupRecountsTheQueues) {
  StoreHome home;
  std::string q = OutboundQueueRoot(), in = InboundDir();
  for (const char* f : {"a.req", "b.REQ", "user/c.req", "RT_-_x_-_/d.req", "MMSQ__1/e.req", "f.err",
                        "deep/er/g.req"}) {
    WriteFileText(q + f, "[SMS]\r\n");
  }
  for (const char* f : {"1.in", "2.IN", "3.rec", "00000001/4.in", "5.rct", "6.RCT", "7.BAD"}) {
    WriteFileText(in + f, "[SMS-IN]\r\n");
  }
  CounterAdd(kSmsQSize, 100);  // stale values are replaced
  StoreStartup();
  EXPECT_EQ(CounterValue(kSmsQSize), 4u);
  EXPECT_EQ(CounterValue(kSmsInQSize), 4u);
  EXPECT_EQ(CounterValue(kSmsRcptQSize), 2u);
}

TEST(StoreServiceTest, InboundFilesFromRawParts) {
  SettingsOverride settings;
  StoreHome home;
  settings->MessageIDPrefix = "GW";
  CounterResetQueueSizes();
  ASSERT_TRUE(WriteInboundWapPush("0102FF"));
  std::string path = WriteInboundFile("rct", "[SMS-IN]\r\nSender=1\r\n");
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(CounterValue(kSmsInQSize), 1u);
  EXPECT_EQ(CounterValue(kSmsRcptQSize), 1u);
  EXPECT_TRUE(WriteInboundFile("../x", "[SMS-IN]\r\n").empty());
  std::string pushText;
  for (auto& e : std::filesystem::directory_iterator(InboundDir())) {
    if (e.path().extension() == ".in") {
      pushText = ReadFileText(e.path().string());
      EXPECT_EQ(e.path().filename().string().substr(0, 2), "GW");
    }
  }
  EXPECT_EQ(pushText, "[SMS-IN]\r\nSender=IPNotify\r\nUDH=0605040B8423F0\r\nDCS=4\r\nData=0102FF\r\n");
  SmsMessageRecord r;
  ParseSMSMessage(pushText, r);
  EXPECT_EQ(r.Dcs, 4);
  EXPECT_EQ(r.Data, "0102FF");
}
