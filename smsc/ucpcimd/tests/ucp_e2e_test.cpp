// The real gateway over UCP/EMI to the UCP simulator: what the centre decodes of each
// submit, the outcomes of its answers, link failures, reconnects, two transmitters.
#include <unistd.h>

#include <gtest/gtest.h>

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

TEST(UcpDelivery, CentreDecodesEachSubmitAsTheQueueFileHoldsIt) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  UcpGateway g;
  // From a local address and port of its own.
  uint16_t local = FreeTcpPort();
  g.Configure(uint16_t(sim.port()), "BindIP=127.0.0.1\r\nLocalPort=" + std::to_string(local) + "\r\n");
  struct Field {
    std::vector<std::string> path;  // members from the decoded record down
    std::string value;              // as Json::str() gives it
  };
  struct Case {
    const char* file;
    const char* body;
    const char* recipient;  // as the centre got it
    std::vector<Field> expected;
  };
  const std::vector<Case> cases = {
      {"00000001.req", "Sender=4930123\r\nData=Price 5 \xE2\x82\xAC today\r\nPhoneNumber=+4917000001\r\n",
       "004917000001",  // "+" goes as the international prefix
       {{{"text"}, "Price 5 \xE2\x82\xAC today"}, {{"mt"}, "3"}, {{"sender"}, "4930123"},
        {{"notification", "requested"}, "false"}}},
      {"00000002.req", "Sender=4930123\r\nData=\xCE\xA9mega \xE6\x97\xA5\r\ndcs=08\r\nPhoneNumber=4917000002\r\n",
       "4917000002", {{{"mt"}, "4"}, {{"text"}, "\xCE\xA9mega \xE6\x97\xA5"}, {{"dcs"}, "8"}}},
      {"00000003.req",
       "Sender=4930123\r\nUDH=0605040B8423F0\r\nData=C0FFEE00\r\nBinary=1\r\ndcs=F5\r\nPhoneNumber=4917000003\r\n",
       "4917000003", {{{"mt"}, "4"}, {{"udh"}, "0605040B8423F0"}, {{"data"}, "C0FFEE00"}, {{"dcs"}, "245"}}},
      {"00000004.req", "Sender=Shop24\r\nData=alpha sender\r\nPhoneNumber=4917000004\r\n", "4917000004",
       {{{"sender"}, "Shop24"}, {{"otoa"}, "5039"}, {{"text"}, "alpha sender"}}},
      {"00000005.req", "Sender=4930123\r\nData=report please\r\nPhoneNumber=4917000005\r\nReceiptRequested=Yes\r\n",
       "4917000005", {{{"notification", "requested"}, "true"}, {{"notification", "nt"}, "3"}}},
  };
  GatewayProcess p(g.home);
  for (const Case& c : cases) g.Drop(c.file, c.body);
  ASSERT_TRUE(WaitSimSubmits(sim, cases.size())) << p.Output();
  EXPECT_TRUE(p.WaitForOutput("Debug:  UCP local port bound to " + std::to_string(local), 5000));
  Json clients = sim.Control(R"({"cmd":"status"})")["clients"];
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0]["peer"].str(), "127.0.0.1:" + std::to_string(local));
  for (const Case& c : cases) {
    Json record = SimSubmitFor(sim, c.recipient);
    ASSERT_EQ(record.kind, Json::Object) << c.file;
    for (const Field& f : c.expected) {
      const Json* v = &record;
      for (const std::string& member : f.path) v = &(*v)[member];
      EXPECT_EQ(v->str(), f.value) << c.file << ": " << f.path.back();
    }
    EXPECT_EQ(record["result"].str(), "ACK") << c.file;
  }
  for (const Case& c : cases) EXPECT_TRUE(WaitUntil(10000, [&] { return g.Gone(c.file); })) << c.file;
  ASSERT_TRUE(WaitUntil(5000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == cases.size(); }))
      << g.OutLog();
  // The centre's id of each accepted submit is in its message-log line.
  EXPECT_NE(g.OutLog().find("SMSCMsgId=4917000005:" + SimSubmitFor(sim, "4917000005")["scts"].str()),
            std::string::npos)
      << g.OutLog();
  usleep(1000000);
  EXPECT_EQ(SimSubmits(sim).size(), cases.size()) << "each file once";
  EXPECT_FALSE(fs::exists(g.ErrorFile()));
  // An independent decoder reads every frame the gateway sent.
  Json frames = sim.Control(R"({"cmd":"frames"})")["frames"];
  size_t decoded = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i]["dir"].str() != "in") continue;
    std::string out = DecodeEmi(frames[i]["frame"].str());
    if (out.empty()) GTEST_SKIP() << "decode_emimsg (kannel) not installed";
    EXPECT_EQ(out.find("Invalid EMI packet"), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    ++decoded;
  }
  EXPECT_EQ(decoded, cases.size() + 1) << "the login and each submit";
}

TEST(UcpDelivery, NackRetriedRejectCodeAndSpentRetriesFail) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  UcpGateway g;
  g.Configure(uint16_t(sim.port()),
              "RetryDelay=1\r\nRetryDelayAfterAttempts=5\r\nRetryMaxAttempts=1\r\nUCPRejectErrorCodes=24\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitSimLogin(sim)) << p.Output();

  // A temporary refusal: kept with its retry state, then accepted.
  sim.Control(R"({"cmd":"fail","nack":{"code":"04","count":1,"text":"Busy"}})");
  g.Drop("0000A001.req", "Data=again\r\nPhoneNumber=4471\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A001.req"); })) << p.Output();
  EXPECT_EQ(SimSubmits(sim).size(), 2u);
  EXPECT_NE(g.OutLog().find("Retry Pending - "), std::string::npos) << g.OutLog();
  EXPECT_FALSE(fs::exists(g.h + "Q/0000A001.ERR"));

  // A code in UCPRejectErrorCodes: given up at once, a copy kept.
  sim.Control(R"({"cmd":"fail","nack":{"code":"24","count":1,"text":"Too long"}})");
  g.Drop("0000A002.req", "Data=rejected\r\nPhoneNumber=4472\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A002.req") && fs::exists(g.h + "Q/0000A002.ERR"); }))
      << p.Output();
  EXPECT_EQ(SimSubmits(sim).size(), 3u);
  EXPECT_NE(ReadFileText(g.h + "Q/0000A002.ERR").find("Message too long -- " + g.connection), std::string::npos);

  // Refused again after its one retry (RetryMaxAttempts 1): given up.
  sim.Control(R"({"cmd":"fail","nack":{"code":"04","count":2}})");
  g.Drop("0000A003.req", "Data=once\r\nPhoneNumber=4473\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000A003.req") && fs::exists(g.h + "Q/0000A003.ERR"); }))
      << p.Output();
  EXPECT_EQ(SimSubmits(sim).size(), 5u);
  EXPECT_NE(ReadFileText(g.h + "Q/0000A003.ERR").find("RetryCount=2"), std::string::npos)
      << ReadFileText(g.h + "Q/0000A003.ERR");
  EXPECT_EQ(CountOf(g.OutLog(), "OK -- " + g.connection), 1u) << g.OutLog();
}

// Each failure of the link: its text in the error file and the message log, and the event
// from the third failure on.
TEST(UcpDelivery, LinkFailuresAreReported) {
  struct Case {
    const char* what;
    std::string expected;
  };
  uint16_t closedPort = FreeTcpPort();
  UcpSim refusing;
  ASSERT_TRUE(refusing.Start({"--login", "gw:other"})) << refusing.why();
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
    g.Configure(std::string(c.what) == "refused login" ? uint16_t(refusing.port()) : closedPort);
    GatewayProcess p(g.home, program);
    ASSERT_TRUE(WaitUntil(20000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
    EXPECT_EQ(ReadFileText(g.ErrorFile()).rfind(c.expected, 0), 0u) << ReadFileText(g.ErrorFile());
    ASSERT_TRUE(p.WaitForOutput("Error initializing SMSC Interface '" + g.connection + "'.  Interface is not available.",
                                20000))
        << p.Output();
    EXPECT_NE(g.OutLog().find(c.expected), std::string::npos) << g.OutLog();
  }
}

TEST(UcpDelivery, RestartedCentreIsReconnectedAndDropOnSubmitRetried) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  uint16_t port = uint16_t(sim.port());
  UcpGateway g;
  g.Configure(port, "RetryDelay=1\r\n");
  GatewayProcess p(g.home);
  g.Drop("0000B001.req", "Data=first\r\nPhoneNumber=4481\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000B001.req"); })) << p.Output();
  // The link is cut under a submit: the message stays and goes through the next session.
  sim.Control(R"({"cmd":"fail","drop_on_submit":1})");
  g.Drop("0000B002.req", "Data=second\r\nPhoneNumber=4482\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return g.Gone("0000B002.req"); })) << p.Output();
  Json submits = SimSubmits(sim);
  int tries = 0;
  for (size_t i = 0; i < submits.size(); ++i) tries += submits[i]["recipient"].str() == "4482";
  EXPECT_EQ(tries, 2);
  // A new centre in the place of the old one: the error file while it is away, then the
  // link again.
  sim.Stop();
  ASSERT_TRUE(WaitUntil(20000, [&] { return fs::exists(g.ErrorFile()); })) << p.Output();
  g.Drop("0000B003.req", "Data=third\r\nPhoneNumber=4483\r\n");
  UcpSim again;
  ASSERT_TRUE(again.Start(SimOptions(port))) << again.why();
  ASSERT_TRUE(WaitUntil(30000, [&] { return g.Gone("0000B003.req"); })) << p.Output();
  EXPECT_EQ(SimSubmits(again).size(), 1u);
  EXPECT_TRUE(WaitUntil(5000, [&] { return !fs::exists(g.ErrorFile()); }));
}

TEST(UcpDelivery, TwoTransmittersSendNothingTwice) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  sim.Control(R"({"cmd":"fail","delay_ms":2})");
  UcpGateway g;
  g.Configure(uint16_t(sim.port()), "TransmitterCount=2\r\n");
  constexpr int kFiles = 60;
  for (int i = 0; i < kFiles; ++i) {
    char name[16];
    snprintf(name, sizeof name, "0000C%03d.req", i);
    g.Drop(name, "Data=m" + std::to_string(i) + "\r\nPhoneNumber=49" + std::to_string(1000 + i) + "\r\n");
  }
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitSimSubmits(sim, kFiles, 60000)) << p.Output();
  ASSERT_TRUE(WaitUntil(10000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == size_t(kFiles); }));
  usleep(1000000);
  Json submits = SimSubmits(sim);
  ASSERT_EQ(submits.size(), size_t(kFiles));
  std::vector<int> seen(kFiles);
  for (size_t i = 0; i < submits.size(); ++i) ++seen[std::stoi(submits[i]["recipient"].str()) - 491000];
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(seen[i], 1) << i;
}

}  // namespace

namespace {

// SMSCSendLimit=5 (five a second): the centre sees the submits 200 ms apart at least.
TEST(UcpDelivery, PacingKeepsTheSendInterval) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  UcpGateway g;
  g.Configure(uint16_t(sim.port()), "SMSCSendLimit=5\r\n");
  constexpr int kFiles = 5;
  for (int i = 0; i < kFiles; ++i) g.Drop("0000F00" + std::to_string(i) + ".req", "Data=p\r\nPhoneNumber=4490\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitSimSubmits(sim, kFiles)) << p.Output();
  Json submits = SimSubmits(sim);
  for (size_t i = 1; i < submits.size(); ++i) {
    EXPECT_GE(submits[i]["t"].number - submits[i - 1]["t"].number, 0.19) << i;
  }
}

}  // namespace
