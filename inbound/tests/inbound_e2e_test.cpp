// The real gateway with an SMS centre (the npm "smpp" server): keyword messages run their
// program and the reply leaves as submit_sm; routed messages land in their account's queue;
// segments sent shuffled through two workers run their command once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_servers.h"

namespace fs = std::filesystem;

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

std::string Ucs2Hex(const std::string& ascii) {
  std::string out;
  char b[8];
  for (char c : ascii) {
    snprintf(b, sizeof b, "00%02X", unsigned(uint8_t(c)));
    out += b;
  }
  return out;
}

TEST(InboundE2E, KeywordsRoutesAndSegments) {
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm;
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts));
  GatewayHome home;
  const std::string h = home.path();
  std::string script = h + "echo-args.sh";
  WriteFileText(script, "#!/bin/sh\necho \"$#:$*\" >> \"" + h + "runs.txt\"\nprintf 'got %s' \"$*\"\n");
  chmod(script.c_str(), 0755);
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "ReceiveSMS=Yes",
                    "2WaySMSThreadCount=2", "InitRetryDelay=1", "InitRetryDelayMax=2",
                    "ReceiveSMSCommand1=ECHO\t" + script + " @@SMS@@\tYes"},
                   "[" + connection +
                       "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n"
                       "[Inbound SMS Routing]\r\nbob=7777\r\n");
  WriteFileText(h + "USERS/bob/RECV.FLG", "");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 20000)) << p.Output();

  // A keyword message: its program runs, the reply goes back to the sender from the
  // number that received it.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"447700900111","destination_addr":"12345","short_message":"ECHO hi there"})"),
            0);
  std::string pdu;
  ASSERT_TRUE(smsc.WaitSubmit("got hi there", pdu, 20000)) << p.Output() << home.DebugLog();
  EXPECT_NE(pdu.find("\"destination_addr\":\"447700900111\""), std::string::npos) << pdu;
  EXPECT_NE(pdu.find("\"source_addr\":\"12345\""), std::string::npos) << pdu;

  // Routed to an account: it lands in the account's queue, nothing runs.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"447700900112","destination_addr":"7777","short_message":"ECHO for bob"})"),
            0);
  auto bobHas = [&] {
    for (const std::string& f : FilesUnder(h + "USERS/bob"))
      if (ReadFileText(f).find("ECHO for bob") != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(WaitUntil(10000, bobHas)) << home.DebugLog();

  // Three UCS-2 segments sent shuffled, one of them twice: one message, one run.
  const std::string parts[] = {"ECHO seg", "ment one ", "two"};
  for (int n : {3, 1, 3, 2}) {
    std::string hex = "0500037B03" + std::string(1, char('0' + 0)) + std::to_string(n) + Ucs2Hex(parts[n - 1]);
    ASSERT_EQ(smsc.Deliver(R"({"source_addr":"447700900113","destination_addr":"12345","esm_class":64,)"
                           R"("data_coding":8,"short_message_hex":")" +
                           hex + "\"}"),
              0);
  }
  ASSERT_TRUE(smsc.WaitSubmit("got segment one two", pdu, 30000)) << home.DebugLog();
  std::string runs = ReadFileText(h + "runs.txt");
  EXPECT_EQ(runs, "1:hi there\n1:segment one two\n") << runs;
  // The reply leaves before the file is deleted: the folder empties soon after, not at once.
  EXPECT_TRUE(WaitUntil(20000, [&] {
    for (const std::string& f : FilesUnder(h + "SMS-IN"))
      if (f.find(".SAR") != std::string::npos || f.find(".in") != std::string::npos) return false;
    return true;
  })) << home.DebugLog();

  p.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(30000, code));
  EXPECT_EQ(code, 0) << p.Output();
  EXPECT_EQ(smsc.CountSubmits("got segment one two"), 1u);
}

// Everything in the account's queue directory, joined.
std::string QueueText(const std::string& dir) {
  std::string all;
  for (const std::string& f : FilesUnder(dir)) all += ReadFileText(f) + "\n--\n";
  return all;
}

// A submission the centre refuses ends as a report in its submitter's queue; a report whose
// id nobody knew resolves once the gateway has recorded that id.
TEST(InboundE2E, ReportsReachTheirSubmitters) {
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm;
  NodeSmsc smsc;
  // The centre numbers its ids MSG1, MSG2, ... for every submit_sm.
  ASSERT_TRUE(smsc.Start(kNpm, kScripts, R"({"submitStatuses":[11, 0]})"));
  GatewayHome home;
  const std::string h = home.path();
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "ReceiveSMS=Yes",
                    "InitRetryDelay=1", "InitRetryDelayMax=2"},
                   "[" + connection +
                       "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n");
  WriteFileText(h + "USERS/alice/RECV.FLG", "");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 20000)) << p.Output();

  // A report for an id not submitted yet: left for receipt resolution, tried at once.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4478","destination_addr":"556","esm_class":4,)"
                         R"("short_message":"id:MSG2 sub:001 dlvrd:001 submit date:2612071200 )"
                         R"(done date:2612071201 stat:DELIVRD err:000 text:x"})"),
            0);
  std::string rct;
  auto tried = [&] {
    for (const std::string& f : FilesUnder(h + "SMS-IN")) {
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".rct") == 0 &&
          ReadFileText(f).find("RetryCount=1\r\n") != std::string::npos) {
        rct = f;
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(WaitUntil(10000, tried)) << home.DebugLog();

  // Refused for good (0x0B): the failure report reaches alice.
  home.DropQueueFile("0000D00D.req",
                     "SubmitUser=alice\r\nData=refused\r\nPhoneNumber=4477\r\nSender=555\r\nReceiptRequested=Yes\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] {
    return QueueText(h + "USERS/alice").find("id:0000D00D") != std::string::npos;
  })) << home.DebugLog();
  std::string queue = QueueText(h + "USERS/alice");
  EXPECT_NE(queue.find("stat:REJECTD err:00B"), std::string::npos) << queue;

  // The next submission is MSG2; once its minute has passed the waiting report resolves.
  home.DropQueueFile("0000D00E.req",
                     "SubmitUser=alice\r\nData=accepted\r\nPhoneNumber=4478\r\nSender=556\r\nReceiptRequested=Yes\r\n");
  ASSERT_TRUE(smsc.WaitSubmit("accepted", line, 20000)) << home.DebugLog();
  ASSERT_TRUE(WaitUntil(10000, [&] { return !fs::exists(h + "Q/0000D00E.req"); }));
  std::string text = ReadFileText(rct);
  size_t at = text.find("LastRetryTime=");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at + 14, 14, "20200101000000");
  std::string temp = h + "SMS-IN/.~set-back.tmp";
  WriteFileText(temp, text);
  ASSERT_EQ(rename(temp.c_str(), rct.c_str()), 0);
  ASSERT_TRUE(WaitUntil(10000, [&] {
    return QueueText(h + "USERS/alice").find("id:0000D00E sub:001") != std::string::npos;
  })) << home.DebugLog();
  EXPECT_FALSE(fs::exists(rct));

  p.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(30000, code));
  EXPECT_EQ(code, 0) << p.Output();
}

// An HTTP command gets the message's SMPP options named in [SMPPOptions]; its text/plain
// answer is the reply.
TEST(InboundE2E, HttpCommandWithSmppOptions) {
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm;
  ScriptedServer server([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 11\r\n\r\nweb answers"};
  });
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts));
  GatewayHome home;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "ReceiveSMS=Yes",
                    "InitRetryDelay=1", "InitRetryDelayMax=2",
                    "ReceiveSMSCommand1=WEB\thttp://127.0.0.1:" + std::to_string(server.port()) +
                        "/w?from=@@SENDER@@&t=@@SMS@@\tYes"},
                   "[" + connection +
                       "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n"
                       "[SMPPOptions]\r\nuser_message_reference=\r\n");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 20000)) << p.Output();
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"447700900114","destination_addr":"12345","short_message":"WEB a&b c",)"
                         R"("user_message_reference":7})"),
            0);
  std::string pdu;
  ASSERT_TRUE(smsc.WaitSubmit("web answers", pdu, 20000)) << home.DebugLog() << p.Output();
  EXPECT_NE(pdu.find("\"destination_addr\":\"447700900114\""), std::string::npos) << pdu;
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")),
            "GET /w?from=447700900114&t=a%26b%20c&SMPPOption_user_message_reference=7 HTTP/1.1");
  p.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(30000, code));
  EXPECT_EQ(code, 0) << p.Output();
}

}  // namespace
