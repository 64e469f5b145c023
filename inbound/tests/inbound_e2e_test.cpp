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

namespace fs = std::filesystem;

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

struct Smsc {
  NodePeer node;
  unsigned port = 0;
  bool Start(const std::string& options = "{}") {
    if (!node.Start(kNpm, kScripts + "/smsc_server.js", {options})) return false;
    std::string line;
    if (!node.WaitFor("LISTENING ", line, 10000)) return false;
    port = unsigned(std::stoul(line.substr(10)));
    return true;
  }
  int Deliver(const std::string& json) {
    node.Send("deliver " + json);
    std::string line;
    if (!node.WaitFor("DELIVER_RESP ", line, 10000)) return -1;
    return std::stoi(line.substr(13));
  }
  // The next submit_sm whose decoded fields hold text.
  bool WaitSubmit(const std::string& text, std::string& pdu, int ms) {
    for (;;) {
      if (!node.WaitFor("PDU submit_sm ", pdu, ms)) return false;
      if (pdu.find(text) != std::string::npos) return true;
    }
  }
  size_t CountSubmits(const std::string& text) {
    size_t n = 0;
    for (const std::string& l : node.lines())
      if (l.rfind("PDU submit_sm ", 0) == 0 && l.find(text) != std::string::npos) ++n;
    return n;
  }
};

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
  Smsc smsc;
  ASSERT_TRUE(smsc.Start());
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
  EXPECT_TRUE(FilesUnder(h + "SMS-IN").empty() || [&] {
    for (const std::string& f : FilesUnder(h + "SMS-IN"))
      if (f.find(".SAR") != std::string::npos || f.find(".in") != std::string::npos) return false;
    return true;
  }());

  p.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(30000, code));
  EXPECT_EQ(code, 0) << p.Output();
  EXPECT_EQ(smsc.CountSubmits("got segment one two"), 1u);
}

}  // namespace
