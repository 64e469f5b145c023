// The real gateway's SMPP server against client applications of the npm "smpp" package:
// logins and their refusals, submissions as queue files, delivery of the user's queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/child_process.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/strace_log.h"
#include "tests/support/test_servers.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;

namespace {
const std::string kScript = std::string(SMPPSERVER_TEST_SCRIPTS) + "/smpp_client.js";
const std::string kNpm = SMPPSERVER_NPM_DIR;
const std::string kPeerScripts = SMPPSERVER_PEER_SCRIPTS;

#define REQUIRE_NODE_SMPP() \
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm

struct SmppGateway {
  WebGateway web;
  uint16_t smppPort = FreeTcpPort();
  std::unique_ptr<GatewayProcess> process;

  // straceArgs: the gateway runs under strace with these options.
  bool Start(std::vector<std::string> lines = {}, const std::string& extra = "",
             std::vector<std::string> straceArgs = {}) {
    lines.push_back("SMPPPort=" + std::to_string(smppPort));
    web.Configure(lines, extra);
    if (straceArgs.empty()) {
      process = std::make_unique<GatewayProcess>(web.home);
    } else {
      straceArgs.push_back(BinDirectory() + "qargate");
      process = std::make_unique<GatewayProcess>(web.home, "/usr/bin/strace", straceArgs);
    }
    return WaitReady(*process, web.port);
  }
  void AddUser(const std::vector<std::string>& args) {
    GatewayProcess tool(web.home, "qaruser", args);
    int code = -1;
    ASSERT_TRUE(tool.WaitExit(10000, code));
    ASSERT_EQ(code, 0) << tool.Output();
  }
  std::string Log() const { return web.home.DebugLog(); }
  // The outbound ".req" files, read and then removed.
  std::vector<std::string> TakeQueued() {
    std::vector<std::string> out;
    for (const std::string& path : FilesUnder(web.home.path() + "Q")) {
      if (path.size() < 4 || path.substr(path.size() - 4) != ".req") continue;
      out.push_back(ReadFileText(path));
      fs::remove(path);
    }
    return out;
  }
  std::string UserQueue(const std::string& user) const { return web.home.path() + "USERS/" + user + "/Q/"; }
};

// One client run: the lines it printed until it closed or timed out.
std::vector<std::string> RunClient(const std::string& planJson, int timeoutMs = 25000) {
  NodePeer node;
  std::vector<std::string> lines;
  if (!node.Start(kNpm, kScript, {planJson})) return lines;
  std::string line;
  while (node.ReadLine(line, timeoutMs)) {
    lines.push_back(line);
    if (line == "CLOSED" || line == "TIMEOUT") break;
  }
  return lines;
}

std::string Plan(uint16_t port, const std::string& bind, const std::string& user, const std::string& password,
                 const std::string& more = "") {
  return "{\"port\":" + std::to_string(port) + ",\"bind\":\"" + bind + "\",\"system_id\":\"" + user +
         "\",\"password\":\"" + password + "\"" + (more.empty() ? "" : "," + more) + "}";
}

std::string First(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) return l;
  return "";
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}
}  // namespace

// Every login rule with its bind_resp status: a wrong password and an unknown account look
// alike (0x0E); other refusals are 0x0D; a success in between resets the failure delay.
TEST(SmppServerE2e, LoginRulesAndStatuses) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "alice", "Secret", "--smpp"});
  g.AddUser({"add", "nosmpp", "pw"});
  g.AddUser({"add", "faraway", "pw", "--smpp", "--restrict-ip", "10.1.*.*"});
  g.AddUser({"add", "local", "pw", "--smpp", "--restrict-ip", "10.1.*.*; 127.0.0.*"});
  const struct {
    const char* user;
    const char* password;
    int status;
  } cases[] = {
      {"alice", "Secret", 0},   {"alice", "secret", 0},  // the password without case
      {"alice", "wrong", 14},   {"alice", "Secret", 0},  {"nobody", "Secret", 14}, {"alice", "Secret", 0},
      {"nosmpp", "pw", 13},     {"alice", "Secret", 0},  {"faraway", "pw", 13},    {"local", "pw", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> lines = RunClient(Plan(g.smppPort, "bind_transmitter", c.user, c.password));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(First(lines, "BIND_RESP"), "BIND_RESP " + std::to_string(c.status))
        << Joined(lines) << g.process->Output() << ReadFileText(g.web.home.path() + "LOGS/EXCEPT.LOG");
    // Each refusal follows a success, so it waits 1 s for the count plus 5 s.
    if (c.status != 0) {
      EXPECT_GE(seconds, 5.9);
    }
  }
  std::string log = g.Log();
  EXPECT_NE(log.find("Processing SMPP connection from 127.0.0.1..."), std::string::npos);
  EXPECT_NE(log.find("Releasing SMPP connection from 127.0.0.1"), std::string::npos);
  EXPECT_EQ(log.find("Secret"), std::string::npos) << "a password reached the debug log";
}

// A text becomes a queue file of the account; 161 GSM characters become two segments with
// one reference; the account's allowed sender replaces another.
TEST(SmppServerE2e, SubmissionsBecomeQueueFiles) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "bob", "pw", "--smpp", "--sender", "BOBCO,447700900999"});
  std::string longText(161, 'x');
  std::vector<std::string> lines = RunClient(Plan(
      g.smppPort, "bind_transmitter", "bob", "pw",
      "\"submits\":[{\"source_addr\":\"BOBCO\",\"destination_addr\":\"447700900123\",\"short_message\":\"hello\"},"
      "{\"source_addr\":\"BOBCO\",\"destination_addr\":\"447700900124\",\"short_message\":\"" + longText + "\"},"
      "{\"source_addr\":\"OTHER\",\"destination_addr\":\"447700900125\",\"short_message\":\"hi\"},"
      "{\"source_addr\":\"BOBCO\",\"destination_addr\":\"\",\"short_message\":\"nobody\"},"
      "{\"source_addr\":\"BOBCO\",\"destination_addr\":\"447700900126\",\"service_type\":\"A\\r\\nB\","
      "\"short_message\":\"forged\"}]"));
  ASSERT_EQ(CountPrefix(lines, "SUBMIT_RESP"), 5u) << Joined(lines);
  std::vector<std::string> responses;
  for (const std::string& l : lines)
    if (l.rfind("SUBMIT_RESP", 0) == 0) responses.push_back(l);
  EXPECT_EQ(responses[0].rfind("SUBMIT_RESP 0 ", 0), 0u) << responses[0];
  EXPECT_GT(responses[0].size(), std::string("SUBMIT_RESP 0 ").size());
  EXPECT_EQ(responses[1].rfind("SUBMIT_RESP 0 ", 0), 0u) << responses[1];
  EXPECT_EQ(responses[2].rfind("SUBMIT_RESP 0 ", 0), 0u) << responses[2];
  EXPECT_EQ(responses[3].rfind("SUBMIT_RESP 0 ", 0), std::string::npos) << responses[3];
  EXPECT_EQ(responses[4].rfind("SUBMIT_RESP 0 ", 0), 0u) << responses[4];

  std::vector<std::string> files = g.TakeQueued();
  ASSERT_EQ(files.size(), 5u);
  size_t segments = 0, plain = 0;
  std::string reference;
  for (const std::string& f : files) {
    EXPECT_NE(f.find("SubmitUser=bob\r\n"), std::string::npos) << f;
    EXPECT_NE(f.find("SubmittedBy=127.0.0.1\r\n"), std::string::npos) << f;
    EXPECT_EQ(f.find("dcs=01"), std::string::npos) << f;
    if (f.find("PhoneNumber=447700900126") != std::string::npos) {
      EXPECT_NE(f.find("\r\nServiceType=A  B\r\n"), std::string::npos) << f;
    }
    if (f.find("PhoneNumber=447700900124") != std::string::npos) {
      ++segments;
      size_t at = f.find("UDH=050003");
      ASSERT_NE(at, std::string::npos) << f;
      std::string ref = f.substr(at + 10, 2);
      if (reference.empty()) reference = ref;
      EXPECT_EQ(ref, reference);
    } else {
      ++plain;
    }
    if (f.find("PhoneNumber=447700900125") != std::string::npos) {
      EXPECT_NE(f.find("Sender=BOBCO\r\n"), std::string::npos) << f;
    }
  }
  EXPECT_EQ(segments, 2u);
  EXPECT_EQ(plain, 3u);
  EXPECT_NE(g.Log().find("inbound message:  sender=BOBCO, recip=447700900123"), std::string::npos);
}

// Files in the account's queue reach a receiver as deliver_sm and leave the queue; a file
// dropped while the client is bound leaves too, without a rescan.
TEST(SmppServerE2e, UserQueueDeliveredToReceiver) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "carol", "pw", "--smpp", "--receive"});
  std::string q = g.UserQueue("carol");
  WriteFileText(q + "first.req", "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=one\r\n");
  WriteFileText(q + "sub/second.req", "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900003\r\nData=two\r\n");
  WriteFileText(q + "report.req",
                "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900004\r\nData=id:77 stat:DELIVRD\r\n"
                "ReceiptDelivered=Yes\r\nReceiptMessageId=77\r\n");
  NodePeer node;
  ASSERT_TRUE(node.Start(kNpm, kScript, {Plan(g.smppPort, "bind_receiver", "carol", "pw",
                                              "\"expectDeliveries\":4,\"hold\":500")}));
  std::string line;
  ASSERT_TRUE(node.WaitFor("BIND_RESP 0", line, 10000));
  std::vector<std::string> delivered;
  for (int i = 0; i < 3 && node.WaitFor("DELIVER ", line, 10000); ++i) delivered.push_back(line);
  ASSERT_EQ(delivered.size(), 3u) << Joined(node.lines());
  {
    // A file another program has made but not yet written waits for its content.
    std::ofstream late(q + "late.req", std::ios::binary);
    EXPECT_FALSE(node.WaitFor("DELIVER ", line, 1000)) << line;
    late << "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900005\r\nData=late\r\n";
  }
  ASSERT_TRUE(node.WaitFor("DELIVER ", line, 3000)) << Joined(node.lines());
  delivered.push_back(line);
  std::string all = Joined(delivered);
  for (const char* text : {"\"text\":\"one\"", "\"text\":\"two\"", "\"text\":\"late\""})
    EXPECT_NE(all.find(text), std::string::npos) << all;
  std::string report;
  for (const std::string& d : delivered)
    if (d.find("447700900004") != std::string::npos) report = d;
  EXPECT_NE(report.find("\"esm_class\":4"), std::string::npos) << report;
  EXPECT_NE(report.find("\"receipted_message_id\":\"77\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"message_state\":2"), std::string::npos) << report;
  EXPECT_TRUE(WaitUntil(3000, [&] { return FilesUnder(q).empty(); })) << Joined(FilesUnder(q));
}

// A client that refuses a message for good makes it leave; "throttled" keeps it with its
// retry state.
TEST(SmppServerE2e, DeliveryAnswersDecideTheFile) {
  REQUIRE_NODE_SMPP();
  const struct {
    int answer;
    bool kept;
  } cases[] = {{0x58, true}, {0x14, true}, {0x45, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    SmppGateway g;
    ASSERT_TRUE(g.Start());
    g.AddUser({"add", "dave", "pw", "--smpp", "--receive"});
    std::string path = g.UserQueue("dave") + "one.req";
    WriteFileText(path, "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=one\r\n");
    std::vector<std::string> lines = RunClient(Plan(g.smppPort, "bind_transceiver", "dave", "pw",
                                                    "\"expectDeliveries\":1,\"hold\":300,\"answer\":" +
                                                        std::to_string(c.answer)));
    EXPECT_EQ(CountPrefix(lines, "DELIVER "), 1u) << Joined(lines);
    EXPECT_EQ(fs::exists(path), c.kept);
    if (c.kept) {
      EXPECT_NE(ReadFileText(path).find("[ErrorDetail]\r\nRetryCount=1\r\n"), std::string::npos);
    }
  }
}

// The connection limit of the account ("N/S/C") refuses the next bind with 0x0D.
TEST(SmppServerE2e, ConnectionLimitPerAccount) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "erin", "pw", "--smpp", "--throttle", "100/1/1"});
  NodePeer first;
  ASSERT_TRUE(first.Start(kNpm, kScript, {Plan(g.smppPort, "bind_transmitter", "erin", "pw", "\"stay\":true")}));
  std::string line;
  ASSERT_TRUE(first.WaitFor("BIND_RESP", line, 10000));
  EXPECT_EQ(line, "BIND_RESP 0");
  std::vector<std::string> second = RunClient(Plan(g.smppPort, "bind_transmitter", "erin", "pw"));
  EXPECT_EQ(First(second, "BIND_RESP"), "BIND_RESP 13") << Joined(second);
  EXPECT_NE(g.Log().find("SMPP Connection rejected, connection count for user erin exceeds maximum of 1"),
            std::string::npos);
  // The flag file of the bound session is held, named by address, port, bind letter and account.
  bool flagged = false;
  for (const std::string& f : FilesUnder(g.web.home.path() + "PRIVATE/SMPPData/ActiveUsers"))
    if (f.find("-S-erin.FLG") != std::string::npos) flagged = true;
  EXPECT_TRUE(flagged);
}

// Account changes end open sessions at the next account check, each with its line; an
// idle session is closed.
TEST(SmppServerE2e, SessionsEndOnAccountChangesAndIdleness) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start({"SMPPServerValidateUserInterval=1", "SMPPServerEnquireLink=4"}));
  const struct {
    const char* user;
    std::vector<std::string> change;  // qaruser arguments
    const char* line;
  } cases[] = {
      {"frank", {"delete", "frank"}, "Connection terminated - user account deleted"},
      {"gina", {"add", "gina", "newpw", "--smpp"}, "Connection terminated - account password is no longer valid"},
      {"hugo", {"add", "hugo", "pw"}, "Connection terminated - SMPP access is not enabled for account"},
      {"iris", {"add", "iris", "pw", "--smpp", "--restrict-ip", "10.9.*.*"},
       "Connection terminated - IP address restrictions have changed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    g.AddUser({"add", c.user, "pw", "--smpp"});
    NodePeer client;
    ASSERT_TRUE(client.Start(kNpm, kScript, {Plan(g.smppPort, "bind_transmitter", c.user, "pw", "\"stay\":true")}));
    std::string line;
    ASSERT_TRUE(client.WaitFor("BIND_RESP 0", line, 10000));
    g.AddUser(c.change);
    EXPECT_TRUE(client.WaitFor("CLOSED", line, 3500)) << Joined(client.lines());
    EXPECT_NE(g.Log().find(c.line), std::string::npos);
  }
  g.AddUser({"add", "jane", "pw", "--smpp"});
  NodePeer idle;
  ASSERT_TRUE(idle.Start(kNpm, kScript, {Plan(g.smppPort, "bind_transmitter", "jane", "pw", "\"stay\":true")}));
  std::string line;
  ASSERT_TRUE(idle.WaitFor("BIND_RESP 0", line, 10000));
  EXPECT_TRUE(idle.WaitFor("CLOSED", line, 8000)) << Joined(idle.lines());
  EXPECT_NE(g.Log().find("Closing inactive connection"), std::string::npos);
}

// With a window, deliveries go out without waiting for each answer, never more than the
// window at once; each file ends once. A client that drops the link or never answers keeps
// the files it has not accepted, with their retry state.
TEST(SmppServerE2e, WindowedDelivery) {
  REQUIRE_NODE_SMPP();
  const struct {
    const char* name;
    const char* plan;
    size_t files;
    bool kept;
  } cases[] = {
      {"answered", "\"expectDeliveries\":150,\"answerDelay\":20,\"hold\":300", 150, false},
      {"dropped", "\"expectDeliveries\":10,\"silent\":true,\"drop\":true", 30, true},
      {"silent", "\"expectDeliveries\":10,\"silent\":true,\"hold\":200", 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SmppGateway g;
    ASSERT_TRUE(g.Start({"SMPPServerAsyncWindowSize=5"}, "[SMPPServerAsyncWindowSize]\r\nhenry=10\r\n"));
    g.AddUser({"add", "henry", "pw", "--smpp", "--receive"});
    std::string q = g.UserQueue("henry");
    for (size_t i = 0; i < c.files; ++i)
      WriteFileText(q + "m" + std::to_string(1000 + i) + ".req",
                    "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=n" + std::to_string(i) + "\r\n");
    std::vector<std::string> lines = RunClient(Plan(g.smppPort, "bind_receiver", "henry", "pw", c.plan), 40000);
    std::string maxLine = First(lines, "MAX_INFLIGHT ");
    ASSERT_FALSE(maxLine.empty()) << Joined(lines);
    EXPECT_LE(std::stoi(maxLine.substr(13)), 10) << "the window was exceeded";
    if (!c.kept) {
      EXPECT_EQ(CountPrefix(lines, "DELIVER "), c.files);
      EXPECT_TRUE(WaitUntil(5000, [&] { return FilesUnder(q).empty(); })) << FilesUnder(q).size();
      continue;
    }
    // Every file is still there once the session has ended; those out at the end carry their retry state.
    ASSERT_TRUE(WaitUntil(15000, [&] { return g.Log().find("Releasing SMPP connection") != std::string::npos; }));
    std::vector<std::string> left = FilesUnder(q);
    EXPECT_EQ(left.size(), c.files);
    size_t retried = 0;
    for (const std::string& f : left)
      if (ReadFileText(f).find("[ErrorDetail]\r\nRetryCount=1\r\n") != std::string::npos) ++retried;
    EXPECT_EQ(retried, 10u);
  }
}

// Over TLS on SMPPPortSSL the same session runs: a bind, a submission, a delivery. openssl
// s_client completes a handshake with the gateway's certificate.
TEST(SmppServerE2e, TlsSessions) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  uint16_t tlsPort = FreeTcpPort();
  ASSERT_TRUE(g.Start({"SMPPPortSSL=" + std::to_string(tlsPort)}));
  g.AddUser({"add", "ivy", "pw", "--smpp", "--receive"});
  WriteFileText(g.UserQueue("ivy") + "one.req",
                "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=over tls\r\n");
  std::vector<std::string> lines = RunClient(Plan(
      tlsPort, "bind_transceiver", "ivy", "pw",
      "\"tls\":true,\"expectDeliveries\":1,\"hold\":500,"
      "\"submits\":[{\"source_addr\":\"IVY\",\"destination_addr\":\"447700900123\",\"short_message\":\"secret\"}]"));
  EXPECT_EQ(First(lines, "BIND_RESP"), "BIND_RESP 0") << Joined(lines);
  EXPECT_EQ(First(lines, "SUBMIT_RESP").rfind("SUBMIT_RESP 0 ", 0), 0u) << Joined(lines);
  EXPECT_NE(First(lines, "DELIVER ").find("\"text\":\"over tls\""), std::string::npos) << Joined(lines);
  std::vector<std::string> files = g.TakeQueued();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find("SubmitUser=ivy\r\n"), std::string::npos);

  std::string out = g.web.home.path() + "s_client.txt";
  std::string command = "timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(tlsPort) +
                        " </dev/null >'" + out + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()) == -1, false);
  std::string handshake = ReadFileText(out);
  EXPECT_NE(handshake.find("BEGIN CERTIFICATE"), std::string::npos) << handshake;
  EXPECT_NE(handshake.find("Cipher is"), std::string::npos) << handshake;
}

// Ten refused logins at once: each waits a second longer than the one before, the tenth
// 15 s; a success then resets the delay. The fifth connection of an account with the
// default maximum is refused.
TEST(SmppServerE2e, SharedFailedLoginDelayAndDefaultMaximum) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "jack", "pw", "--smpp"});
  auto started = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<NodePeer>> failing;
  for (int i = 0; i < 10; ++i) {
    failing.push_back(std::make_unique<NodePeer>());
    ASSERT_TRUE(failing.back()->Start(kNpm, kScript,
                                      {Plan(g.smppPort, "bind_transmitter", "jack", "bad", "\"timeout\":40000")}));
  }
  std::vector<double> seconds;
  for (auto& peer : failing) {
    std::string line;
    ASSERT_TRUE(peer->WaitFor("BIND_RESP", line, 30000));
    EXPECT_EQ(line, "BIND_RESP 14");
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  double last = *std::max_element(seconds.begin(), seconds.end());
  EXPECT_GE(last, 14.9);
  // The waits run side by side: one after the other they would take 105 s. The bound leaves
  // room for ten clients starting on a loaded machine.
  EXPECT_LT(last, 60.0);

  std::vector<std::unique_ptr<NodePeer>> bound;
  for (int i = 0; i < 4; ++i) {
    bound.push_back(std::make_unique<NodePeer>());
    ASSERT_TRUE(bound.back()->Start(kNpm, kScript,
                                    {Plan(g.smppPort, "bind_transmitter", "jack", "pw", "\"stay\":true")}));
    std::string line;
    ASSERT_TRUE(bound.back()->WaitFor("BIND_RESP", line, 10000));
    EXPECT_EQ(line, "BIND_RESP 0");
  }
  // The successes reset the count: the fifth connection's refusal waits 6 s, not 16.
  auto fifthStart = std::chrono::steady_clock::now();
  std::vector<std::string> fifth = RunClient(Plan(g.smppPort, "bind_transmitter", "jack", "pw"));
  double fifthSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - fifthStart).count();
  EXPECT_EQ(First(fifth, "BIND_RESP"), "BIND_RESP 13") << Joined(fifth);
  EXPECT_GE(fifthSeconds, 5.9);
  EXPECT_LT(fifthSeconds, 15.0);  // 16 s if the count had not been reset
  EXPECT_NE(g.Log().find("SMPP Connection rejected, connection count for user jack exceeds maximum of 4"),
            std::string::npos);
}

// An account limited to 5 messages a second gets its submit responses paced.
TEST(SmppServerE2e, SubmissionsPacedToTheAccountRate) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "kate", "pw", "--smpp", "--throttle", "5/1"});
  std::string submits;
  for (int i = 0; i < 11; ++i)
    submits += std::string(i ? "," : "") + "{\"source_addr\":\"K\",\"destination_addr\":\"4477009001" +
               std::to_string(10 + i) + "\",\"short_message\":\"m\"}";
  auto started = std::chrono::steady_clock::now();
  std::vector<std::string> lines =
      RunClient(Plan(g.smppPort, "bind_transmitter", "kate", "pw", "\"submits\":[" + submits + "]"));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(CountPrefix(lines, "SUBMIT_RESP 0 "), 11u) << Joined(lines);
  // Eleven submissions 200 ms apart take at least two seconds.
  EXPECT_GE(seconds, 2.0);
  EXPECT_EQ(g.TakeQueued().size(), 11u);
}

namespace {
std::string BinarySubmit(const std::string& recipient, const std::string& udh, const std::string& hex) {
  return "{\"source_addr\":\"S\",\"destination_addr\":\"" + recipient + "\",\"udh\":\"" + udh + "\",\"hex\":\"" + hex +
         "\"}";
}

// The reference of the concatenation element in a file's UDH line ("" without one).
std::string FileReference(const std::string& file) {
  size_t at = file.find("UDH=");
  if (at == std::string::npos) return "";
  std::string udh = file.substr(at + 4, file.find("\r\n", at) - at - 4);
  if (udh.size() >= 10 && udh.compare(2, 4, "0003") == 0) return udh.substr(6, 2);
  if (udh.size() >= 12 && udh.compare(2, 4, "0804") == 0) return udh.substr(6, 4);
  return "";
}
}  // namespace

// Segments a client split itself keep their order and count, but the reference becomes the
// gateway's own per message: two clients using one reference for one recipient stay apart,
// 16-bit references stay 16-bit, and a header without concatenation is kept as given.
TEST(SmppServerE2e, ClientSegmentsGetTheirOwnReferences) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "lara", "pw", "--smpp"});
  g.AddUser({"add", "mike", "pw", "--smpp"});
  const std::string to = "447700900777";
  std::set<std::string> answeredIds;
  for (const char* user : {"lara", "mike"}) {
    std::vector<std::string> lines = RunClient(Plan(
        g.smppPort, "bind_transmitter", user, "pw",
        "\"submits\":[" + BinarySubmit(to, "050003420201", "AABB") + "," + BinarySubmit(to, "050003420202", "CCDD") +
            "," + BinarySubmit(to, "0608041234020" + std::string("1"), "EEFF") + "," +
            BinarySubmit(to, "06050400000000", "0102") + "]"));
    ASSERT_EQ(CountPrefix(lines, "SUBMIT_RESP 0 "), 4u) << Joined(lines);
    for (const std::string& l : lines)
      if (l.rfind("SUBMIT_RESP 0 ", 0) == 0) answeredIds.insert(l.substr(14));
  }
  std::map<std::string, std::string> files;  // file name -> text
  for (const std::string& path : FilesUnder(g.web.home.path() + "Q"))
    if (path.size() > 4 && path.substr(path.size() - 4) == ".req") files[fs::path(path).filename().string()] = ReadFileText(path);
  ASSERT_EQ(files.size(), 8u);
  std::set<std::string> fileIds;
  std::map<std::string, std::vector<std::string>> references;  // user/kind -> references
  for (const auto& [name, f] : files) {
    fileIds.insert(name.substr(0, name.size() - 4));
    std::string user = f.find("SubmitUser=lara") != std::string::npos ? "lara" : "mike";
    if (f.find("UDH=06050400000000") != std::string::npos) {
      references[user + "/ports"].push_back("kept");
      EXPECT_NE(name.rfind("SAR-", 0), 0u) << name;
      continue;
    }
    std::string ref = FileReference(f);
    ASSERT_FALSE(ref.empty()) << f;
    references[user + (ref.size() == 4 ? "/16" : "/8")].push_back(ref);
    // Named as a segment of its message: reference, count and number of its header.
    size_t udh = f.find("UDH=") + 4;
    std::string tail = f.substr(udh + 6 + ref.size(), 4);  // count and number
    char expected[80];
    snprintf(expected, sizeof expected, "SAR-%s-%lx-%lu-%lu.req", to.c_str(), std::stoul(ref, nullptr, 16),
             std::stoul(tail.substr(0, 2), nullptr, 16), std::stoul(tail.substr(2, 2), nullptr, 16));
    EXPECT_EQ(name, expected) << f;
  }
  EXPECT_EQ(answeredIds, fileIds);  // each answer names its file
  ASSERT_EQ(references["lara/8"].size(), 2u);
  ASSERT_EQ(references["mike/8"].size(), 2u);
  EXPECT_EQ(references["lara/8"][0], references["lara/8"][1]);
  EXPECT_EQ(references["mike/8"][0], references["mike/8"][1]);
  EXPECT_NE(references["lara/8"][0], references["mike/8"][0]);
  EXPECT_EQ(references["lara/16"].size(), 1u);
  EXPECT_EQ(references["mike/16"].size(), 1u);
  EXPECT_EQ(references["lara/ports"].size(), 1u);
}

// Refusals by the quota (0x58) and by the accounting callback (its own status) leave
// nothing queued; a long message is counted by its segments.
TEST(SmppServerE2e, QuotaAndPreAuthorisationRefusals) {
  REQUIRE_NODE_SMPP();
  ScriptedServer callback([](const std::string& request, int, int) {
    std::string body = request.find("To=447700900999") != std::string::npos ? "SMPPErrorCode=0x45" : "OK";
    return ScriptedReply{"HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body,
                         true};
  });
  SmppGateway g;
  ASSERT_TRUE(g.Start({"DefaultMsgLimitPerDay=3", "AccountingKeepAlive=No",
                       "SMSAccountingURL=http://127.0.0.1:" + std::to_string(callback.port()) + "/cb"}));
  g.AddUser({"add", "nina", "pw", "--smpp"});
  std::string text = "\"source_addr\":\"N\",\"short_message\":\"hi\"";
  std::vector<std::string> lines = RunClient(Plan(
      g.smppPort, "bind_transmitter", "nina", "pw",
      "\"submits\":[{\"destination_addr\":\"447700900999\"," + text + "},"
      "{\"destination_addr\":\"447700900001\"," + text + "},"
      "{\"destination_addr\":\"447700900002\",\"source_addr\":\"N\",\"short_message\":\"" + std::string(200, 'y') + "\"},"
      "{\"destination_addr\":\"447700900003\"," + text + "}]"));
  std::vector<std::string> responses;
  for (const std::string& l : lines)
    if (l.rfind("SUBMIT_RESP", 0) == 0) responses.push_back(l.substr(0, l.find(' ', 12)));
  ASSERT_EQ(responses.size(), 4u) << Joined(lines);
  EXPECT_EQ(responses[0], "SUBMIT_RESP 69");  // the callback's status
  EXPECT_EQ(responses[1], "SUBMIT_RESP 0");
  EXPECT_EQ(responses[2], "SUBMIT_RESP 0");   // two segments: the quota of 3 is used up
  EXPECT_EQ(responses[3], "SUBMIT_RESP 88");  // over quota: 0x58
  std::vector<std::string> files = g.TakeQueued();
  EXPECT_EQ(files.size(), 3u);
  for (const std::string& f : files) EXPECT_EQ(f.find("447700900999"), std::string::npos) << f;
  EXPECT_NE(g.Log().find("User over quota"), std::string::npos);
}

// A message_payload longer than a queue file holds (more than the concatenation counter
// could number as well) is refused whole with 0x01; a data_sm is taken like a submit_sm.
TEST(SmppServerE2e, OverlongPayloadRefusedWholeAndDataSm) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "olga", "pw", "--smpp"});
  std::vector<std::string> lines = RunClient(Plan(
      g.smppPort, "bind_transmitter", "olga", "pw",
      "\"submits\":[{\"source_addr\":\"O\",\"destination_addr\":\"447700900201\",\"message_payload\":\"" +
          std::string(40000, 'p') + "\"},{\"source_addr\":\"O\",\"destination_addr\":\"447700900202\","
          "\"message_payload\":\"" + std::string(300, 'q') + "\"}],\"dataSm\":{\"source_addr\":\"O\","
          "\"destination_addr\":\"447700900203\",\"message_payload\":\"by datasm\"}"));
  std::vector<std::string> responses;
  for (const std::string& l : lines)
    if (l.rfind("SUBMIT_RESP", 0) == 0 || l.rfind("DATA_SM_RESP", 0) == 0) responses.push_back(l.substr(0, l.find(' ', 13)));
  ASSERT_EQ(responses.size(), 3u) << Joined(lines);
  EXPECT_EQ(responses[0], "SUBMIT_RESP 1");
  EXPECT_EQ(responses[1], "SUBMIT_RESP 0");
  EXPECT_EQ(responses[2], "DATA_SM_RESP 0");
  size_t first = 0, second = 0, data = 0;
  for (const std::string& f : g.TakeQueued()) {
    if (f.find("447700900201") != std::string::npos) ++first;
    if (f.find("447700900202") != std::string::npos) ++second;
    if (f.find("447700900203") != std::string::npos) {
      ++data;
      EXPECT_NE(f.find("Data=by datasm"), std::string::npos) << f;
    }
  }
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(data, 1u);
}

// tshark decodes a whole session on the loopback as SMPP without a malformed PDU: the
// bind_resp, the submit_sm_resp with the id given, and a report as deliver_sm with
// esm_class 0x04, receipted_message_id and message_state.
TEST(SmppServerE2e, WireDecodedByTshark) {
  REQUIRE_NODE_SMPP();
  if (std::system("tshark -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "pete", "pw", "--smpp", "--receive"});
  WriteFileText(g.UserQueue("pete") + "report.req",
                "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900004\r\nData=id:77 stat:DELIVRD\r\n"
                "ReceiptDelivered=Yes\r\nReceiptMessageId=77\r\n");
  std::string capture = g.web.home.path() + "smpp.pcap";
  std::string port = std::to_string(g.smppPort);
  ChildProcess dumper;
  ASSERT_TRUE(dumper.Start({"tshark", "-i", "lo", "-f", "tcp port " + port, "-w", capture}));
  ASSERT_TRUE(WaitUntil(10000, [&] { return fs::exists(capture); }));
  usleep(500000);
  std::vector<std::string> lines = RunClient(Plan(
      g.smppPort, "bind_transceiver", "pete", "pw",
      "\"expectDeliveries\":1,\"hold\":500,"
      "\"submits\":[{\"source_addr\":\"P\",\"destination_addr\":\"447700900123\",\"short_message\":\"wire\"}]"));
  std::string submitted = First(lines, "SUBMIT_RESP 0 ");
  ASSERT_FALSE(submitted.empty()) << Joined(lines);
  std::string id = submitted.substr(14);
  usleep(500000);
  dumper.Stop(3000);
  std::string fields = g.web.home.path() + "fields.txt";
  std::string command = "tshark -r '" + capture + "' -d tcp.port==" + port +
                        ",smpp -T fields -E separator=, -e smpp.command_id -e smpp.command_status -e smpp.message_id "
                        "-e smpp.esm.submit.msg_type -e smpp.receipted_message_id -e smpp.message_state -e _ws.malformed"
                        " -Y smpp >'" + fields + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string decoded = ReadFileText(fields);
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("0x80000009,0x00000000"), std::string::npos) << decoded;                 // bind_transceiver_resp
  EXPECT_NE(decoded.find("0x80000004,0x00000000," + id + ","), std::string::npos) << decoded;   // submit_sm_resp
  EXPECT_NE(decoded.find("0x00000005,,,0x01,77,2"), std::string::npos) << decoded;        // the report
}

namespace {
// True when the peer closes the connection within ms (whatever it answered first).
bool ClosedWithin(int fd, int ms) {
  char buffer[4096];
  for (int waited = 0; waited < ms;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) == 1) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    } else {
      waited += 100;
    }
  }
  return false;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(char(v));
  return s;
}
}  // namespace

// Clients that send garbage, an impossible length or a broken PDU after their bind are
// dropped; a session bound meanwhile keeps working and the gateway keeps running.
TEST(SmppServerE2e, GarbageClientsDroppedOthersUnharmed) {
  REQUIRE_NODE_SMPP();
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "quinn", "pw", "--smpp"});
  NodePeer bound;
  ASSERT_TRUE(bound.Start(kNpm, kScript, {Plan(g.smppPort, "bind_transmitter", "quinn", "pw", "\"stay\":true")}));
  std::string line;
  ASSERT_TRUE(bound.WaitFor("BIND_RESP 0", line, 10000));
  // bind_transmitter of quinn/pw, as the wire carries it.
  std::string bind = Bytes({0, 0, 0, 0x1E, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1}) + "quinn" + std::string(1, '\0') + "pw" +
                     std::string(1, '\0') + std::string(1, '\0') + Bytes({0x34, 0, 0}) + std::string(1, '\0');
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"text", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"huge length", Bytes({0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 1})},
      {"short length", Bytes({0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 1})},
      {"bind then huge length", bind + Bytes({0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 2})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = ConnectLoopback(g.smppPort);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), ssize_t(c.bytes.size()));
    EXPECT_TRUE(ClosedWithin(fd, 10000));
    close(fd);
  }
  EXPECT_TRUE(g.process->Running());
  std::vector<std::string> after = RunClient(Plan(
      g.smppPort, "bind_transmitter", "quinn", "pw",
      "\"submits\":[{\"source_addr\":\"Q\",\"destination_addr\":\"447700900301\",\"short_message\":\"still\"}]"));
  EXPECT_FALSE(First(after, "SUBMIT_RESP 0 ").empty()) << Joined(after);
}

// qaruser takes the address list, the allowed senders and the rate of an account only in
// forms the server can use.
TEST(SmppServerE2e, QaruserAccountOptionsValidated) {
  GatewayHome home;
  home.WriteConfig({});
  const struct {
    std::vector<std::string> options;
    int code;
  } cases[] = {
      {{"--throttle", "10"}, 0},           {{"--throttle", "10/2"}, 0},       {{"--throttle", "10/2/3"}, 0},
      {{"--throttle", "0"}, 1},            {{"--throttle", "10/"}, 1},        {{"--throttle", "1/2/3/4"}, 1},
      {{"--throttle", "ten"}, 1},          {{"--throttle", "1234567890"}, 1}, {{"--restrict-ip", "10.1.*.*;127.0.0.1"}, 0},
      {{"--restrict-ip", "host.example"}, 1}, {{"--restrict-ip", ""}, 1},    {{"--sender", "ACME,447700900999"}, 0},
      {{"--sender", "A\nB"}, 1},           {{"--sender", std::string(21, '4')}, 1}, {{"--throttle"}, 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"add", "acct", "pw", "--smpp"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    SCOPED_TRACE(Joined(args));
    GatewayProcess tool(home, "qaruser", args);
    int code = -1;
    ASSERT_TRUE(tool.WaitExit(10000, code));
    EXPECT_EQ(code, c.code) << tool.Output();
  }
}

// With the inbound side: a transceiver's submission leaves through an SMS centre, whose
// delivery report returns to the client naming the id the client was given; a message the
// centre delivers to a number routed to the account reaches the client too.
TEST(SmppServerE2e, ReportsAndRoutedMessagesReachTheClient) {
  REQUIRE_NODE_SMPP();
  NodePeer smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kPeerScripts + "/smsc_server.js", {"{}"}));
  std::string line;
  ASSERT_TRUE(smsc.WaitFor("LISTENING ", line, 10000));
  std::string connection = "SMPP - 127.0.0.1:" + line.substr(10);
  SmppGateway g;
  ASSERT_TRUE(g.Start({"Modem1=" + connection, "ReceiveSMS=Yes", "InitRetryDelay=1", "InitRetryDelayMax=2"},
                      "[" + connection +
                          "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n"
                          "[Inbound SMS Routing]\r\nerin=7777\r\n"));
  g.AddUser({"add", "erin", "pw", "--smpp", "--receive"});
  // Made at start for the accounts then known; erin came later.
  WriteFileText(g.web.home.path() + "USERS/erin/RECV.FLG", "");
  ASSERT_TRUE(smsc.WaitFor("PDU bind_transceiver ", line, 20000)) << g.process->Output();

  NodePeer client;
  ASSERT_TRUE(client.Start(kNpm, kScript,
                           {Plan(g.smppPort, "bind_transceiver", "erin", "pw",
                                 "\"submits\":[{\"source_addr\":\"556\",\"destination_addr\":\"4478\","
                                 "\"short_message\":\"report me\",\"registered_delivery\":1}],"
                                 "\"expectDeliveries\":2,\"timeout\":60000")}));
  ASSERT_TRUE(client.WaitFor("SUBMIT_RESP ", line, 10000)) << Joined(client.lines());
  ASSERT_EQ(line.rfind("SUBMIT_RESP 0 ", 0), 0u) << line;
  std::string id = line.substr(14);
  ASSERT_FALSE(id.empty());
  // The centre numbers its ids MSG1, MSG2, ...: this is MSG1.
  ASSERT_TRUE(smsc.WaitFor("PDU submit_sm ", line, 20000)) << g.Log();
  EXPECT_NE(line.find("report me"), std::string::npos) << line;
  EXPECT_NE(line.find("\"registered_delivery\":1"), std::string::npos) << line;
  // The centre's id is recorded once the file has left the queue.
  ASSERT_TRUE(WaitUntil(10000, [&] {
    for (const std::string& f : FilesUnder(g.web.home.path() + "Q"))
      if (f.size() > 4 && f.substr(f.size() - 4) == ".req") return false;
    return true;
  })) << Joined(FilesUnder(g.web.home.path() + "Q"));

  smsc.Send(R"(deliver {"source_addr":"4478","destination_addr":"556","esm_class":4,)"
            R"("short_message":"id:MSG1 sub:001 dlvrd:001 submit date:2612071200 )"
            R"(done date:2612071201 stat:DELIVRD err:000 text:report me"})");
  ASSERT_TRUE(smsc.WaitFor("DELIVER_RESP ", line, 10000));
  EXPECT_EQ(line, "DELIVER_RESP 0");
  ASSERT_TRUE(client.WaitFor("DELIVER ", line, 20000)) << Joined(client.lines()) << g.Log();
  EXPECT_NE(line.find("\"esm_class\":4"), std::string::npos) << line;
  EXPECT_NE(line.find("\"receipted_message_id\":\"" + id + "\""), std::string::npos) << line;
  EXPECT_NE(line.find("id:" + id + " "), std::string::npos) << line;
  EXPECT_NE(line.find("stat:DELIVRD"), std::string::npos) << line;
  EXPECT_NE(line.find("\"message_state\":2"), std::string::npos) << line;

  smsc.Send(R"(deliver {"source_addr":"447700900112","destination_addr":"7777","short_message":"routed to erin"})");
  ASSERT_TRUE(smsc.WaitFor("DELIVER_RESP ", line, 10000));
  EXPECT_EQ(line, "DELIVER_RESP 0");
  ASSERT_TRUE(client.WaitFor("DELIVER ", line, 20000)) << Joined(client.lines()) << g.Log();
  EXPECT_NE(line.find("\"text\":\"routed to erin\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"source_addr\":\"447700900112\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"esm_class\":0"), std::string::npos) << line;
  ASSERT_TRUE(client.WaitFor("CLOSED", line, 10000));
  EXPECT_TRUE(WaitUntil(3000, [&] { return FilesUnder(g.UserQueue("erin")).empty(); }))
      << Joined(FilesUnder(g.UserQueue("erin")));
}

namespace {
std::string Be32(uint32_t v) { return Bytes({int(v >> 24), int((v >> 16) & 0xFF), int((v >> 8) & 0xFF), int(v & 0xFF)}); }

std::string PduBytes(uint32_t commandId, uint32_t sequence, const std::string& body) {
  return Be32(uint32_t(16 + body.size())) + Be32(commandId) + Be32(0) + Be32(sequence) + body;
}

std::string CString(const std::string& s) { return s + std::string(1, '\0'); }

std::string Bind(uint32_t command, const std::string& user, const std::string& password) {
  return PduBytes(command, 1, CString(user) + CString(password) + CString("") + Bytes({0x34, 0, 0}) + CString(""));
}

std::string BindTransmitter(const std::string& user, const std::string& password) { return Bind(0x02, user, password); }

std::string SubmitSm(uint32_t sequence, const std::string& recipient, const std::string& text) {
  std::string body = CString("") + Bytes({0, 0}) + CString("S") + Bytes({1, 1}) + CString(recipient) +
                     Bytes({0, 0, 0}) + CString("") + CString("") + Bytes({0, 0, 0, 0, int(text.size())}) + text;
  return PduBytes(0x04, sequence, body);
}

struct ReceivedPdu {
  uint32_t commandId = 0, status = 0, sequence = 0;
  std::string body;
};

// Reads PDUs until count have come or the link closes, each within waitMs; arrived: when
// each came, in seconds from the call.
std::vector<ReceivedPdu> ReadPdus(int fd, size_t count, int waitMs, std::vector<double>* arrived = nullptr) {
  auto started = std::chrono::steady_clock::now();
  std::vector<ReceivedPdu> pdus;
  std::string buffer;
  auto be32 = [&](size_t at) {
    return uint32_t(uint8_t(buffer[at])) << 24 | uint32_t(uint8_t(buffer[at + 1])) << 16 |
           uint32_t(uint8_t(buffer[at + 2])) << 8 | uint32_t(uint8_t(buffer[at + 3]));
  };
  while (pdus.size() < count) {
    if (buffer.size() >= 16 && buffer.size() >= be32(0)) {
      uint32_t length = be32(0);
      if (length < 16) break;
      pdus.push_back({be32(4), be32(8), be32(12), buffer.substr(16, length - 16)});
      if (arrived) arrived->push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      buffer.erase(0, length);
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) != 1) break;
    char chunk[4096];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    buffer.append(chunk, size_t(n));
  }
  return pdus;
}

// What an strace -f -x log shows of accepted submissions: queue files linked, file system
// flushes, submit_sm_resp sent (several may share a write), and those sent while a linked
// file was not yet covered by a flush begun after its link.
FlushCoverage ReadSubmitTrace(const std::string& text) {
  return ReadFlushCoverage(text, [](const std::string& call) { return call.find(".req\"") != std::string::npos; },
                           "\\x80\\x00\\x00\\x04");
}
}  // namespace

// A window of submit_sm sent at once: every file is written, then one flush makes them safe,
// and only then do their submit_sm_resp leave (together, in order, each with its own id).
// Without DurableAccept nothing is flushed.
TEST(SmppServerE2e, SubmitWindowAnsweredAfterItsFlush) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const struct {
    const char* setting;
    bool durable;
  } cases[] = {{"DurableAccept=Yes", true}, {"DurableAccept=No", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    SmppGateway g;
    std::string trace = g.web.home.path() + "strace.log";
    ASSERT_TRUE(g.Start({c.setting}, "",
                        {"-f", "-y", "-x", "-s", "4096", "-e",
                         "trace=linkat,syncfs,fdatasync,fsync,close,write,writev,sendto,sendmsg", "-o", trace}))
        << g.process->Output();
    g.AddUser({"add", "wendy", "pw", "--smpp"});
    constexpr uint32_t kSubmits = 20;
    std::string window = BindTransmitter("wendy", "pw");
    for (uint32_t i = 0; i < kSubmits; ++i)
      window += SubmitSm(2 + i, "4477009004" + std::to_string(10 + i), "window " + std::to_string(i));
    int fd = ConnectLoopback(g.smppPort);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, window.data(), window.size(), MSG_NOSIGNAL), ssize_t(window.size()));
    std::vector<ReceivedPdu> answers = ReadPdus(fd, 1 + kSubmits, 60000);
    close(fd);
    ASSERT_EQ(answers.size(), 1 + kSubmits);
    EXPECT_EQ(answers[0].commandId, 0x80000002u);
    EXPECT_EQ(answers[0].status, 0u);
    std::set<std::string> ids;
    for (uint32_t i = 0; i < kSubmits; ++i) {
      const ReceivedPdu& a = answers[1 + i];
      EXPECT_EQ(a.commandId, 0x80000004u);
      EXPECT_EQ(a.status, 0u);
      EXPECT_EQ(a.sequence, 2 + i);  // in the order sent
      std::string id = a.body.substr(0, a.body.find('\0'));
      EXPECT_FALSE(id.empty());
      ids.insert(id);
    }
    EXPECT_EQ(ids.size(), size_t(kSubmits));
    pid_t gateway = FirstChildOf(g.process->pid());
    ASSERT_GT(gateway, 0);
    kill(gateway, SIGTERM);
    int code = -1;
    ASSERT_TRUE(g.process->WaitExit(30000, code));
    std::string traced = ReadFileText(trace);
    FlushCoverage t = ReadSubmitTrace(traced);
    EXPECT_EQ(t.linked, size_t(kSubmits));
    EXPECT_EQ(t.answers, size_t(kSubmits));
    std::vector<std::string> queued = g.TakeQueued();
    EXPECT_EQ(queued.size(), size_t(kSubmits));
    if (c.durable) {
      EXPECT_EQ(t.answersBeforeFlush, 0u);
      EXPECT_GE(t.flushes, 1u);
      // One flush per read of the socket, not one per message (the window may arrive in
      // more than one piece).
      EXPECT_LE(t.flushes, size_t(kSubmits) / 4) << "flushes: " << t.flushes;
    } else {
      EXPECT_EQ(t.flushes, 0u);
      EXPECT_EQ(t.answersBeforeFlush, size_t(kSubmits));
    }
  }
}

// A paced account's window sent at once is answered as each submission is accepted, not
// all together after the whole window's pacing (a client's response timer runs meanwhile).
TEST(SmppServerE2e, PacedWindowAnsweredAsAccepted) {
  SmppGateway g;
  ASSERT_TRUE(g.Start());
  g.AddUser({"add", "paula", "pw", "--smpp", "--throttle", "5/1"});
  constexpr uint32_t kSubmits = 6;
  std::string window = BindTransmitter("paula", "pw");
  for (uint32_t i = 0; i < kSubmits; ++i) window += SubmitSm(2 + i, "4477009005" + std::to_string(10 + i), "paced");
  int fd = ConnectLoopback(g.smppPort);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, window.data(), window.size(), MSG_NOSIGNAL), ssize_t(window.size()));
  std::vector<double> arrived;
  std::vector<ReceivedPdu> answers = ReadPdus(fd, 1 + kSubmits, 60000, &arrived);
  close(fd);
  ASSERT_EQ(answers.size(), 1 + kSubmits);
  for (uint32_t i = 0; i < kSubmits; ++i) {
    EXPECT_EQ(answers[1 + i].status, 0u);
    EXPECT_EQ(answers[1 + i].sequence, 2 + i);
  }
  // Six submissions 200 ms apart: the answers spread over at least four intervals.
  EXPECT_GE(arrived.back() - arrived[1], 0.7) << "first answer " << arrived[1] << " s, last " << arrived.back() << " s";
  EXPECT_EQ(g.TakeQueued().size(), size_t(kSubmits));
}

// A receiver that answers each batch of deliver_sm at once, in one write: the answers the
// session has already read free its window, so the next deliveries leave then, not after a
// wait for more bytes that will not come. Under strace (a slower gateway) the session often
// reads a whole batch of answers at its first look, and such a session stood still for its
// 1 s wait at most batches; a busy machine may also pause it once or twice. Each file
// reaches the client once.
TEST(SmppServerE2e, AnsweredWindowRefilledAtOnce) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  SmppGateway g;
  ASSERT_TRUE(g.Start({"SMPPServerAsyncWindowSize=10"}, "", {"-f", "-o", "/dev/null"})) << g.process->Output();
  g.AddUser({"add", "rita", "pw", "--smpp", "--receive"});
  std::string q = g.UserQueue("rita");
  constexpr size_t kFiles = 1000;
  for (size_t i = 0; i < kFiles; ++i)
    WriteFileText(q + "m" + std::to_string(10000 + i) + ".req",
                  "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=r" + std::to_string(i) + "\r\n");
  int fd = ConnectLoopback(g.smppPort);
  ASSERT_GE(fd, 0);
  std::string bind = Bind(0x01, "rita", "pw");
  ASSERT_EQ(send(fd, bind.data(), bind.size(), MSG_NOSIGNAL), ssize_t(bind.size()));
  std::vector<ReceivedPdu> bound = ReadPdus(fd, 1, 20000);
  ASSERT_EQ(bound.size(), 1u);
  ASSERT_EQ(bound[0].status, 0u);
  std::multiset<std::string> texts;
  double longestGap = 0;
  int standstills = 0;
  auto last = std::chrono::steady_clock::now();
  std::string in;
  while (texts.size() < kFiles) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    in.append(chunk, size_t(n));
    std::string answers;
    while (in.size() >= 16) {
      uint32_t length = uint32_t(uint8_t(in[0])) << 24 | uint32_t(uint8_t(in[1])) << 16 | uint32_t(uint8_t(in[2])) << 8 |
                        uint32_t(uint8_t(in[3]));
      if (length < 16 || in.size() < length) break;
      std::string pdu = in.substr(0, length);
      in.erase(0, length);
      if (pdu.compare(4, 4, Be32(0x05)) != 0) continue;
      auto now = std::chrono::steady_clock::now();
      if (!texts.empty()) {
        double gap = std::chrono::duration<double>(now - last).count();
        longestGap = std::max(longestGap, gap);
        if (gap >= 0.9) ++standstills;
      }
      last = now;
      size_t at = pdu.find('r', 16);  // no other field of these holds that byte
      texts.insert(at == std::string::npos ? "" : pdu.substr(at, pdu.find_first_not_of("0123456789", at + 1) - at));
      answers += PduBytes(0x80000005, uint32_t(uint8_t(pdu[12])) << 24 | uint32_t(uint8_t(pdu[13])) << 16 |
                                          uint32_t(uint8_t(pdu[14])) << 8 | uint32_t(uint8_t(pdu[15])),
                          std::string(1, '\0'));
    }
    if (!answers.empty()) ASSERT_EQ(send(fd, answers.data(), answers.size(), MSG_NOSIGNAL), ssize_t(answers.size()));
  }
  EXPECT_EQ(texts.size(), kFiles);
  EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), kFiles) << "a file was delivered twice";
  EXPECT_LE(standstills, 2) << "the window stood still with its answers read; longest gap " << longestGap << " s";
  EXPECT_TRUE(WaitUntil(10000, [&] { return FilesUnder(q).empty(); })) << FilesUnder(q).size();
  close(fd);
  pid_t gateway = FirstChildOf(g.process->pid());
  ASSERT_GT(gateway, 0);
  kill(gateway, SIGTERM);
  int code = -1;
  ASSERT_TRUE(g.process->WaitExit(30000, code));
}
