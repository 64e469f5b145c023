// Inbound files as the workers leave them: local delivery, kept copies, two-way commands
// and their replies, segments put together, reports and receipts brought to their
// submitters.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "inbound/inbound_processing.h"
#include "inbound/inbound_scan.h"
#include "inbound/receipt_resolution.h"
#include "inbound/udh_facts.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/message_file.h"
#include "store/message_writer.h"
#include "store/queue_dirs.h"
#include "tests/support/test_servers.h"

namespace fs = std::filesystem;

namespace {

class InboundScanTest : public SmscTestHome {
 protected:
  void TearDown() override {
    SmscTestHome::TearDown();
    ReloadStoreDirectories();
  }
  void Config(const std::string& extra) { WriteConfig("[QARHUB]\nReceiveSMS=Yes\n" + extra); }
  void PutInbound(const std::string& name, const std::string& text) {
    WriteFileText(InboundDir() + name, "[SMS-IN]\r\n" + text);
  }
  // Files under dir whose name ends in suffix (without regard to case).
  std::vector<std::string> Files(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    for (const std::string& f : FilesUnder(dir)) {
      if (f.size() >= suffix.size() && strcasecmp(f.c_str() + f.size() - suffix.size(), suffix.c_str()) == 0)
        out.push_back(f);
    }
    return out;
  }
  SmsMessageRecord Read(const std::string& path) {
    SmsMessageRecord m;
    ParseSMSMessage(ReadFileText(path), m);
    return m;
  }
  // The one reply in the outbound queue.
  std::vector<SmsMessageRecord> Replies() {
    std::vector<SmsMessageRecord> out;
    for (const std::string& f : Files(OutboundQueueRoot(), ".req")) out.push_back(Read(f));
    return out;
  }
  void MakeReceivingUser(const std::string& user) { WriteFileText(UserDir(user) + "RECV.FLG", ""); }
  std::string Script(const std::string& name, const std::string& body) {
    std::string path = home() + name;
    WriteFileText(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
};

TEST_F(InboundScanTest, KeptDeliveredAndEmptyFiles) {
  Config("\n[Inbound SMS Routing]\nbob=5555");
  MakeReceivingUser("alice");
  PutInbound("A.in", "ModemName=SMPP - h:1\r\nSender=4477\r\nPhoneNumber=1234\r\nData=keep me\r\n");
  PutInbound("B.in", "ModemName=SMPP - h:1\r\nSender=4478\r\nPhoneNumber=5555\r\nData=for bob\r\n");
  PutInbound("C.in", "ModemName=SMPP - h:1\r\nData=nobody\r\n");
  PutInbound("D.rec",
             "ModemName=SMPP - h:1\r\nSender=4479\r\nPhoneNumber=4930\r\nData=id:CENTRE7 stat:DELIVRD\r\n"
             "ReceiptDelivered=Yes\r\nReceiptMessageId=0000ABCD\r\nRouteToLocalUser=alice\r\n");
  EXPECT_EQ(ScanInboundFiles(1), 3u);
  EXPECT_EQ(ScanInboundFiles(2), 1u);

  // No command: a copy for other applications, the original gone.
  std::vector<std::string> kept = Files(InboundDir(), ".SMS");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(Read(kept[0]).Data, "keep me");
  EXPECT_TRUE(Files(InboundDir(), ".in").empty());
  EXPECT_TRUE(Files(InboundDir(), ".rec").empty());
  // Routed to a local user: in its queue, nothing else.
  std::vector<std::string> bob = Files(UserDir("bob"), ".req");
  ASSERT_EQ(bob.size(), 1u);
  EXPECT_EQ(Read(bob[0]).Data, "for bob");
  // The report reaches its submitter with the id it was given.
  std::vector<std::string> alice = Files(UserDir("alice"), ".req");
  ASSERT_EQ(alice.size(), 1u);
  SmsMessageRecord report = Read(alice[0]);
  EXPECT_EQ(report.Data, "id:0000ABCD stat:DELIVRD");
  EXPECT_EQ(report.ReceiptMessageId, "0000ABCD");
  EXPECT_TRUE(Replies().empty());
}

// A message routed to the inbound queue under its own kind stays one message: no copy of
// it is taken up again.
TEST_F(InboundScanTest, RoutedToItsOwnKindIsProcessedOnce) {
  Config("");
  PutInbound("A.in", "Sender=4477\r\nPhoneNumber=1234\r\nData=x\r\nRouteToLocalUser=~SMSIN::in\r\n");
  PutInbound("B.rct", "Sender=4477\r\nPhoneNumber=1234\r\nData=y\r\nRouteToLocalUser=~SMSIN::rct\r\n");
  EXPECT_EQ(ScanInboundFiles(0), 1u);
  EXPECT_EQ(ScanReceiptFiles(), 1u);
  EXPECT_EQ(ScanInboundFiles(0), 0u);
  EXPECT_EQ(ScanReceiptFiles(), 0u);
  EXPECT_TRUE(Files(InboundDir(), ".in").empty());
  EXPECT_TRUE(Files(InboundDir(), ".rct").empty());
  EXPECT_EQ(Files(InboundDir(), ".SMS").size(), 2u);
}

TEST_F(InboundScanTest, NothingHappensWithReceiveSmsOff) {
  WriteConfig("[QARHUB]\nReceiveSMS=No\nReceiveSMSCommand1=HI\t/bin/true\tYes");
  PutInbound("A.in", "Sender=4477\r\nPhoneNumber=1234\r\nData=HI\r\n");
  EXPECT_EQ(ScanInboundFiles(0), 0u);
  EXPECT_EQ(Files(InboundDir(), ".in").size(), 1u);
  EXPECT_TRUE(Files(InboundDir(), ".SMS").empty());
}

TEST_F(InboundScanTest, ProgramCommandsAndTheirReplies) {
  std::string argvPrinter = Script("args.sh", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done\n");
  std::string silent = Script("silent.sh", "exit 0\n");
  struct Case {
    std::string command;
    std::string text;
    bool replied;
    std::string reply;
  } cases[] = {
      // Hostile texts neither add nor split arguments: no shell reads them.
      {argvPrinter + " @@SENDER@@ \"@@SMS@@\" end", "ARGS \" --all; $(reboot) && id", true,
       "4477\n\" --all; $(reboot) && id\nend\n"},
      {argvPrinter + " @@SMS@@", "ARGS a\r\nb @@SENDER@@", true, "a  b @@SENDER@@\n"},
      {silent, "ARGS x", false, ""},
      {home() + "missing-program @@SMS@@", "ARGS x", true,
       "Command not completed.  System error executing associated command."},
  };
  for (const Case& c : cases) {
    Config("ReceiveSMSCommand1=ARGS\t" + c.command + "\tYes");
    for (const std::string& f : FilesUnder(OutboundQueueRoot())) fs::remove(f);
    {  // The data line holds a CR LF of the text as its escapes.
      SmsMessageRecord m;
      m.Inbound = true;
      m.ModemName = "SMPP - h:1";
      m.Sender = "4477";
      m.PhoneNumber = "1234";
      m.Data = c.text;
      WriteFileText(InboundDir() + "P.in", MessageFileText(m, MessageLayout::Complete));
    }
    EXPECT_EQ(ScanInboundFiles(0), 1u) << c.command;
    EXPECT_TRUE(Files(InboundDir(), ".in").empty()) << c.command;
    EXPECT_TRUE(Files(InboundDir(), ".SMS").empty()) << c.command;
    std::vector<SmsMessageRecord> replies = Replies();
    ASSERT_EQ(replies.size(), c.replied ? 1u : 0u) << c.command;
    if (!c.replied) continue;
    EXPECT_EQ(replies[0].Data, c.reply) << c.command;
    EXPECT_EQ(replies[0].PhoneNumber, "4477");
    EXPECT_EQ(replies[0].Sender, "1234");
    EXPECT_EQ(replies[0].SubmitUser, "localsystem-2way");
    EXPECT_EQ(replies[0].SubmittedBy, "Auto-response to 4477");
  }
}

TEST_F(InboundScanTest, HttpCommands) {
  struct Case {
    std::string answer;
    bool closeWithoutAnswer;
    std::string reply;  // "" none
    const char* copy;   // extension kept beside, "" none
    bool stays;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\n  thanks!", false, "thanks!", "", false},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 2\r\n\r\n \n", false, "", "",
       false},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\nhi", false,
       "Command not completed.  Request returned invalid content type:  text/html", "", false},
      {"HTTP/1.1 500 Oops\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nfail", false, "fail", ".BAD", false},
      // Nothing answered: the message stays for the next scan.
      {"", true, "", "", true},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](const std::string&, int, int) {
      ScriptedReply r;
      r.bytes = c.answer;
      r.silent = c.closeWithoutAnswer;
      r.closeAfter = true;
      return r;
    });
    Config("ReceiveSMSCommand1=WX\thttp://127.0.0.1:" + std::to_string(server.port()) +
           "/q?from=@@SENDER@@&t=@@SMS@@\tYes\n[SMPPOptions]\nuser_message_reference=1");
    for (const std::string& f : FilesUnder(InboundDir())) fs::remove(f);
    for (const std::string& f : FilesUnder(OutboundQueueRoot())) fs::remove(f);
    PutInbound("H.in",
               "ModemName=SMPP - h:1\r\nSender=+4477\r\nPhoneNumber=1234\r\nData=WX rain & sun\r\n"
               "SMPPOptions=SMPPOption_user_message_reference=77; SMPPOption_other=1\r\n");
    EXPECT_EQ(ScanInboundFiles(0), c.stays ? 0u : 1u) << c.answer;
    std::vector<std::string> requests = server.Requests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")),
              "GET /q?from=%2B4477&t=rain%20%26%20sun&SMPPOption_user_message_reference=77 HTTP/1.1");
    std::vector<SmsMessageRecord> replies = Replies();
    ASSERT_EQ(replies.size(), c.reply.empty() ? 0u : 1u) << c.answer;
    if (!c.reply.empty()) {
      EXPECT_EQ(replies[0].Data, c.reply);
    }
    EXPECT_EQ(Files(InboundDir(), ".in").size(), c.stays ? 1u : 0u) << c.answer;
    if (*c.copy) {
      EXPECT_EQ(Files(InboundDir(), c.copy).size(), 1u) << c.answer;
    }
  }
}

// Through tinyproxy as 2WayProxy; the reply leaves by the receiving route with the options
// the settings name.
TEST_F(InboundScanTest, ProxyRouteAndCopiedOptions) {
  ScriptedServer server([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok"};
  });
  TinyProxy proxy(home());
  if (proxy.port() == 0) GTEST_SKIP() << "tinyproxy is not installed";
  Config("Modem1=SMPP - h:1\n2WayProxy=127.0.0.1:" + std::to_string(proxy.port()) +
         "\n2WayReplySameServer=Yes\n2WayReplyCopySMPPOptions=user_message_reference;source_port\n"
         "ReceiveSMSCommand1=PX\thttp://127.0.0.1:" + std::to_string(server.port()) + "/p?m=@@MESSAGEID@@\tYes\n"
         "[SMPP - h:1]\nRouteName=blue");
  PutInbound("0000CAFE.in",
             "ModemName=SMPP - h:1\r\nSender=4477\r\nPhoneNumber=1234\r\nData=PX\r\n"
             "SMPPOptions=SMPPOption_user_message_reference=77; SMPPOption_other=1\r\n");
  EXPECT_EQ(ScanInboundFiles(0), 1u) << ReadFileText(home() + "LOGS/SMSDEBUG.LOG");
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /p?m=0000CAFE HTTP/1.1");
  std::vector<SmsMessageRecord> replies = Replies();
  ASSERT_EQ(replies.size(), 1u) << testing::PrintToString(FilesUnder(home()));
  EXPECT_EQ(replies[0].Data, "ok");
  EXPECT_EQ(replies[0].SMSCRoute, "blue");
  EXPECT_EQ(replies[0].SMPPOptions, "SMPPOption_user_message_reference=77");
}

// "mailto:" commands write a mail file that a mail reader takes as it is meant.
TEST_F(InboundScanTest, MailCommands) {
  Config("ReceiveSMSCommand1=*@*\tmailto:@@SMSPREFIX@@\tYes\nReceiveSMSCommand2=NOTE\tmailto:@@SMS@@?subject=From%20@@SENDER@@\tYes");
  struct Case {
    std::string text;
    std::string to, subject, body;  // to "" : no mail, an answer instead
  } cases[] = {
      {"bob@example.com Hello Bob", "bob@example.com", "SMS", "Hello Bob"},
      {"NOTE x@y.z", "x@y.z", "From 4477", "NOTE x@y.z"},
      {"NOTE nobody", "", "", ""},
  };
  for (const Case& c : cases) {
    for (const std::string& f : FilesUnder(home() + "MMSCOUT")) fs::remove(f);
    for (const std::string& f : FilesUnder(OutboundQueueRoot())) fs::remove(f);
    PutInbound("M.in", "Sender=4477\r\nPhoneNumber=1234\r\nData=" + c.text + "\r\n");
    EXPECT_EQ(ScanInboundFiles(0), 1u) << c.text;
    std::vector<std::string> mails = FilesUnder(home() + "MMSCOUT");
    if (c.to.empty()) {
      EXPECT_TRUE(mails.empty());
      std::vector<SmsMessageRecord> replies = Replies();
      ASSERT_EQ(replies.size(), 1u);
      EXPECT_EQ(replies[0].Data,
                "Invalid e-mail recipient: nobody.  Please specify a valid e-mail address to start the text of your "
                "message.");
      continue;
    }
    ASSERT_EQ(mails.size(), 1u) << c.text;
    // Python's own mail parser reads the headers: nothing injected, nothing lost.
    std::string script = home() + "read_mail.py";
    WriteFileText(script,
                  "import email,sys\nm=email.message_from_bytes(open(sys.argv[1],'rb').read())\n"
                  "print(sorted(k for k in m.keys()))\nprint(m['To']);print(m['Subject']);print(m.get_payload())\n");
    std::string out = home() + "mail.out";
    std::string command = "python3 '" + script + "' '" + mails[0] + "' > '" + out + "'";
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(ReadFileText(out), "['Content-type', 'From', 'Subject', 'To']\n" + c.to + "\n" + c.subject + "\n" +
                                     c.body + "\n")
        << c.text;
    EXPECT_TRUE(Replies().empty());
  }
}

// A WAP push for port 2948 while ReceiveMMS is on goes to no local user: with no MMS
// hand-over it is kept as ".SMS"; a hand-over that takes it ends the file; one that cannot
// store it leaves the file for the next scan. With ReceiveMMS off it is a message like any
// other.
TEST_F(InboundScanTest, PushForMmsGoesToItsHandlerOrStays) {
  static std::vector<std::string> handed;
  static bool accept = false;
  InboundMmsHandler recording = [](const SmsMessageRecord& m, const InboundFileFacts& f) {
    handed.push_back(m.ModemName + "|" + m.PhoneNumber + "|" + m.Data + "|" + f.name);
    return accept;
  };
  struct Case {
    const char* name;
    const char* receiveMms;
    InboundMmsHandler handler;
    bool accepts;
    size_t handedOver, toBob, kept, stays;
  } cases[] = {
      {"no hand-over", "Yes", nullptr, false, 0, 0, 1, 0},
      {"taken", "Yes", recording, true, 1, 0, 0, 0},
      {"not stored", "Yes", recording, false, 1, 0, 0, 1},
      {"ReceiveMMS off", "No", recording, true, 0, 1, 0, 0},
  };
  for (const Case& c : cases) {
    Config(std::string("ReceiveMMS=") + c.receiveMms + "\n[Inbound SMS Routing]\nbob=1234");
    for (const std::string& f : FilesUnder(home()))
      if (f.find("/SMS-IN/") != std::string::npos || f.find("/USERS/") != std::string::npos) fs::remove(f);
    handed.clear();
    accept = c.accepts;
    SetInboundMmsHandler(c.handler);
    PutInbound("W.in", "Sender=4477\r\nPhoneNumber=1234\r\nUDH=0605040B8423F0\r\ndcs=4\r\nData=C0FFEE\r\nBinary=1\r\n");
    ScanInboundFiles(0);
    SetInboundMmsHandler(nullptr);
    EXPECT_EQ(handed.size(), c.handedOver) << c.name;
    if (!handed.empty()) {
      EXPECT_EQ(handed[0], "|1234|C0FFEE|W.in") << c.name;
    }
    EXPECT_EQ(Files(UserDir("bob"), ".req").size(), c.toBob) << c.name;
    EXPECT_EQ(Files(InboundDir(), ".SMS").size(), c.kept) << c.name;
    EXPECT_EQ(Files(InboundDir(), "W.in").size(), c.stays) << c.name;
  }
}

// USASegmentFix: a text of exactly 153 characters starts an unmarked long message, the
// texts after it of the same sender follow it, and a minute after the newest the rest is
// given up.
TEST_F(InboundScanTest, UnmarkedLongMessages) {
  Config("USASegmentFix=Yes");
  std::string first(153, 'a');
  PutInbound("U1.in", "Sender=4477\r\nPhoneNumber=1\r\nData=" + first + "\r\n");
  ScanInboundFiles(0);
  PutInbound("U2.in", "Sender=4477\r\nPhoneNumber=1\r\nData=tail\r\n");
  ScanInboundFiles(0);
  EXPECT_TRUE(fs::exists(InboundDir() + SarFileName("4477", 0x10000, 20, 1)));
  EXPECT_TRUE(fs::exists(InboundDir() + SarFileName("4477", 0x10000, 20, 2)));
  // Another sender's short text is a message of its own.
  PutInbound("V.in", "Sender=4478\r\nPhoneNumber=1\r\nData=alone\r\n");
  ScanInboundFiles(1);
  EXPECT_EQ(Files(InboundDir(), ".SMS").size(), 1u);
  for (const std::string& f : Files(InboundDir(), ".SAR")) SetMTime(f, NowSeconds() - 61);
  ScanInboundFiles(1);
  ScanInboundFiles(1);
  EXPECT_TRUE(Files(InboundDir(), ".SAR").empty());
  bool whole = false;
  for (const std::string& f : Files(InboundDir(), ".SMS")) whole |= Read(f).Data == first + "tail";
  EXPECT_TRUE(whole);
}

TEST_F(InboundScanTest, SegmentsArePutTogetherOnce) {
  Config("");
  auto segment = [&](const std::string& name, int number, const std::string& text) {
    PutInbound(name, "ModemName=SMPP - h:1\r\nSender=44-77\r\nPhoneNumber=1234\r\nUDH=050003" +
                         std::string("2A03") + "0" + std::to_string(number) + "\r\nData=" + text + "\r\n");
  };
  segment("S3.in", 3, "CCC");
  segment("S1.in", 1, "AAA");
  EXPECT_EQ(ScanInboundFiles(0), 2u);
  segment("S1b.in", 1, "AAA");  // repeated
  EXPECT_EQ(ScanInboundFiles(0), 1u);
  EXPECT_EQ(Files(InboundDir(), ".SAR").size(), 2u);
  EXPECT_EQ(ScanInboundFiles(1), 0u);  // still waiting for 2
  EXPECT_TRUE(Files(InboundDir(), ".SMS").empty());
  segment("S2.in", 2, "BBB");
  ScanInboundFiles(0);
  ScanInboundFiles(1);  // recombines
  ScanInboundFiles(1);  // processes the whole message
  EXPECT_TRUE(Files(InboundDir(), ".SAR").empty());
  std::vector<std::string> kept = Files(InboundDir(), ".SMS");
  ASSERT_EQ(kept.size(), 1u);
  SmsMessageRecord whole = Read(kept[0]);
  EXPECT_EQ(whole.Data, "AAABBBCCC");
  EXPECT_TRUE(whole.RecombineFlag);
  EXPECT_EQ(whole.Sender, "44-77");
  EXPECT_EQ(whole.UDH, "");
}

TEST_F(InboundScanTest, LostSegmentWaitEnds) {
  Config("");
  PutInbound("S1.in", "Sender=4477\r\nPhoneNumber=1\r\nUDH=0608040100030" + std::string("1") + "\r\nData=one+\r\n");
  PutInbound("S3.in", "Sender=4477\r\nPhoneNumber=1\r\nUDH=06080401000303\r\nData=three\r\n");
  ScanInboundFiles(0);
  EXPECT_EQ(ScanInboundFiles(1), 0u);
  ASSERT_EQ(Files(InboundDir(), ".SAR").size(), 2u);
  for (const std::string& f : Files(InboundDir(), ".SAR")) SetMTime(f, NowSeconds() - 301);
  ScanInboundFiles(1);
  ScanInboundFiles(1);
  std::vector<std::string> kept = Files(InboundDir(), ".SMS");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(Read(kept[0]).Data, "one+three");
}

TEST_F(InboundScanTest, ReceiptsResolveOrAreGivenUp) {
  Config("");
  MakeReceivingUser("carol");
  const std::string connection = "SMPP - h:1";
  std::string report = "ModemName=" + connection +
                       "\r\nSender=4491\r\nPhoneNumber=4930\r\nData=id:C-9 stat:DELIVRD\r\nReceiptDelivered=Yes\r\n"
                       "ReceiptMessageId=C-9\r\n";
  PutInbound("R1.rct", report);
  // Unknown: the first try is recorded.
  EXPECT_EQ(ScanReceiptFiles(), 0u);
  SmsMessageRecord tried = Read(InboundDir() + "R1.rct");
  EXPECT_EQ(tried.RetryCount, 1u);
  EXPECT_FALSE(tried.LastRetryTime.absent());
  // Not due again within a minute.
  EXPECT_EQ(ScanReceiptFiles(), 0u);
  EXPECT_EQ(Read(InboundDir() + "R1.rct").RetryCount, 1u);
  // Once the record exists and the minute has passed, it resolves.
  ASSERT_EQ(SMSCMessageIdAdd(connection.c_str(), "C-9", "0000BEEF", "carol", "5550", "4491"), 1);
  PutInbound("R1.rct", report + "[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=" +
                           FormatCalendarTime14({2020, 1, 1, 0, 0, 0}) + "\r\n");
  EXPECT_EQ(ScanReceiptFiles(), 1u);
  std::vector<std::string> carol = Files(UserDir("carol"), ".req");
  ASSERT_EQ(carol.size(), 1u);
  SmsMessageRecord delivered = Read(carol[0]);
  EXPECT_EQ(delivered.Data, "id:0000BEEF stat:DELIVRD");
  EXPECT_EQ(delivered.ReceiptMessageId, "0000BEEF");
  EXPECT_EQ(delivered.Sender, "4491");
  EXPECT_EQ(delivered.PhoneNumber, "5550");

  // Still unknown after the fourth try: processed unresolved, kept for other applications.
  std::string unknown = "ModemName=" + connection + "\r\nSender=1\r\nPhoneNumber=2\r\nData=id:NOPE\r\n"
                        "ReceiptFailed=Yes\r\nReceiptMessageId=NOPE\r\n";
  PutInbound("R2.rct", unknown + "[ErrorDetail]\r\nRetryCount=3\r\nLastRetryTime=20200101000000\r\n");
  EXPECT_EQ(ScanReceiptFiles(), 0u);
  EXPECT_EQ(Read(InboundDir() + "R2.rct").RetryCount, 4u);
  // The fourth try, too, waits its minutes.
  EXPECT_EQ(ScanReceiptFiles(), 0u);
  PutInbound("R2.rct", unknown + "[ErrorDetail]\r\nRetryCount=4\r\nLastRetryTime=20200101000000\r\n");
  EXPECT_EQ(ScanReceiptFiles(), 1u);
  EXPECT_TRUE(Files(InboundDir(), ".rct").empty());
  std::vector<std::string> kept = Files(InboundDir(), ".SMS");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(Read(kept[0]).Data, "id:NOPE");
}

TEST(InboundTables, UdhWalk) {
  struct Case {
    const char* udh;
    bool concatenated;
    unsigned reference, total, number;
    int port;
    const char* others;
  } cases[] = {
      {"0500030A0302", true, 0x0A, 3, 2, -1, ""},
      {"0608041234020106", true, 0x1234, 2, 1, -1, ""},
      {"0B05040B8423F00003070201", true, 7, 2, 1, 2948, "0605040B8423F0"},
      {"060504162A0000", false, 0, 0, 0, 0x162A, "060504162A0000"},
      // Count 0, number 0 or a number above the count: not a segment.
      {"050003070000", false, 0, 0, 0, -1, ""},
      {"050003070200", false, 0, 0, 0, -1, ""},
      {"050003070203", false, 0, 0, 0, -1, ""},
      // An element running past the header's end is not read.
      {"0500050A0302", false, 0, 0, 0, -1, ""},
      {"zz", false, 0, 0, 0, -1, ""},
      {"", false, 0, 0, 0, -1, ""},
  };
  for (const Case& c : cases) {
    UdhFacts f = ReadUdh(c.udh);
    EXPECT_EQ(f.concatenated, c.concatenated) << c.udh;
    EXPECT_EQ(f.reference, c.reference) << c.udh;
    EXPECT_EQ(f.total, c.total) << c.udh;
    EXPECT_EQ(f.number, c.number) << c.udh;
    EXPECT_EQ(f.destinationPort, c.port) << c.udh;
    if (c.concatenated) {
      EXPECT_EQ(f.otherElementsHex, c.others) << c.udh;
    }
  }
}

TEST(InboundTables, SegmentNames) {
  struct Case {
    const char* sender;
    const char* name;
  } cases[] = {
      {"4477", "4477-2a-3-1.SAR"},
      {"44-77", "44_77-2a-3-1.SAR"},
      {"../x", ".._x-2a-3-1.SAR"},
      {"a/b\\c?d*e:f|g\r", "a_b_c_d_e_f_g_-2a-3-1.SAR"},
      {"..", "__-2a-3-1.SAR"},
      {"", "_-2a-3-1.SAR"},
  };
  for (const Case& c : cases) {
    std::string name = SarFileName(c.sender, 0x2a, 3, 1);
    EXPECT_EQ(name, c.name) << c.sender;
    SarName parsed;
    ASSERT_TRUE(ParseSarFileName(name, parsed)) << name;
    EXPECT_EQ(SarFileName(parsed.sender, parsed.reference, parsed.total, parsed.number), name);
  }
  SarName n;
  for (const char* bad : {"x-1-0-1.SAR", "x-1-2-3.SAR", "x-zz-2-1.SAR", "-1-2-1.SAR", "x-1-2.SAR", "x-1-2-1.IN"}) {
    EXPECT_FALSE(ParseSarFileName(bad, n)) << bad;
  }
}

TEST(InboundTables, ReceiptSchedule) {
  const time_t t = 1000000;
  struct Case {
    uint32_t count;
    time_t sinceLast;
    ReceiptStep step;
  } cases[] = {
      {0, 0, ReceiptStep::Resolve},   {1, 59, ReceiptStep::Wait},     {1, 60, ReceiptStep::Resolve},
      {2, 119, ReceiptStep::Wait},    {2, 120, ReceiptStep::Resolve}, {3, 179, ReceiptStep::Wait},
      {3, 180, ReceiptStep::Resolve}, {4, 0, ReceiptStep::Wait},      {4, 239, ReceiptStep::Wait},
      {4, 240, ReceiptStep::LastTry}, {7, 420, ReceiptStep::LastTry},
  };
  for (const Case& c : cases) EXPECT_EQ(ReceiptStepAt(c.count, t - c.sinceLast, t), c.step) << c.count;
  EXPECT_EQ(ReceiptRetryText("[SMS-IN]\r\nData=x\r\n[ErrorDetail]\r\nRetryCount=2\r\nLastRetryTime=1\r\n", 2,
                             "20261208120000"),
            "[SMS-IN]\r\nData=x\r\n[ErrorDetail]\r\nRetryCount=3\r\nLastRetryTime=20261208120000\r\n");
  EXPECT_EQ(ReceiptRetryText("[SMS-IN]\r\nData=[ErrorDetail]", 0, "1"),
            "[SMS-IN]\r\nData=[ErrorDetail]\r\n[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=1\r\n");
}

}  // namespace
