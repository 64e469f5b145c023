// The real gateway over UCP/EMI to the UCP simulator: what the centre decodes of each
// submit, the outcomes of its answers, link failures, reports and received messages.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "smsc/ucpcimd/tests/centre_gateway.h"

namespace fs = std::filesystem;

namespace {

struct UcpGateway : CentreGateway {
  void Configure(uint16_t port, const std::string& extra = "", std::vector<std::string> main = {}) {
    CentreGateway::Configure("UCP", port, extra, main);
  }
};

bool WaitSubmits(UcpSim& sim, int n, int ms = 20000) {
  return WaitUntil(ms, [&] { return sim.SubmitCount() >= n; });
}

// The submit record of the centre for a recipient (the "submits" answer from its record on).
std::string SubmitFor(UcpSim& sim, const std::string& recipient) {
  std::string all = sim.Submits();
  size_t at = all.find("\"recipient\": \"" + recipient + "\"");
  if (at == std::string::npos) return "";
  size_t start = all.rfind("{\"seq\"", at);
  size_t end = all.find("{\"seq\"", at);
  return all.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(UcpDelivery, CentreDecodesEachSubmitAsTheQueueFileHoldsIt) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(0, {"--login", "gw:secret", "--set", "auto_dn=false"}));
  UcpGateway g;
  g.Configure(sim.port());
  struct Case {
    const char* file;
    const char* body;
    std::vector<std::string> expected;  // fragments of the centre's decoded record
  };
  const std::vector<Case> cases = {
      {"00000001.req", "Sender=4930123\r\nData=Price 5 \xE2\x82\xAC today\r\nPhoneNumber=+4917000001\r\n",
       {R"("text": "Price 5 \u20ac today")", R"("sender": "4930123")", R"("requested": false)"}},
      {"00000002.req", "Sender=4930123\r\nData=\xCE\xA9mega \xE6\x97\xA5\r\ndcs=08\r\nPhoneNumber=4917000002\r\n",
       {R"("mt": 4)", R"("text": "\u03a9mega \u65e5")", R"("dcs": 8)"}},
      {"00000003.req", "Sender=4930123\r\nUDH=0605040B8423F0\r\nData=C0FFEE00\r\nBinary=1\r\ndcs=F5\r\n"
                       "PhoneNumber=4917000003\r\n",
       {R"("mt": 4)", R"("udh": "0605040B8423F0")", R"("data": "C0FFEE00")"}},
      {"00000004.req", "Sender=Shop24\r\nData=alpha sender\r\nPhoneNumber=4917000004\r\n",
       {R"("sender": "Shop24")", R"("otoa": "5039")", R"("text": "alpha sender")"}},
      {"00000005.req", "Sender=4930123\r\nData=report please\r\nPhoneNumber=4917000005\r\nReceiptRequested=Yes\r\n",
       {R"("requested": true)", R"("text": "report please")"}},
  };
  GatewayProcess p(g.home);
  for (const Case& c : cases) g.Drop(c.file, c.body);
  ASSERT_TRUE(WaitSubmits(sim, int(cases.size()))) << p.Output();
  for (size_t i = 0; i < cases.size(); ++i) {
    // "+" goes as the international prefix 00.
    std::string record = SubmitFor(sim, (i == 0 ? "00" : "") + std::string("491700000") + std::to_string(i + 1));
    ASSERT_FALSE(record.empty()) << cases[i].file << "\n" << sim.Submits();
    for (const std::string& fragment : cases[i].expected) {
      EXPECT_NE(record.find(fragment), std::string::npos) << cases[i].file << ": " << fragment << "\n" << record;
    }
    EXPECT_NE(record.find(R"("result": "ACK")"), std::string::npos) << record;
  }
  for (const Case& c : cases) EXPECT_TRUE(WaitUntil(10000, [&] { return g.Gone(c.file); })) << c.file;
  ASSERT_TRUE(WaitUntil(5000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == cases.size(); }))
      << g.OutLog();
  usleep(1000000);
  EXPECT_EQ(sim.SubmitCount(), int(cases.size())) << "each file once";
  EXPECT_FALSE(fs::exists(g.ErrorFile()));
  // The extra text names our message id; the trace went to the debug log.
  EXPECT_NE(g.home.DebugLog().find("UCP connection OK"), std::string::npos);
}

TEST(UcpDelivery, NackRetriedRejectCodeAndSpentRetriesFail) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(0, {"--login", "gw:secret", "--set", "auto_dn=false"}));
  UcpGateway g;
  g.Configure(sim.port(), "RetryDelay=1\r\nRetryDelayAfterAttempts=5\r\nRetryMaxAttempts=1\r\nUCPRejectErrorCodes=24\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(sim.WaitLoggedIn()) << p.Output();

  // A temporary refusal: kept with its retry state, then accepted.
  sim.Command(R"({"cmd":"fail","nack":{"code":"04","count":1,"text":"Busy"}})");
  g.Drop("0000A001.req", "Data=again\r\nPhoneNumber=4471\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A001.req"); })) << p.Output();
  EXPECT_EQ(sim.SubmitCount(), 2);
  EXPECT_NE(g.OutLog().find("Retry Pending - "), std::string::npos) << g.OutLog();
  EXPECT_FALSE(fs::exists(g.h + "Q/0000A001.ERR"));

  // A code in UCPRejectErrorCodes: given up at once, a copy kept.
  sim.Command(R"({"cmd":"fail","nack":{"code":"24","count":1,"text":"Too long"}})");
  g.Drop("0000A002.req", "Data=rejected\r\nPhoneNumber=4472\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A002.req") && fs::exists(g.h + "Q/0000A002.ERR"); }))
      << p.Output();
  EXPECT_EQ(sim.SubmitCount(), 3);
  EXPECT_NE(ReadFileText(g.h + "Q/0000A002.ERR").find("Message too long -- " + g.connection), std::string::npos);

  // Refused again after its one retry (RetryMaxAttempts 1): given up.
  sim.Command(R"({"cmd":"fail","nack":{"code":"04","count":2}})");
  g.Drop("0000A003.req", "Data=once\r\nPhoneNumber=4473\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A003.req") && fs::exists(g.h + "Q/0000A003.ERR"); }))
      << p.Output();
  EXPECT_EQ(sim.SubmitCount(), 5);
  EXPECT_NE(ReadFileText(g.h + "Q/0000A003.ERR").find("RetryCount=2"), std::string::npos)
      << ReadFileText(g.h + "Q/0000A003.ERR");
  std::string out = g.OutLog();
  EXPECT_EQ(CountOf(out, "OK -- " + g.connection), 1u) << out;
}

// Each failure of the link: its text in the error file and the message log, the event from
// the third failure on, and the message kept until the link is up.
TEST(UcpDelivery, LinkFailuresAreReportedAndTheCentreIsReachedAgain) {
  struct Case {
    const char* what;
    std::string expected;
  };
  uint16_t closedPort = FreeTcpPort();
  UcpSim refusing;
  ASSERT_TRUE(refusing.Start(0, {"--login", "gw:other"}));
  std::vector<Case> cases = {
      {"closed port", "UCP Failure -- Unable to connect to UCP server at 127.0.0.1:" + std::to_string(closedPort)},
      {"refused login", "UCP Failure -- Unable to login to UCP server with specified parameters:  "},
      {"no library", "UCP Failure -- Support DLL QARKITE.DLL did not initialize"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UcpGateway g;
    std::string program = "qargate";
    TempDir bare;
    if (std::string(c.what) == "no library") {
      // The program alone, without the libraries it loads from its folder.
      for (const char* file : {"qargate", "libqarvault.so"}) fs::copy_file(BinDirectory() + file, bare.path() + file);
      program = bare.path() + "qargate";
    }
    g.Configure(std::string(c.what) == "refused login" ? refusing.port() : closedPort);
    GatewayProcess p(g.home, program);
    ASSERT_TRUE(WaitUntil(20000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
    EXPECT_EQ(ReadFileText(g.ErrorFile()).rfind(c.expected, 0), 0u) << ReadFileText(g.ErrorFile());
    ASSERT_TRUE(p.WaitForOutput("Error initializing SMSC Interface '" + g.connection +
                                    "'.  Interface is not available.",
                                20000))
        << p.Output();
    EXPECT_NE(g.OutLog().find(c.expected), std::string::npos) << g.OutLog();
  }
}

TEST(UcpDelivery, RestartedCentreIsReconnectedAndDropOnSubmitRetried) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(0, {"--login", "gw:secret", "--set", "auto_dn=false"}));
  uint16_t port = sim.port();
  UcpGateway g;
  g.Configure(port, "RetryDelay=1\r\n");
  GatewayProcess p(g.home);
  g.Drop("0000B001.req", "Data=first\r\nPhoneNumber=4481\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000B001.req"); })) << p.Output();
  // The link is cut under a submit: the message stays and goes through the next session.
  sim.Command(R"({"cmd":"fail","drop_on_submit":1})");
  g.Drop("0000B002.req", "Data=second\r\nPhoneNumber=4482\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return g.Gone("0000B002.req"); })) << p.Output();
  EXPECT_EQ(CountOf(sim.Submits(), "\"recipient\": \"4482\""), 2u);
  // A new centre in the place of the old one.
  sim.Stop();
  ASSERT_TRUE(WaitUntil(20000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
  g.Drop("0000B003.req", "Data=third\r\nPhoneNumber=4483\r\n");
  UcpSim again;
  ASSERT_TRUE(again.Start(port, {"--login", "gw:secret", "--set", "auto_dn=false"}));
  ASSERT_TRUE(WaitUntil(30000, [&] { return g.Gone("0000B003.req"); })) << p.Output();
  EXPECT_EQ(again.SubmitCount(), 1);
  EXPECT_TRUE(WaitUntil(5000, [&] { return !fs::exists(g.ErrorFile()); }));
}

TEST(UcpDelivery, TwoTransmittersSendNothingTwice) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(0, {"--login", "gw:secret", "--set", "auto_dn=false"}));
  sim.Command(R"({"cmd":"fail","delay_ms":2})");
  UcpGateway g;
  g.Configure(sim.port(), "TransmitterCount=2\r\n");
  constexpr int kFiles = 60;
  for (int i = 0; i < kFiles; ++i) {
    char name[16];
    snprintf(name, sizeof name, "0000C%03d.req", i);
    g.Drop(name, "Data=m" + std::to_string(i) + "\r\nPhoneNumber=49" + std::to_string(1000 + i) + "\r\n");
  }
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitSubmits(sim, kFiles, 60000)) << p.Output();
  ASSERT_TRUE(WaitUntil(10000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == size_t(kFiles); }));
  usleep(1000000);
  std::string all = sim.Submits();
  EXPECT_EQ(CountOf(all, "\"seq\":"), size_t(kFiles));
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(CountOf(all, "\"recipient\": \"49" + std::to_string(1000 + i) + "\""), 1u) << i;
  }
}

}  // namespace
