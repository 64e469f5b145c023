#include "store/message_file.h"

#include <gtest/gtest.h>

#include "runtime/clock.h"
#include "runtime/dates.h"
#include "store/tests/store_home.h"

namespace {
SmsMessageRecord Parse(std::string_view text) {
  SmsMessageRecord r;
  ParseSMSMessage(text, r);
  return r;
}

SmsMessageRecord LoadPath(const std::string& path) {
  ClaimedFile f;
  SmsMessageRecord r;
  EXPECT_TRUE(ClaimQueueFile(path, f));
  LoadSMSMessage(f, r);
  return r;
}
}  // namespace

TEST(MessageFileTest, RoundTripOfEveryKey) {
  StoreHome home("[QARHUB]\r\n[SMPP - host:1]\r\nRouteName=Fast\r\n");
  std::string text =
      "[SMS]\r\nPhoneNumber=+4412345\r\nSender=Shop\r\nData=line1\\r\\nline2\r\nUDH=050003AA0201\r\npid=41\r\n"
      "dcs=F5\r\nSubmitUser=alice\r\nSubmittedBy=10.0.0.1\r\nServiceType=CMT\r\nRouteToLocalUser=~SMSIN\r\n"
      "SMPPOptions=1401=AB\r\nSMSCRoute=R1\r\nModemName=SMPP - host:1\r\nReceivedSMSC=smsc\r\nValidity=1d\r\n"
      "BillingInfo=b\r\nAcctInfo=acct\r\nReplyRequested=1\r\nReceiptRequested=1\r\nNonDelReceiptRequested=1\r\n"
      "ReceiptMessageID=GW0001\r\nRecombineFlag=1\r\nUTF8=1\r\n";
  std::string path = home.path() + "Q/T.req";
  ASSERT_TRUE(PublishFile(path, text + "[ErrorDetail]\r\nRetryCount=3\r\nLastRetryTime=20261207101112\r\n"
                                         "FirstAttemptTime=20261206000001\r\n",
                          PublishMode::CreateNew));
  SmsMessageRecord r = LoadPath(path);
  EXPECT_EQ(r.PhoneNumber, "+4412345");
  EXPECT_EQ(r.Sender, "Shop");
  EXPECT_EQ(r.Data, "line1\r\nline2");
  EXPECT_EQ(r.UDH, "050003AA0201");
  EXPECT_EQ(r.Pid, 0x41);
  EXPECT_EQ(r.Dcs, 0xF5);
  EXPECT_FALSE(r.Binary);
  EXPECT_EQ(r.SubmitUser, "alice");
  EXPECT_EQ(r.SubmittedBy, "10.0.0.1");
  EXPECT_EQ(r.ServiceType, "CMT");
  EXPECT_EQ(r.RouteToLocalUser, "~SMSIN");
  EXPECT_EQ(r.SMPPOptions, "1401=AB");
  EXPECT_EQ(r.SMSCRoute, "R1");
  EXPECT_EQ(r.ModemName, "SMPP - host:1");
  EXPECT_EQ(r.RouteName, "Fast");
  EXPECT_EQ(r.ReceivedSMSC, "smsc");
  EXPECT_EQ(r.Validity, "1d");
  EXPECT_EQ(r.BillingInfo, "b");
  EXPECT_EQ(r.AcctInfo, "acct");
  EXPECT_EQ(r.ReceiptMessageId, "GW0001");
  EXPECT_EQ(r.MessageFlags, kMsgReplyRequested | kMsgReceiptRequested | kMsgNonDelReceiptRequested);
  EXPECT_TRUE(r.RecombineFlag);
  EXPECT_TRUE(r.UTF8);
  EXPECT_EQ(r.RetryCount, 3u);
  EXPECT_EQ(r.LastRetryTime.year, 2026);
  EXPECT_EQ(r.LastRetryTime.second, 12);
  EXPECT_EQ(r.FirstAttemptTime.day, 6);
  // A connection without RouteName is its own route name.
  EXPECT_EQ(Parse("[SMS]\r\nModemName=x\r\n").RouteName, "");
}

TEST(MessageFileTest, ParsingEdgeCases) {
  struct Case {
    const char* text;
    const char* phone;
    const char* sender;
    const char* data;
    uint32_t flags;
    bool binary;
  } cases[] = {
      {"\x1A[SMS]\r\nPhoneNumber=1\r\n", "", "", "", 0, false},
      {"  \r\n\x1A", "", "", "", 0, false},
      {"[Other]\r\nPhoneNumber=9\r\n[SMS]\r\nPhoneNumber=1\r\n", "1", "", "", 0, false},
      {"PhoneNumber=9\r\n", "", "", "", 0, false},
      {"[SMS]\r\nBinary=yes\r\n", "", "", "", 0, true},
      {"[SMS]\r\nbinary=1\r\n", "", "", "", 0, true},
      {"[SMS]\r\nBINARY=True\r\n", "", "", "", 0, true},
      {"[SMS]\r\nBinary=0\r\n", "", "", "", 0, false},
      {"[SMS]\r\nReceiptFailed=Yes\r\nReceiptRequested=No\r\n", "", "", "", 0x24, false},
      {"[SMS-IN]\r\nReceiptDelivered=1\r\n", "", "", "", 0x0C, false},
      {"[SMS]\r\nSender=a\r\nSenderName=b\r\nDataX=c\r\nData=d\r\n", "", "a", "d", 0, false},
      {"[SMS]\r\nData=abc\tSender=evil\r\n", "", "", "abc", 0, false},
      {"[SMS]\r\nPHONENUMBER=5\r\n", "5", "", "", 0, false},
      {"[SMS]\r\nData= lead\r\n", "", "", " lead", 0, false},
      {"[SMS]\nPhoneNumber=6\n[ErrorDetail]\nPhoneNumber=7\n", "6", "", "", 0, false},
  };
  for (const Case& c : cases) {
    SmsMessageRecord r = Parse(c.text);
    EXPECT_EQ(r.PhoneNumber, c.phone) << c.text;
    EXPECT_EQ(r.Sender, c.sender) << c.text;
    EXPECT_EQ(r.Data, c.data) << c.text;
    EXPECT_EQ(r.MessageFlags, c.flags) << c.text;
    EXPECT_EQ(r.Binary, c.binary) << c.text;
  }
  SmsMessageRecord r = Parse("[SMS]\r\n[ErrorDetail]\r\nLastRetryTime=2026120710111\r\nRetryCount=x\r\n");
  EXPECT_EQ(r.LastRetryTime.year, 2000);
  EXPECT_EQ(r.LastRetryTime.month, 1);
  EXPECT_EQ(r.LastRetryTime.day, 1);
  EXPECT_EQ(r.RetryCount, 0u);
  EXPECT_TRUE(Parse("[SMS]\r\n").LastRetryTime.absent());
  // Values are cut to their field limits.
  std::string longText = "[SMS]\r\nPhoneNumber=" + std::string(300, '1') + "\r\nData=" + std::string(9000, 'x');
  r = Parse(longText);
  EXPECT_EQ(r.PhoneNumber.size(), 149u);
  EXPECT_EQ(r.Data.size(), 8191u);
}

TEST(MessageFileTest, UnreadableAndOversizedFilesCarryTheErrorMarkers) {
  StoreHome home;
  std::string path = home.path() + "Q/Big.req";
  WriteFileText(path, "[SMS]\r\nPhoneNumber=1\r\nData=" + std::string(kMaxMessageFileSize, 'x') + "\r\n");
  SmsMessageRecord r = LoadPath(path);
  EXPECT_EQ(r.PhoneNumber, "ERROR");
  EXPECT_EQ(r.SMSCRoute, "ErrorLoadMessage");
  ClaimedFile none;
  LoadSMSMessage(none, r);
  EXPECT_EQ(r.PhoneNumber, "ERROR");
}

TEST(MessageFileTest, ErrorDetailIsReplacedAppendedAndNeverCutsAValue) {
  StoreHome home;
  std::string path = home.path() + "Q/E.req";
  std::string body = "[SMS]\r\nPhoneNumber=1\r\nData=see [ErrorDetail] here";  // no final line end
  ASSERT_TRUE(PublishFile(path, body, PublishMode::CreateNew));
  SetMTime(path, 1600000000);
  SetClockOverride(1700000000);
  ClaimedFile f;
  ASSERT_TRUE(ClaimQueueFile(path, f));
  ASSERT_TRUE(WriteErrorDetail(f, 0, "Timeout\r\nRetryCount=99", "SMPP - h:1"));
  ASSERT_TRUE(WriteErrorDetail(f, 1, "Refused", "SMPP - h:1"));
  ReleaseClaim(f);
  std::string text = ReadFileText(path);
  std::string stamp = FormatTimestamp14(1700000000);
  EXPECT_EQ(text, body + "\r\n[ErrorDetail]\r\nRetryCount=2\r\nLastRetryTime=" + stamp +
                      "\r\nLastErrorInfo=Refused -- SMPP - h:1\r\n");
  EXPECT_EQ(FileCreationTime(path), 1600000000);
  SmsMessageRecord r = LoadPath(path);
  EXPECT_EQ(r.Data, "see [ErrorDetail] here");
  EXPECT_EQ(r.RetryCount, 2u);
  // The error text cannot inject keys; FirstAttemptTime survives a rewrite; the count saturates.
  std::string once = WithErrorDetail("[SMS]\r\n[ErrorDetail]\r\nFirstAttemptTime=20260101000000\r\n", 0xFFFFFFFFu,
                                     "a\r\nRetryCount=0", "c", "20261207000000");
  EXPECT_EQ(once, "[SMS]\r\n[ErrorDetail]\r\nRetryCount=4294967295\r\nLastRetryTime=20261207000000\r\n"
                  "FirstAttemptTime=20260101000000\r\nLastErrorInfo=aRetryCount=0 -- c\r\n");
  EXPECT_EQ(WithErrorDetail("[SMS]\r\n", 0, "x", "", "20261207000000"),
            "[SMS]\r\n[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=20261207000000\r\n");
}

