#include "store/message_writer.h"

#include <gtest/gtest.h>

#include <functional>

namespace {
SmsMessageRecord Parse(std::string_view text) {
  SmsMessageRecord r;
  ParseSMSMessage(text, r);
  return r;
}

// Every key set, each with a value that shows where it lands.
SmsMessageRecord Full() {
  SmsMessageRecord m;
  m.PhoneNumber = "+4412";
  m.Sender = "Shop";
  m.Data = "two\r\nlines";
  m.UDH = "050003AA0201";
  m.Pid = 0x41;
  m.Dcs = 0x08;
  m.Binary = true;
  m.SubmitUser = "alice";
  m.SubmittedBy = "10.0.0.1";
  m.ServiceType = "CMT";
  m.RouteToLocalUser = "bob";
  m.SMPPOptions = "SMPPOption_a=1";
  m.SMSCRoute = "R1";
  m.ModemName = "SMPP - h:1";
  m.ReceivedSMSC = "C1";
  m.Validity = "1d";
  m.BillingInfo = "bi";
  m.AcctInfo = "ai";
  m.MessageFlags = kMsgReplyRequested | kMsgReceiptRequested | kMsgNonDelReceiptRequested | kMsgIsReport |
                   kMsgReportFailed;
  m.ReceiptMessageId = "GW01";
  m.UTF8 = true;
  m.ExtraArguments = {{"Ref", "r"}};
  return m;
}
}  // namespace

// Each key alone: the line the writer makes, and the record that line reads back as; then
// the text read and written again is the same bytes.
TEST(MessageWriterTest, RoundTripOfEveryKey) {
  using Set = std::function<void(SmsMessageRecord&)>;
  struct Case {
    Set set;
    const char* lines;
  } cases[] = {
      {[](auto& m) { m.PhoneNumber = "+4412"; }, "PhoneNumber=+4412\r\n"},
      {[](auto& m) { m.Sender = "Shop"; }, "Sender=Shop\r\n"},
      {[](auto& m) { m.Data = "a\r\nb"; }, "Data=a\\r\\nb\r\n"},
      {[](auto& m) { m.UDH = "050003AA0201"; }, "UDH=050003AA0201\r\n"},
      {[](auto& m) { m.Pid = 0x41; }, "pid=41\r\n"},
      {[](auto& m) { m.Dcs = 0xF5; }, "dcs=F5\r\n"},
      {[](auto& m) { m.Binary = true; }, "Binary=1\r\n"},
      {[](auto& m) { m.SubmitUser = "alice"; }, "SubmitUser=alice\r\n"},
      {[](auto& m) { m.SubmittedBy = "10.0.0.1"; }, "SubmittedBy=10.0.0.1\r\n"},
      {[](auto& m) { m.ServiceType = "CMT"; }, "ServiceType=CMT\r\n"},
      {[](auto& m) { m.RouteToLocalUser = "~SMSIN"; }, "RouteToLocalUser=~SMSIN\r\n"},
      {[](auto& m) { m.SMPPOptions = "SMPPOption_a=1"; }, "SMPPOptions=SMPPOption_a=1\r\n"},
      {[](auto& m) { m.SMSCRoute = "R1"; }, "SMSCRoute=R1\r\n"},
      {[](auto& m) { m.ModemName = "SMPP - h:1"; }, "ModemName=SMPP - h:1\r\n"},
      {[](auto& m) { m.ReceivedSMSC = "smsc"; }, "ReceivedSMSC=smsc\r\n"},
      {[](auto& m) { m.Validity = "1d"; }, "Validity=1d\r\n"},
      {[](auto& m) { m.BillingInfo = "b"; }, "BillingInfo=b\r\n"},
      {[](auto& m) { m.AcctInfo = "acct"; }, "AcctInfo=acct\r\n"},
      {[](auto& m) { m.MessageFlags = kMsgReplyRequested; }, "ReplyRequested=Yes\r\n"},
      {[](auto& m) { m.MessageFlags = kMsgReceiptRequested; }, "ReceiptRequested=Yes\r\n"},
      {[](auto& m) { m.MessageFlags = kMsgNonDelReceiptRequested; }, "NonDelReceiptRequested=Yes\r\n"},
      {[](auto& m) { m.MessageFlags = kMsgIsReport | kMsgReportDelivered; }, "ReceiptDelivered=Yes\r\n"},
      {[](auto& m) { m.MessageFlags = kMsgIsReport | kMsgReportIntransit; }, "ReceiptIntransit=Yes\r\n"},
      {[](auto& m) { m.MessageFlags = kMsgIsReport | kMsgReportFailed; }, "ReceiptFailed=Yes\r\n"},
      {[](auto& m) { m.ReceiptMessageId = "GW0001"; }, "ReceiptMessageId=GW0001\r\n"},
      {[](auto& m) { m.RecombineFlag = true; }, "RecombineFlag=1\r\n"},
      {[](auto& m) { m.UTF8 = true; }, "UTF8=1\r\n"},
      {[](auto& m) { m.ExtraArguments = {{"Ref", "r"}, {"Inj", "1"}}; }, "Ref=r\r\nInj=1\r\n"},
      {[](auto& m) {
         m.RetryCount = 3;
         m.LastRetryTime = {2026, 12, 7, 10, 11, 12};
         m.FirstAttemptTime = {2026, 12, 6, 0, 0, 1};
         m.LastErrorInfo = "Timeout -- SMPP - h:1";
       },
       "[ErrorDetail]\r\nRetryCount=3\r\nLastRetryTime=20261207101112\r\nFirstAttemptTime=20261206000001\r\n"
       "LastErrorInfo=Timeout -- SMPP - h:1\r\n"},
      {[](auto& m) { m.Inbound = true; }, ""},
  };
  SmsMessageRecord all;
  for (const Case& c : cases) {
    SmsMessageRecord m;
    c.set(m);
    c.set(all);
    std::string text = MessageFileText(m, MessageLayout::Complete);
    EXPECT_EQ(text, std::string(m.Inbound ? "[SMS-IN]\r\n" : "[SMS]\r\n") + c.lines);
    EXPECT_EQ(Parse(text), m) << c.lines;
    EXPECT_EQ(MessageFileText(Parse(text), MessageLayout::Complete), text);
  }
  all.MessageFlags = kMsgReplyRequested | kMsgReceiptRequested | kMsgNonDelReceiptRequested | kMsgIsReport |
                     kMsgReportDelivered | kMsgReportIntransit | kMsgReportFailed;
  std::string text = MessageFileText(all, MessageLayout::Complete);
  EXPECT_EQ(Parse(text), all) << text;
  EXPECT_EQ(MessageFileText(Parse(text), MessageLayout::Complete), text);
}

// The key order of each producer, with every key set: what the files on disk hold.
TEST(MessageWriterTest, EachProducersKeyOrder) {
  SmsMessageRecord full = Full();
  SmsMessageRecord wap;
  wap.Inbound = true;
  wap.Sender = "IPNotify";
  wap.UDH = "0605040B8423F0";
  wap.Dcs = 4;
  wap.Data = "0102FF";
  struct Case {
    MessageLayout layout;
    const SmsMessageRecord& m;
    const char* text;
  } cases[] = {
      {MessageLayout::Submission, full,
       "[SMS]\r\nSubmitUser=alice\r\nSubmittedBy=10.0.0.1\r\nSender=Shop\r\nReplyRequested=Yes\r\n"
       "ReceiptRequested=Yes\r\nReceiptFailed=Yes\r\nReceiptMessageID=GW01\r\nRouteToLocalUser=bob\r\n"
       "Validity=1d\r\nServiceType=CMT\r\nBillingInfo=bi\r\nAcctInfo=ai\r\nSMPPOptions=SMPPOption_a=1\r\n"
       "Data=two\\r\\nlines\r\nUDH=050003AA0201\r\npid=41\r\ndcs=08\r\nBinary=1\r\nPhoneNumber=+4412\r\n"
       "SMSCRoute=R1\r\nModemName=SMPP - h:1\r\nRef=r\r\n"},
      {MessageLayout::SubmissionSegment, full,
       "[SMS]\r\nSubmitUser=alice\r\nSubmittedBy=10.0.0.1\r\nPhoneNumber=+4412\r\nSender=Shop\r\n"
       "ReplyRequested=Yes\r\nReceiptRequested=Yes\r\nReceiptFailed=Yes\r\nReceiptMessageID=GW01\r\n"
       "RouteToLocalUser=bob\r\nValidity=1d\r\nServiceType=CMT\r\nBillingInfo=bi\r\nAcctInfo=ai\r\n"
       "SMSCRoute=R1\r\nModemName=SMPP - h:1\r\nSMPPOptions=SMPPOption_a=1\r\nData=two\\r\\nlines\r\n"
       "UDH=050003AA0201\r\npid=41\r\ndcs=08\r\nBinary=1\r\nRef=r\r\n"},
      {MessageLayout::Received, full,
       "[SMS]\r\nModemName=SMPP - h:1\r\nSender=Shop\r\nPhoneNumber=+4412\r\nUDH=050003AA0201\r\npid=41\r\n"
       "dcs=8\r\nData=two\\r\\nlines\r\nBinary=1\r\nUTF8=1\r\nReceiptRequested=Yes\r\n"
       "NonDelReceiptRequested=Yes\r\nReceiptFailed=Yes\r\nReceiptMessageId=GW01\r\nServiceType=CMT\r\n"
       "SMPPOptions=SMPPOption_a=1\r\nRouteToLocalUser=bob\r\nReceivedSMSC=C1\r\n"},
      {MessageLayout::ReRouted, full,
       "[SMS]\r\nSMSCRoute=R1\r\nSender=Shop\r\nPhoneNumber=+4412\r\nUDH=050003AA0201\r\npid=41\r\n"
       "dcs=8\r\nData=two\\r\\nlines\r\nBinary=1\r\nUTF8=1\r\nReceiptRequested=Yes\r\n"
       "NonDelReceiptRequested=Yes\r\nReceiptFailed=Yes\r\nReceiptMessageId=GW01\r\nServiceType=CMT\r\n"
       "SMPPOptions=SMPPOption_a=1\r\nRouteToLocalUser=bob\r\nReceivedSMSC=C1\r\n"},
      {MessageLayout::LocalDelivery, full,
       "[SMS]\r\nSender=Shop\r\nPhoneNumber=+4412\r\nData=two\\r\\nlines\r\nUDH=050003AA0201\r\npid=41\r\n"
       "dcs=08\r\nBinary=1\r\nReplyRequested=Yes\r\nReceiptRequested=Yes\r\nNonDelReceiptRequested=Yes\r\n"
       "ReceiptFailed=Yes\r\nReceiptMessageId=GW01\r\nServiceType=CMT\r\nModemName=SMPP - h:1\r\n"
       "ReceivedSMSC=C1\r\nBillingInfo=bi\r\nAcctInfo=ai\r\nSMPPOptions=SMPPOption_a=1\r\n"},
      {MessageLayout::FailureReport, full,
       "[SMS]\r\nModemName=SMPP - h:1\r\nRouteToLocalUser=bob\r\nSender=Shop\r\nPhoneNumber=+4412\r\n"
       "Data=two\\r\\nlines\r\nBinary=1\r\nReceiptFailed=Yes\r\nReceiptMessageId=GW01\r\n"},
      {MessageLayout::WapPush, wap,
       "[SMS-IN]\r\nSender=IPNotify\r\nUDH=0605040B8423F0\r\nDCS=4\r\nData=0102FF\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageFileText(c.m, c.layout), c.text) << int(c.layout);
}

// Values from the network or a request cannot add a line: control bytes are dropped, and
// line breaks of the content travel escaped.
TEST(MessageWriterTest, ValuesCannotSplitLines) {
  SmsMessageRecord m;
  m.PhoneNumber = "123\r\nSMSCRoute=evil";
  m.Data = "a\r\nb\tc";
  m.ExtraArguments = {{"Ref", "x\nSMSCRoute=evil"}};
  std::string text = MessageFileText(m, MessageLayout::Submission);
  EXPECT_EQ(text, "[SMS]\r\nData=a\\r\\nbc\r\nPhoneNumber=123SMSCRoute=evil\r\nRef=xSMSCRoute=evil\r\n");
  SmsMessageRecord r = Parse(text);
  EXPECT_EQ(r.SMSCRoute, "");
  EXPECT_EQ(r.Data, "a\r\nbc");
}
