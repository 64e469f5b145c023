#include <gtest/gtest.h>

#include "inbound/inbound_receive.h"
#include "store/message_file.h"
#include "store/message_writer.h"

namespace {

TEST(InboundReceive, DeliveryReportIdAndState) {
  struct Case {
    const char* text;
    const char* extra;
    const char* id;
    uint32_t flags;
  } cases[] = {
      {"id:ABC sub:001 dlvrd:001 stat:DELIVRD err:000 text:x", "", "ABC", kMsgReportDelivered},
      {"ID:abc stat:undeliv", "", "abc", kMsgReportFailed},
      {"id:7 stat:ENROUTE", "", "7", kMsgReportIntransit},
      {"id:7 stat:ACCEPTD", "", "7", kMsgReportDelivered},
      // "id:" inside another word is not the id.
      {"valid:9 id:8 stat:EXPIRED", "", "8", kMsgReportFailed},
      {"no report text", "", "", 0},
      // Options win over the text.
      {"id:T stat:DELIVRD", "SMPPOption_receipted_message_id=OPT; SMPPOption_message_state=5", "OPT", kMsgReportFailed},
      {"", "SMPPOption_message_state=1;SMPPOption_receipted_message_id=Z", "Z", kMsgReportIntransit},
      {"", "SMPPOption_message_state=2", "", kMsgReportDelivered},
  };
  for (const Case& c : cases) {
    ReportContent r = ParseDeliveryReport(c.text, c.extra);
    EXPECT_EQ(r.messageId, c.id) << c.text << " / " << c.extra;
    EXPECT_EQ(r.stateFlags, c.flags) << c.text << " / " << c.extra;
  }
}

TEST(InboundReceive, ExtraParametersAreCutAndCleaned) {
  std::string v;
  EXPECT_TRUE(ExtraParamValue("ServiceType=WAP; receivedsmsc = SMSC1 ;x=y", "ReceivedSMSC", 49, v));
  EXPECT_EQ(v, "SMSC1");
  EXPECT_TRUE(ExtraParamValue("RouteToLocalUser=b\x01o\x7f" "b", "routetolocaluser", 99, v));
  EXPECT_EQ(v, "bob");
  EXPECT_TRUE(ExtraParamValue("ServiceType=" + std::string(300, 'a'), "ServiceType", 99, v));
  EXPECT_EQ(v.size(), 99u);
  EXPECT_FALSE(ExtraParamValue("ServiceTypeX=1", "ServiceType", 99, v));
}

// The files of the local-user and inbound cases.
TEST(InboundReceive, FileTextOrder) {
  SmsMessageRecord m;
  m.ModemName = "SMPP - h:1";
  m.Sender = "1";
  m.PhoneNumber = "2";
  m.UDH = "050003010201";
  m.Data = "hi";
  m.Pid = 0x41;
  m.MessageFlags = kMsgReceiptRequested | kMsgIsReport | kMsgReportFailed | kMsgReportDelivered;
  m.ReceiptMessageId = "R1";
  SmsMessageRecord user = m;
  user.ServiceType = "ST";
  user.SMPPOptions = "SMPPOption_a=1";
  user.RouteToLocalUser = "bob";
  user.ReceivedSMSC = "C1";
  EXPECT_EQ(MessageFileText(user, MessageLayout::Received),
            "[SMS]\r\nModemName=SMPP - h:1\r\nSender=1\r\nPhoneNumber=2\r\nUDH=050003010201\r\npid=41\r\nData=hi\r\n"
            "ReceiptRequested=Yes\r\nReceiptFailed=Yes\r\nReceiptMessageId=R1\r\nServiceType=ST\r\n"
            "SMPPOptions=SMPPOption_a=1\r\nRouteToLocalUser=bob\r\nReceivedSMSC=C1\r\n");
  m.Inbound = true;
  EXPECT_EQ(MessageFileText(m, MessageLayout::Received),
            "[SMS-IN]\r\nModemName=SMPP - h:1\r\nSender=1\r\nPhoneNumber=2\r\nUDH=050003010201\r\npid=41\r\nData=hi\r\n"
            "ReceiptRequested=Yes\r\nReceiptFailed=Yes\r\nReceiptMessageId=R1\r\n");
}

}  // namespace
