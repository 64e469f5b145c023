// Windowed asynchronous submission against the npm "smpp" server holding its answers and
// sending them newest first, throttling some, then dropping the link with submits
// outstanding; with the outcomes recorded by the worker, by one helper thread, or by three.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/gateway_process.h"

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

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// This year's total of a statistics counter file ("SMSSENT" ...): the home is fresh.
uint64_t CounterTotal(const std::string& home, const std::string& name) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(home, ec)) {
    std::string file = e.path().filename().string();
    if (file.rfind(name + "-", 0) != 0 || e.path().extension() != ".CTR") continue;
    std::string bytes = ReadFileText(e.path().string());
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
      total += uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8 |
               uint32_t(uint8_t(bytes[at + 2])) << 16 | uint32_t(uint8_t(bytes[at + 3])) << 24;
    }
  }
  return total;
}

TEST(SmppAsync, WindowOutOfOrderThrottledAnswersAndALostLink) {
  REQUIRE_NODE_SMPP();
  struct Case {
    const char* name;
    std::vector<std::string> qarhub;
  } cases[] = {
      {"worker", {"SmppSubmitAsyncHelperThread=No"}},
      {"one helper", {}},
      {"three helpers", {"SmppSubmitAsyncHelperThread=Yes", "AsyncCallbackThreads=3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodeSmsc smsc;
    // Answers held until five wait, newest first; the 3rd answer throttles, the 6th says
    // queue full; the 17th submit loses the link.
    ASSERT_TRUE(smsc.Start(kNpm, kScripts, R"({"holdCount":5,"holdMs":300,"dropAfter":17,"submitStatuses":[0,0,88,0,0,20]})"));
    NodePeer& node = smsc.node;
    std::string line;
    std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
    GatewayHome home;
    std::vector<std::string> qarhub = {"WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection,
                                       "InitRetryDelay=1", "InitRetryDelayMax=2", "Debug=Yes"};
    qarhub.insert(qarhub.end(), c.qarhub.begin(), c.qarhub.end());
    home.WriteConfig(qarhub, "[" + connection +
                                 "]\r\nUserName=gw\r\nPassword=secret\r\nWindowSize=5\r\nCommandTimeout=10\r\n"
                                 "RetryDelay=1\r\nRetryDelayAfterAttempts=5\r\nThrottleForQFull=Yes\r\n"
                                 "SMPPThrottleErrorDelay=0\r\n");
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
    // Counters reach their files at the latest when the service stops.
    p.Signal(SIGTERM);
    int code = -1;
    EXPECT_TRUE(p.WaitExit(60000, code));
    EXPECT_EQ(code, 0) << p.Output();
    // A sanitizer build of the gateway reports here.
    EXPECT_EQ(p.Output().find("runtime error"), std::string::npos) << p.Output();
    EXPECT_EQ(p.Output().find("Sanitizer"), std::string::npos) << p.Output();
    // The server's view: submits received less answers sent, per link.
    int outstanding = 0, highest = 0, drops = 0, throttled = 0;
    std::map<std::string, int> accepted;  // message -> answers with status 0
    for (const std::string& l : node.lines()) {
      if (l.rfind("PDU submit_sm ", 0) == 0) highest = std::max(highest, ++outstanding);
      if (l.rfind("RESP ", 0) == 0) {
        --outstanding;
        size_t a = l.find(' ', 5), b = l.find(' ', a + 1);
        std::string status = l.substr(a + 1, b - a - 1);
        if (status == "0") ++accepted[l.substr(b + 1)];
        if (status == "88" || status == "20") ++throttled;
      }
      if (l == "DROPPED") {
        ++drops;
        outstanding = 0;
      }
    }
    EXPECT_EQ(drops, 1);
    EXPECT_EQ(throttled, 2);
    EXPECT_EQ(highest, 5);  // the window was used, never exceeded
    ASSERT_EQ(accepted.size(), size_t(kMessages));
    // Each file ended once: one "OK" line each in the outbound log, and the counters agree.
    std::string log;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(home.path() + "LOGS", ec)) {
      if (e.path().filename().string().rfind("SMSOUT", 0) == 0) log += ReadFileText(e.path().string());
    }
    EXPECT_EQ(Count(log, "OK -- " + connection), size_t(kMessages)) << log;
    std::set<std::string> retried;  // files that went back to the queue once at least
    for (size_t at = log.find("Retry Pending - "); at != std::string::npos; at = log.find("Retry Pending - ", at + 1)) {
      size_t lineStart = log.rfind('\n', at);
      lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
      size_t comma = log.find(',', lineStart), next = log.find(',', comma + 1);
      retried.insert(log.substr(comma + 1, next - comma - 1));
    }
    EXPECT_GE(retried.size(), 2u);  // the throttled two, and what the lost link left
    // An answer the server wrote just before it dropped the link may never arrive: such a
    // message went back to the queue and was accepted a second time. Nothing else is.
    for (const auto& [message, count] : accepted) {
      char file[32];
      snprintf(file, sizeof file, "0000%04X.req", unsigned(std::stoi(message.substr(4))));
      if (count != 1) {
        EXPECT_TRUE(count == 2 && retried.count(file) != 0) << message << " accepted " << count;
      }
    }
    EXPECT_EQ(CounterTotal(home.path(), "SMSSENT"), uint64_t(kMessages));
    EXPECT_EQ(CounterTotal(home.path(), "SMSRETRY"), retried.size());
    EXPECT_EQ(CounterTotal(home.path(), "SMSFAILED"), 0u);
    // The lost link is told in the debug log.
    std::string debug = home.DebugLog();
    EXPECT_GE(Count(debug, "Info -- SMPP Connection Error "), 1u) << debug;
    // Who recorded the outcomes: the thread numbers of the debug lines "Processing <file>"
    // (the worker) and "AddToThrottleResubmitQ" (the response processing).
    std::set<std::string> workerThreads, outcomeThreads;
    for (size_t at = 0; at < debug.size();) {
      size_t end = debug.find('\n', at);
      if (end == std::string::npos) end = debug.size();
      std::string l = debug.substr(at, end - at);
      at = end + 1;
      size_t open = l.find(" ["), close = l.find("] ");
      if (open == std::string::npos || close == std::string::npos) continue;
      std::string thread = l.substr(open + 2, close - open - 2);
      if (l.find(":  Processing 0000") != std::string::npos) workerThreads.insert(thread);
      if (l.find("AddToThrottleResubmitQ:") != std::string::npos) outcomeThreads.insert(thread);
    }
    ASSERT_EQ(workerThreads.size(), 1u) << debug;
    ASSERT_FALSE(outcomeThreads.empty()) << debug;
    EXPECT_EQ(outcomeThreads.count(*workerThreads.begin()) != 0, std::string(c.name) == "worker") << debug;
  }
}

struct AsyncGateway {
  NodeSmsc smsc;
  GatewayHome home;
  std::string connection;
  uint16_t webPort = FreeTcpPort();
  bool Start(const std::string& options) {
    if (!smsc.Start(kNpm, kScripts, options)) return false;
    connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
    return true;
  }
  void Configure(const std::string& sectionExtra) {
    home.WriteConfig({"WebPort=" + std::to_string(webPort), "Modem1=" + connection, "InitRetryDelay=1",
                      "InitRetryDelayMax=2", "Debug=Yes"},
                     "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nRetryDelay=60\r\n" + sectionExtra);
  }
  void Drop(const std::string& name, const std::string& text) {
    std::string queue = home.path() + "Q/";
    fs::create_directories(queue);
    WriteFileText(queue + ".~" + name + ".tmp", "[SMS]\r\nData=" + text + "\r\nPhoneNumber=4477\r\n");
    fs::rename(queue + ".~" + name + ".tmp", queue + name);
  }
};

// WindowSize and CommandTimeout changed in the configuration apply to the running session.
TEST(SmppAsync, WindowAndCommandTimeoutChangeWithoutReconnecting) {
  REQUIRE_NODE_SMPP();
  AsyncGateway g;
  // Answers held until three wait, or four seconds.
  ASSERT_TRUE(g.Start(R"({"holdCount":3,"holdMs":4000})"));
  g.Configure("WindowSize=1\r\nCommandTimeout=120\r\n");
  GatewayProcess p(g.home);
  std::string line;
  ASSERT_TRUE(g.smsc.node.WaitFor("PDU bind_transmitter ", line, 20000)) << p.Output();

  g.Configure("WindowSize=3\r\nCommandTimeout=120\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] {
    return g.home.DebugLog().find("SMPP window size 3, command timeout 120 seconds") != std::string::npos;
  })) << g.home.DebugLog();
  for (int i = 0; i < 3; ++i) g.Drop("0000AA0" + std::to_string(i) + ".req", "w" + std::to_string(i));
  // Three outstanding at once: the server answers only then.
  int submits = 0, answersBefore = 0;
  while (submits < 3 && g.smsc.node.ReadLine(line, 20000)) {
    if (line.rfind("PDU submit_sm ", 0) == 0) ++submits;
    if (line.rfind("RESP ", 0) == 0) ++answersBefore;
  }
  EXPECT_EQ(submits, 3);
  EXPECT_EQ(answersBefore, 0) << "the window stayed narrower than 3";
  ASSERT_TRUE(WaitUntil(20000, [&] { return QueuedFiles(g.home.path() + "Q") == 0; })) << p.Output();

  // A timeout shorter than the server's delay: the submit is given up and retried later.
  g.Configure("WindowSize=3\r\nCommandTimeout=1\r\n");
  ASSERT_TRUE(WaitUntil(20000, [&] {
    return g.home.DebugLog().find("SMPP window size 3, command timeout 1 seconds") != std::string::npos;
  }));
  g.Drop("0000AA10.req", "late");
  ASSERT_TRUE(WaitUntil(20000, [&] {
    return ReadFileText(g.home.path() + "Q/0000AA10.req").find("RetryCount=1\r\n") != std::string::npos;
  })) << ReadFileText(g.home.path() + "Q/0000AA10.req");
  int binds = 0;
  for (const std::string& l : g.smsc.node.lines()) binds += l.rfind("PDU bind_", 0) == 0;
  EXPECT_EQ(binds, 1) << "settings that take effect in place need no new session";
}

// SMSCSendLimit holds also when the window opens for several submits at once.
TEST(SmppAsync, SendLimitHoldsAfterAWindowWait) {
  REQUIRE_NODE_SMPP();
  AsyncGateway g;
  // Two answers wait for a third or 2.5 s: the window of two fills and opens at once.
  ASSERT_TRUE(g.Start(R"({"holdCount":3,"holdMs":2500,"stamps":true})"));
  g.Configure("WindowSize=2\r\nSMSCSendLimit=1\r\n");
  for (int i = 0; i < 5; ++i) g.Drop("0000BB0" + std::to_string(i) + ".req", "p" + std::to_string(i));
  GatewayProcess p(g.home);
  std::vector<long long> stamps;
  std::string line;
  while (stamps.size() < 5 && g.smsc.node.WaitFor("SUBMIT_AT ", line, 30000)) stamps.push_back(std::stoll(line.substr(10)));
  ASSERT_EQ(stamps.size(), 5u) << p.Output();
  // One a second; the margin is for the way over loopback, never half an interval.
  for (size_t i = 1; i < stamps.size(); ++i) EXPECT_GE(stamps[i] - stamps[i - 1], 900) << "submit " << i;
}

}  // namespace

namespace {
// The synchronous path paces by waiting on the link, and SMSCSendLimit holds there too.
TEST(SmppAsync, SendLimitHoldsOnTheSynchronousPath) {
  REQUIRE_NODE_SMPP();
  AsyncGateway g;
  ASSERT_TRUE(g.Start(R"({"stamps":true})"));
  g.Configure("WindowSize=0\r\nSMSCSendLimit=2\r\n");
  for (int i = 0; i < 4; ++i) g.Drop("0000CC0" + std::to_string(i) + ".req", "s" + std::to_string(i));
  GatewayProcess p(g.home);
  std::vector<long long> stamps;
  std::string line;
  while (stamps.size() < 4 && g.smsc.node.WaitFor("SUBMIT_AT ", line, 30000)) stamps.push_back(std::stoll(line.substr(10)));
  ASSERT_EQ(stamps.size(), 4u) << p.Output();
  for (size_t i = 1; i < stamps.size(); ++i) EXPECT_GE(stamps[i] - stamps[i - 1], 450) << "submit " << i;
}
}  // namespace
