// Windowed asynchronous submission against the npm "smpp" server holding its answers and
// sending them newest first, then dropping the link with submits outstanding.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/gateway_harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

#define REQUIRE_NODE_SMPP() \
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm

size_t QueuedFiles(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec)) n += e.path().extension() == ".req";
  return n;
}

TEST(SmppAsync, WindowOutOfOrderAnswersAndALostLink) {
  REQUIRE_NODE_SMPP();
  NodePeer node;
  ASSERT_TRUE(node.Start(kNpm, kScripts + "/smsc_server.js", {R"({"holdCount":5,"holdMs":300,"dropAfter":17})"}));
  std::string line;
  ASSERT_TRUE(node.WaitFor("LISTENING ", line, 10000));
  std::string connection = "SMPP - 127.0.0.1:" + line.substr(10);
  GatewayHome home;
  home.WriteConfig({"WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "InitRetryDelay=1",
                    "InitRetryDelayMax=2"},
                   "[" + connection +
                       "]\r\nUserName=gw\r\nPassword=secret\r\nWindowSize=5\r\nCommandTimeout=10\r\n"
                       "RetryDelay=1\r\nRetryDelayAfterAttempts=5\r\n");
  std::string queue = home.path() + "Q/";
  fs::create_directories(queue);
  const int kMessages = 30;
  for (int i = 0; i < kMessages; ++i) {
    char name[16];
    snprintf(name, sizeof name, "0000%04X", i);
    WriteFileText(queue + ".~" + name, "[SMS]\r\nData=msg " + std::to_string(i) + "\r\nPhoneNumber=4477\r\n");
    fs::rename(queue + ".~" + name, queue + name + ".req");
  }
  GatewayProcess p(home);
  ASSERT_TRUE(WaitUntil(60000, [&] {
    while (node.ReadLine(line, 10)) {
    }
    return QueuedFiles(queue) == 0;
  })) << p.Output();
  while (node.ReadLine(line, 200)) {
  }
  // The server's view: submits received less answers sent, per link.
  int outstanding = 0, highest = 0, drops = 0;
  std::map<std::string, int> accepted;  // message -> answers with status 0
  for (const std::string& l : node.lines()) {
    if (l.rfind("PDU submit_sm ", 0) == 0) highest = std::max(highest, ++outstanding);
    if (l.rfind("RESP ", 0) == 0) {
      --outstanding;
      size_t a = l.find(' ', 5), b = l.find(' ', a + 1);
      if (l.substr(a + 1, b - a - 1) == "0") ++accepted[l.substr(b + 1)];
    }
    if (l == "DROPPED") {
      ++drops;
      outstanding = 0;
    }
  }
  EXPECT_EQ(drops, 1);
  EXPECT_LE(highest, 5);
  EXPECT_EQ(highest, 5);  // the window was used
  ASSERT_EQ(accepted.size(), size_t(kMessages));
  for (const auto& [message, count] : accepted) EXPECT_EQ(count, 1) << message;
  // Each file ended once: one "OK" line each in the outbound log.
  std::string log;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(home.path() + "LOGS", ec)) {
    if (e.path().filename().string().rfind("SMSOUT", 0) == 0) log += ReadFileText(e.path().string());
  }
  size_t ok = 0;
  for (size_t at = log.find("OK -- " + connection); at != std::string::npos; at = log.find("OK -- " + connection, at + 1)) {
    ++ok;
  }
  EXPECT_EQ(ok, size_t(kMessages)) << log;
}

}  // namespace
