// Messages and delivery notifications from a UCP centre, over the sending session and
// through the gateway's inbound port, become exact inbound files; reports find the
// submission they report, also after a restart of the gateway.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "smsc/ucpcimd/tests/centre_gateway.h"
#include "tests/support/ports.h"

namespace fs = std::filesystem;

namespace {

const std::string kClient = std::string(QAR_SOURCE_DIR) + "/smsc/ucpcimd/tests/ucp_mo_client.py";

// What the centre's client printed: the frames it sent ("> ...") and each answer.
std::vector<std::string> RunMoClient(uint16_t port, const std::string& operations) {
  ChildProcess client;
  std::vector<std::string> lines;
  if (!client.Start({"python3", kClient, PeersDir(), "127.0.0.1", std::to_string(port), operations})) {
    return lines;
  }
  std::string line;
  while (client.ReadLine(line, 30000)) lines.push_back(line);
  return lines;
}

// The answers among the client's lines.
std::vector<std::string> Answers(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    if (l.rfind("> ", 0) != 0) out.push_back(l);
  }
  return out;
}

TEST(UcpReceive, MessagesOverTheSessionBecomeExactInboundFiles) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  CentreGateway g;
  g.Configure("UCP", uint16_t(sim.port()), "Receive=Yes\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitSimLogin(sim)) << p.Output();
  const std::string head = "[SMS-IN]\r\nModemName=" + g.connection + "\r\n";
  struct Case {
    std::string inject;    // members of inject_mo
    std::string expected;  // the inbound file after its first line and ModemName
    std::string forbidden = "\r\nSMSCRoute=";  // a line the sender's bytes must not make
  };
  const std::vector<Case> cases = {
      {R"("recipient":"1234","sender":"491701234567","text":"STOP")",
       "Sender=491701234567\r\nPhoneNumber=1234\r\nData=STOP\r\n"},
      {R"("recipient":"1234","sender":"4917012","text":"\u03a9 \u65e5\u672c")",
       "Sender=4917012\r\nPhoneNumber=1234\r\ndcs=8\r\nData=\xCE\xA9 \xE6\x97\xA5\xE6\x9C\xAC\r\nUTF8=1\r\n"},
      {R"("recipient":"99","sender":"4471","udh":"0605040B8423F0","data":"C0FFEE","dcs":245)",
       "Sender=4471\r\nPhoneNumber=99\r\nUDH=0605040B8423F0\r\ndcs=F5\r\nData=C0FFEE\r\nBinary=1\r\n"},
      // Control bytes from the network never start a line of their own (an alphanumeric
      // sender holds 11 characters at most).
      {R"("recipient":"1234","sender":"\r\nBinary=1","text":"two\r\nSMSCRoute=y")",
       "Sender=Binary=1\r\nPhoneNumber=1234\r\nData=two\\r\\nSMSCRoute=y\r\n", "\r\nBinary="},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(SimAcked(sim.Control(R"({"cmd":"inject_mo","wait":true,)" + c.inject + "}"))) << c.inject;
    std::string file = g.TakeOne("in");
    EXPECT_EQ(file, head + c.expected) << c.inject;
    EXPECT_EQ(file.find(c.forbidden), std::string::npos) << file;
  }
  EXPECT_NE(g.home.DebugLog().find("inbound message:  sender=491701234567, recip=1234, pid=0, dcs=0, msgFlags=0, udh=, "
                                   "msg=STOP"),
            std::string::npos);
  EXPECT_NE(g.InLog().find("491701234567"), std::string::npos) << g.InLog();

  // Nowhere to store it: the centre gets a negative answer, and nothing is half written;
  // delivered again, it is stored once.
  fs::rename(g.h + "SMS-IN", g.h + "SMS-IN.away");
  WriteFileText(g.h + "SMS-IN", "not a directory");
  EXPECT_TRUE(SimNacked(sim.Control(R"({"cmd":"inject_mo","wait":true,"recipient":"1234","sender":"4476","text":"again"})")));
  fs::remove(g.h + "SMS-IN");
  fs::rename(g.h + "SMS-IN.away", g.h + "SMS-IN");
  EXPECT_TRUE(SimAcked(sim.Control(R"({"cmd":"inject_mo","wait":true,"recipient":"1234","sender":"4476","text":"again"})")));
  EXPECT_EQ(g.TakeOne("in"), head + "Sender=4476\r\nPhoneNumber=1234\r\nData=again\r\n");
}

TEST(UcpReceive, ReportsMatchTheirSubmissionAcrossAGatewayRestart) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  CentreGateway g;
  g.Configure("UCP", uint16_t(sim.port()), "Receive=Yes\r\n");
  const std::string head = "[SMS-IN]\r\nModemName=" + g.connection + "\r\n";
  std::string scts;
  {
    GatewayProcess p(g.home);
    g.Drop("0000D001.req", "Data=report me\r\nPhoneNumber=4491\r\nSender=4930\r\nReceiptRequested=Yes\r\n");
    g.Drop("0000D002.req", "Data=no report\r\nPhoneNumber=4492\r\nSender=4930\r\n");
    ASSERT_TRUE(WaitUntil(20000, [&] { return g.Gone("0000D001.req") && g.Gone("0000D002.req"); })) << p.Output();
    scts = SimSubmitFor(sim, "4491")["scts"].str();
    ASSERT_FALSE(scts.empty());
    // The centre's id of the accepted submit is in the message log.
    EXPECT_NE(g.OutLog().find("4491:" + scts), std::string::npos) << g.OutLog();
    p.Signal(SIGTERM);
    int code = -1;
    ASSERT_TRUE(p.WaitExit(30000, code));
  }
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitSimLogin(sim)) << p.Output();
  // Delivered, for the submission that asked: the report names our message id.
  EXPECT_TRUE(SimAcked(sim.Control(R"({"cmd":"inject_dn","wait":true,"dst":0,"recipient":"4491","scts":")" + scts +
                                   R"(","sender":"4930"})")));
  std::string report = g.TakeOne("rec");
  EXPECT_EQ(report.rfind(head, 0), 0u) << report;
  EXPECT_NE(report.find("\r\nReceiptDelivered=Yes\r\nReceiptMessageId=0000D001\r\n"), std::string::npos) << report;
  // A report for a submission nobody recorded waits for receipt resolution with the
  // centre's id.
  EXPECT_TRUE(SimAcked(sim.Control(R"({"cmd":"inject_dn","wait":true,"dst":2,"recipient":"4499","scts":"010101000000"})")));
  std::string unresolved = g.TakeOne("rct");
  EXPECT_NE(unresolved.find("\r\nReceiptFailed=Yes\r\nReceiptMessageId=4499:010101000000\r\n"), std::string::npos)
      << unresolved;
}

TEST(UcpReceive, CentreConnectingToTheInboundPort) {
  UcpSim sim;
  ASSERT_TRUE(sim.Start(SimOptions())) << sim.why();
  CentreGateway g;
  uint16_t inbound = FreeTcpPort();
  // Two instances: only the first listens, and nothing fails to bind. Alerts keep the idle
  // link alive.
  g.Configure("UCP", uint16_t(sim.port()),
              "Receive=Yes\r\nTransmitterCount=2\r\nKeepAlive=1\r\nReceivePort=" + std::to_string(inbound) + "\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(p.WaitForOutput("UCP Receive started on port " + std::to_string(inbound), 20000)) << p.Output();
  ASSERT_TRUE(WaitUntil(10000, [&] { return PortAccepts(inbound); }));
  const std::string head = "[SMS-IN]\r\nModemName=" + g.connection + "\r\n";
  std::vector<std::string> lines = RunMoClient(
      inbound, R"([{"ot":"52","fields":{"AdC":"5555","OAdC":"4477","MT":"3","Msg":"IRA:hello port"}},)"
               R"({"ot":"52","fields":{"AdC":"5555","OAdC":"4478","MT":"3","Msg":"IRA:second"}}])");
  std::vector<std::string> answers = Answers(lines);
  ASSERT_EQ(answers.size(), 2u) << p.Output();
  for (const std::string& a : answers) {
    EXPECT_NE(a.find("/R/52/A/"), std::string::npos) << a;
    // An independent decoder reads the gateway's answers.
    std::string out = DecodeEmi(a);
    if (!out.empty()) {
      EXPECT_EQ(out.find("Invalid EMI packet"), std::string::npos) << out;
      EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    }
  }
  std::vector<std::string> files;
  ASSERT_TRUE(WaitUntil(10000, [&] { return (files = g.Inbound("in")).size() == 2; }));
  std::vector<std::string> texts;
  for (const std::string& f : files) texts.push_back(ReadFileText(f));
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts[0], head + "Sender=4477\r\nPhoneNumber=5555\r\nData=hello port\r\n");
  EXPECT_EQ(texts[1], head + "Sender=4478\r\nPhoneNumber=5555\r\nData=second\r\n");
  EXPECT_TRUE(p.WaitForOutput("Releasing Connection", 10000));
  EXPECT_EQ(p.Output().find("UCP Receive Failure"), std::string::npos) << p.Output();
  EXPECT_EQ(CountOf(p.Output(), "UCP Receive started on port"), 1u);

  // A centre stays connected; a new ReceivePort restarts the worker: the old listener and
  // the connection's thread end (the centre sees its connection closed), the new one listens.
  size_t served = CountOf(p.Output(), "Processing UCP connection from 127.0.0.1");
  ASSERT_TRUE(WaitUntil(10000, [&] { return CountOf(p.Output(), "Releasing Connection") == served; }));
  int held = ConnectLoopback(inbound);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(WaitUntil(10000, [&] { return CountOf(p.Output(), "Processing UCP connection from 127.0.0.1") == served + 1; }))
      << p.Output();
  uint16_t moved = FreeTcpPort();
  g.Configure("UCP", uint16_t(sim.port()), "Receive=Yes\r\nTransmitterCount=2\r\nKeepAlive=1\r\nReceivePort=" + std::to_string(moved) + "\r\n");
  ASSERT_TRUE(p.WaitForOutput("UCP Receive started on port " + std::to_string(moved), 30000)) << p.Output();
  EXPECT_TRUE(WaitUntil(10000, [&] { return CountOf(p.Output(), "Releasing Connection") == served + 1; })) << p.Output();
  pollfd closed{held, POLLIN, 0};
  char byte;
  EXPECT_TRUE(poll(&closed, 1, 10000) == 1 && recv(held, &byte, 1, 0) == 0);
  close(held);
  EXPECT_FALSE(PortAccepts(inbound));
  EXPECT_TRUE(PortAccepts(moved));
  auto alerts = [&] {
    Json frames = sim.Control(R"({"cmd":"frames"})")["frames"];
    size_t n = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      n += frames[i]["dir"].str() == "in" && frames[i]["frame"].str().find("/O/31/") != std::string::npos;
    }
    return n;
  };
  EXPECT_TRUE(WaitUntil(10000, [&] { return alerts() >= 2; })) << p.Output();
  // The stop ends the listener and its threads at once.
  p.Signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(p.WaitExit(15000, code));
  EXPECT_EQ(code, 0);
}

}  // namespace
