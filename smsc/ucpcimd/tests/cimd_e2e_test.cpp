// The real gateway over CIMD2: to the Python CIMD2 centre of qarbolt's tests (decoded
// submits, error answers, messages and reports at any time, a centre connecting to the
// inbound port) and to Debian's test server test_cimd2.
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "smsc/ucpcimd/tests/centre_gateway.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kTestCimd2 = "/usr/lib/kannel/test/test_cimd2";

struct CimdGateway : CentreGateway {
  void Configure(uint16_t port, const std::string& extra = "", std::vector<std::string> main = {}) {
    CentreGateway::Configure("CIMD", port, extra, main, "UserName=user\r\nPassword=password\r\n");
  }
};

Json Ask(CimdCentre& centre, const std::string& request, int timeoutMs = 15000) {
  Json answer;
  ParseJson(centre.Control(request, timeoutMs), answer);
  return answer;
}

bool WaitLogins(CimdCentre& centre, int n) {
  Json answer = Ask(centre, R"({"cmd":"wait","logins":)" + std::to_string(n) + R"(,"timeout_ms":30000})", 35000);
  return answer["timed_out"].kind == Json::Bool && !answer["timed_out"].boolean;
}

Json Submits(CimdCentre& centre) { return Ask(centre, R"({"cmd":"submits"})")["submits"]; }

// The centre's last record of a submit to recipient (null when none).
Json SubmitFor(CimdCentre& centre, const std::string& recipient) {
  Json all = Submits(centre), found;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i]["params"]["021"].str() == recipient) found = all[i];
  }
  return found;
}

// The client's answer to an operation the centre sent: its operation code and error (0 none).
struct CimdAnswer {
  int op = 0;
  std::string error;
};
CimdAnswer AnswerOf(const Json& reply) {
  const Json& a = reply["answer"];
  return CimdAnswer{a["op"].integer(), a["params"]["900"].str()};
}

TEST(CimdDelivery, CentreDecodesEachSubmitAsTheQueueFileHoldsIt) {
  CimdCentre centre;
  ASSERT_TRUE(centre.Start());
  CimdGateway g;
  g.Configure(uint16_t(centre.port()));
  struct Field {
    const char* name;  // a member of the record, or a parameter code
    std::string value;
  };
  struct Case {
    const char* file;
    const char* body;
    std::vector<Field> expected;
  };
  const std::vector<Case> cases = {
      {"00000001.req", "Sender=4930123\r\nData=Price 5 \xE2\x82\xAC today\r\nPhoneNumber=4917000001\r\n",
       {{"text", "Price 5 \xE2\x82\xAC today"}, {"023", "4930123"}}},
      {"00000002.req", "Sender=4930123\r\nData=\xCE\xA9 \xE6\x97\xA5\r\ndcs=08\r\nPhoneNumber=4917000002\r\n",
       {{"030", "8"}, {"034", "03A9002065E5"}}},
      {"00000003.req", "Sender=4930123\r\nUDH=0605040B8423F0\r\nData=C0FFEE00\r\nBinary=1\r\ndcs=F5\r\n"
                       "PhoneNumber=4917000003\r\n",
       {{"032", "0605040B8423F0"}, {"034", "C0FFEE00"}, {"030", "245"}}},
      {"00000004.req", "Sender=Shop24\r\nData=alpha sender\r\nPhoneNumber=4917000004\r\n",
       {{"alpha", "Shop24"}, {"text", "alpha sender"}}},
      {"00000005.req", "Sender=4930123\r\nData=report please\r\nPhoneNumber=4917000005\r\nReceiptRequested=Yes\r\n",
       {{"056", "62"}, {"text", "report please"}}},
  };
  GatewayProcess p(g.home);
  for (const Case& c : cases) g.Drop(c.file, c.body);
  for (const Case& c : cases) EXPECT_TRUE(WaitUntil(20000, [&] { return g.Gone(c.file); })) << c.file << p.Output();
  for (size_t i = 0; i < cases.size(); ++i) {
    Json record = SubmitFor(centre, "491700000" + std::to_string(i + 1));
    ASSERT_EQ(record.kind, Json::Object) << cases[i].file;
    for (const Field& f : cases[i].expected) {
      const Json& v = isdigit(f.name[0]) ? record["params"][f.name] : record[f.name];
      EXPECT_EQ(v.str(), f.value) << cases[i].file << ": " << f.name;
    }
  }
  ASSERT_TRUE(WaitUntil(5000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == cases.size(); }))
      << g.OutLog();
  EXPECT_EQ(Submits(centre).size(), cases.size()) << "each file once";
  EXPECT_FALSE(fs::exists(g.ErrorFile()));
}

TEST(CimdDelivery, ErrorAnswersAreRetriedOrGivenUpByTheRejectList) {
  CimdCentre centre;
  ASSERT_TRUE(centre.Start());
  CimdGateway g;
  g.Configure(uint16_t(centre.port()), "RetryDelay=1\r\nRetryDelayAfterAttempts=5\r\nCIMDRejectErrorCodes=300\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitLogins(centre, 1)) << p.Output();
  centre.Control(R"({"cmd":"set","submit_error":11})");
  g.Drop("0000A001.req", "Data=again\r\nPhoneNumber=4471\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return Submits(centre).size() >= 1; }));
  centre.Control(R"({"cmd":"set","submit_error":null})");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A001.req"); })) << p.Output();
  EXPECT_FALSE(fs::exists(g.h + "Q/0000A001.ERR"));
  EXPECT_NE(g.OutLog().find("Retry Pending - "), std::string::npos) << g.OutLog();

  centre.Control(R"({"cmd":"set","submit_error":300})");
  size_t before = Submits(centre).size();
  g.Drop("0000A002.req", "Data=rejected\r\nPhoneNumber=4472\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A002.req") && fs::exists(g.h + "Q/0000A002.ERR"); }))
      << p.Output();
  EXPECT_EQ(Submits(centre).size(), before + 1) << "given up at the first refusal";
}

TEST(CimdReceive, MessagesAndReportsOverTheSessionAndTheInboundPort) {
  CimdCentre centre;
  ASSERT_TRUE(centre.Start());
  CimdGateway g;
  uint16_t inbound = FreeTcpPort();
  g.Configure(uint16_t(centre.port()), "Receive=Yes\r\nReceivePort=" + std::to_string(inbound) + "\r\n");
  const std::string head = "[SMS-IN]\r\nModemName=" + g.connection + "\r\n";
  std::string stamp;
  {
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitLogins(centre, 1)) << p.Output();
    // A message that comes while a submit waits for its answer; a submission asking for a
    // report.
    Ask(centre, R"({"cmd":"during_submit","items":[{"kind":"mo","sender":"4479","recipient":"5557","text":"meanwhile"}]})");
    g.Drop("0000D001.req", "Data=report me\r\nPhoneNumber=4491\r\nSender=4930\r\nReceiptRequested=Yes\r\n");
    ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000D001.req"); })) << p.Output();
    EXPECT_EQ(g.TakeOne("in"), head + "Sender=4479\r\nPhoneNumber=5557\r\nData=meanwhile\r\n");
    stamp = SubmitFor(centre, "4491")["timestamp"].str();
    ASSERT_FALSE(stamp.empty());
    CimdAnswer answer = AnswerOf(Ask(centre, R"({"cmd":"inject_mo","sender":"4477","recipient":"5555","text":"hello"})"));
    EXPECT_EQ(answer.op, 70);
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(g.TakeOne("in"), head + "Sender=4477\r\nPhoneNumber=5555\r\nData=hello\r\n");
    EXPECT_TRUE(p.WaitForOutput("CIMDReceiveMessageCallbackEx: inbound message:  sender=4477, recip=5555", 5000));

    // A sender that decodes to CR LF "SMSCRoute=x" gives the file no key of its own.
    answer = AnswerOf(Ask(centre, R"({"cmd":"inject_mo","alpha":true,"sender":"\r\nSMSCRoute=x","recipient":"5555",)"
                                  R"("text":"x"})"));
    EXPECT_EQ(answer.error, "");
    std::string file = g.TakeOne("in");
    EXPECT_EQ(file, head + "Sender=SMSCRoute=x\r\nPhoneNumber=5555\r\nData=x\r\n");
    EXPECT_EQ(file.find("\r\nSMSCRoute="), std::string::npos) << file;

    // Nowhere to store it: an error answer, nothing half written; delivered again, stored once.
    fs::rename(g.h + "SMS-IN", g.h + "SMS-IN.away");
    WriteFileText(g.h + "SMS-IN", "not a directory");
    answer = AnswerOf(Ask(centre, R"({"cmd":"inject_mo","sender":"4476","recipient":"5555","text":"again"})"));
    EXPECT_EQ(answer.op, 70);
    EXPECT_NE(answer.error, "") << "an error code, so that the centre delivers it again";
    fs::remove(g.h + "SMS-IN");
    fs::rename(g.h + "SMS-IN.away", g.h + "SMS-IN");
    answer = AnswerOf(Ask(centre, R"({"cmd":"inject_mo","sender":"4476","recipient":"5555","text":"again"})"));
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(g.TakeOne("in"), head + "Sender=4476\r\nPhoneNumber=5555\r\nData=again\r\n");

    // The centre connects to the inbound port and delivers there.
    ASSERT_TRUE(p.WaitForOutput("CIMD Receive started on port " + std::to_string(inbound), 20000)) << p.Output();
    ASSERT_TRUE(Ask(centre, R"({"cmd":"connect","host":"127.0.0.1","port":)" + std::to_string(inbound) + "}")["ok"].boolean);
    answer = AnswerOf(Ask(centre, R"({"cmd":"inject_mo","sender":"4478","recipient":"5556","text":"via port"})"));
    EXPECT_EQ(answer.op, 70);
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(g.TakeOne("in"), head + "Sender=4478\r\nPhoneNumber=5556\r\nData=via port\r\n");
    EXPECT_TRUE(p.WaitForOutput("Processing CIMD connection from 127.0.0.1", 5000));
    p.Signal(SIGTERM);
    int code = -1;
    ASSERT_TRUE(p.WaitExit(30000, code));
    EXPECT_EQ(code, 0);
  }
  // After a restart the report still finds its submission.
  Ask(centre, R"({"cmd":"close"})");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitLogins(centre, 2)) << p.Output();
  CimdAnswer answer = AnswerOf(Ask(centre, R"({"cmd":"inject_dn","destination":"4491","timestamp":")" + stamp +
                                              R"(","status":4})"));
  EXPECT_EQ(answer.op, 73);
  EXPECT_EQ(answer.error, "");
  std::string report = g.TakeOne("rec");
  EXPECT_EQ(report.rfind(head, 0), 0u) << report;
  EXPECT_NE(report.find("\r\nReceiptDelivered=Yes\r\nReceiptMessageId=0000D001\r\n"), std::string::npos) << report;
}

// Debian's test server: it serves one client, then stops listening.
TEST(CimdDelivery, TestServerTakesSubmitsAndRefusesAWrongPassword) {
  if (access(kTestCimd2, X_OK) != 0) GTEST_SKIP() << "kannel-extras not installed";
  struct Case {
    const char* password;
    bool accepted;
  };
  for (const Case& c : {Case{"P", true}, Case{"wrong", false}}) {
    SCOPED_TRACE(c.password);
    uint16_t port = FreeTcpPort();
    ChildProcess server;
    ASSERT_TRUE(server.Start({kTestCimd2, "--activity", "1", "--user", "U", "--password", "P", "--port",
                              std::to_string(port)}));
    // No probe: the server's one client is the gateway, which tries again until it is heard.
    CentreGateway g;
    g.Configure("CIMD", port, "", {}, std::string("UserName=U\r\nPassword=") + c.password + "\r\n");
    if (c.accepted) {
      for (int i = 0; i < 5; ++i) {
        g.Drop("0000E00" + std::to_string(i) + ".req", "Data=to the test server " + std::to_string(i) +
                                                            "\r\nPhoneNumber=49170" + std::to_string(i) + "\r\n");
      }
    }
    GatewayProcess p(g.home);
    if (c.accepted) {
      ASSERT_TRUE(WaitUntil(30000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == 5; })) << p.Output();
      for (int i = 0; i < 5; ++i) EXPECT_TRUE(g.Gone("0000E00" + std::to_string(i) + ".req"));
      EXPECT_FALSE(fs::exists(g.ErrorFile()));
    } else {
      ASSERT_TRUE(WaitUntil(30000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
      EXPECT_EQ(ReadFileText(g.ErrorFile()).rfind("CIMD Failure -- Unable to login to CIMD server with specified "
                                                  "parameters:  ",
                                                  0),
                0u)
          << ReadFileText(g.ErrorFile());
    }
  }
}

}  // namespace
