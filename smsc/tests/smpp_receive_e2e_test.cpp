// Messages and delivery reports sent by an SMS centre (the npm "smpp" server) to the real
// gateway become inbound files, byte for byte.
#include <gtest/gtest.h>

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <map>
#include <set>
#include <vector>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/gateway_process.h"
#include "tests/support/strace_log.h"

namespace fs = std::filesystem;

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

#define REQUIRE_NODE_SMPP() \
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm

// Files of the inbound directory with the given extension (any case), oldest name first.
std::vector<std::string> InboundFiles(const std::string& home, const std::string& extension) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(home + "SMS-IN", ec)) {
    std::string ext = e.path().extension().string();
    if (ext.size() > 1 && strcasecmp(ext.c_str() + 1, extension.c_str()) == 0) out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string TakeOne(const std::string& home, const std::string& extension) {
  std::vector<std::string> files;
  WaitUntil(5000, [&] { return !(files = InboundFiles(home, extension)).empty(); });
  if (files.size() != 1) return std::to_string(files.size()) + " files";
  std::string text = ReadFileText(files[0]);
  fs::remove(files[0]);
  return text;
}

// Synchronously (answered inside the session's yield) or through the asynchronous receive
// queue and its threads (answered once stored): the same files, the same answers.
void ReceiveCases(bool async) {
  REQUIRE_NODE_SMPP();
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts));
  GatewayHome home;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  // The inbound workers leave the files alone: what the receive path wrote is compared.
  std::vector<std::string> main = {"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection,
                                   "ReceiveSMS=No", "EnableReceiptProcessing=No", "InitRetryDelay=1",
                                   "InitRetryDelayMax=2"};
  std::string section = "[" + connection +
                        "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n";
  if (async) {
    main.insert(main.end(), {"AsyncReceiveMessages=Yes", "AsyncCallbackThreads=2"});
    section += "WindowSize=4\r\n";
  }
  home.WriteConfig(main, section + "[SMPPOptions]\r\nsource_port=\r\n");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 20000)) << p.Output();
  EXPECT_EQ(home.DebugLog().find("Asynchronous receive queue on for " + connection) != std::string::npos, async);
  const std::string h = home.path();
  const std::string head = "[SMS-IN]\r\nModemName=" + connection + "\r\n";

  // A text message: "in", with the options named in [SMPPOptions] and no others.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"447700900111","destination_addr":"12345","short_message":"Hello in",)"
                         R"("service_type":"WAP","source_port":4000,"user_message_reference":7})"),
            0);
  EXPECT_EQ(TakeOne(h, "in"), head +
                                  "Sender=447700900111\r\nPhoneNumber=12345\r\ndcs=1\r\nData=Hello in\r\nServiceType=WAP\r\n"
                                  "SMPPOptions=SMPPOption_source_port=4000\r\n");

  // Binary with a user data header, UCS-2 text.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4471","destination_addr":"9","esm_class":64,"data_coding":4,)"
                         R"("protocol_id":65,"short_message_hex":"0605040B8423F0C0FFEE"})"),
            0);
  EXPECT_EQ(TakeOne(h, "in"), head +
                                  "Sender=4471\r\nPhoneNumber=9\r\nUDH=0605040B8423F0\r\npid=41\r\ndcs=4\r\n"
                                  "Data=C0FFEE\r\nBinary=1\r\n");
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4472","destination_addr":"9","data_coding":8,)"
                         R"("short_message_hex":"00C900E9"})"),
            0);
  EXPECT_EQ(TakeOne(h, "in"), head + "Sender=4472\r\nPhoneNumber=9\r\ndcs=8\r\nData=\xC3\x89\xC3\xA9\r\nUTF8=1\r\n");

  // A text receipt for an id the gateway never submitted: kept for receipt resolution.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4473","destination_addr":"9","esm_class":4,)"
                         R"("short_message":"id:ABC123 sub:001 dlvrd:001 submit date:2612071200 )"
                         R"(done date:2612071201 stat:DELIVRD err:000 text:Hello"})"),
            0);
  EXPECT_EQ(TakeOne(h, "rct"), head +
                                   "Sender=4473\r\nPhoneNumber=9\r\ndcs=1\r\nData=id:ABC123 sub:001 dlvrd:001 submit "
                                   "date:2612071200 done date:2612071201 stat:DELIVRD err:000 text:Hello\r\n"
                                   "ReceiptDelivered=Yes\r\nReceiptMessageId=ABC123\r\n");

  // A receipt in options for a message the gateway did submit: "rec" with the gateway's id.
  fs::create_directories(h + "Q");
  WriteFileText(h + "Q/.~x.tmp", "[SMS]\r\nData=out\r\nPhoneNumber=4474\r\nReceiptRequested=Yes\r\n");
  fs::rename(h + "Q/.~x.tmp", h + "Q/0000CAFE.req");
  ASSERT_TRUE(smsc.node.WaitFor("PDU submit_sm ", line, 20000)) << p.Output();
  ASSERT_TRUE(WaitUntil(10000, [&] { return !fs::exists(h + "Q/0000CAFE.req"); }));
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4474","destination_addr":"9","esm_class":4,)"
                         R"("receipted_message_id":"MSG1","message_state":5,"short_message":"x"})"),
            0);
  EXPECT_EQ(TakeOne(h, "rec"), head +
                                   "Sender=4474\r\nPhoneNumber=9\r\ndcs=1\r\nData=x\r\nReceiptFailed=Yes\r\n"
                                   "ReceiptMessageId=0000CAFE\r\n");
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4475","destination_addr":"9","esm_class":4,)"
                         R"("receipted_message_id":"Q7","message_state":1,"short_message":"y"})"),
            0);
  EXPECT_EQ(TakeOne(h, "rct"), head +
                                   "Sender=4475\r\nPhoneNumber=9\r\ndcs=1\r\nData=y\r\nReceiptIntransit=Yes\r\n"
                                   "ReceiptMessageId=Q7\r\n");

  // Control bytes from the network never start a line of their own (the library makes
  // them spaces).
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"44\r\nEvil=1","destination_addr":"9\n","service_type":"A\rB",)"
                         R"("short_message":"two\r\nlines"})"),
            0);
  std::string text = TakeOne(h, "in");
  EXPECT_EQ(text, head + "Sender=44  Evil=1\r\nPhoneNumber=9 \r\ndcs=1\r\nData=two\\r\\nlines\r\nServiceType=A B\r\n");

  // Nowhere to store it: the SMS centre is told to try again, and nothing is half written.
  fs::rename(h + "SMS-IN", h + "SMS-IN.away");
  WriteFileText(h + "SMS-IN", "not a directory");
  EXPECT_EQ(smsc.Deliver(R"({"source_addr":"4476","destination_addr":"9","short_message":"again"})"), 0x64);
  fs::remove(h + "SMS-IN");
  fs::rename(h + "SMS-IN.away", h + "SMS-IN");
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4476","destination_addr":"9","short_message":"again"})"), 0);
  EXPECT_EQ(TakeOne(h, "in"), head + "Sender=4476\r\nPhoneNumber=9\r\ndcs=1\r\nData=again\r\n");

  // A burst, several answers outstanding at once: each message stored once and acknowledged.
  constexpr int kBurst = 12;
  smsc.node.Send(R"(delivermany 12 {"source_addr":"4477","destination_addr":"9","short_message":"b"})");
  int acknowledged = 0;
  while (acknowledged < kBurst && smsc.node.WaitFor("DELIVER_RESP ", line, 10000)) {
    EXPECT_EQ(line.substr(0, 15), "DELIVER_RESP 0 ") << line;
    ++acknowledged;
  }
  EXPECT_EQ(acknowledged, kBurst);
  std::vector<std::string> burst;
  WaitUntil(5000, [&] { return (burst = InboundFiles(h, "in")).size() >= size_t(kBurst); });
  std::vector<std::string> texts;
  for (const std::string& f : burst) texts.push_back(ReadFileText(f));
  std::sort(texts.begin(), texts.end());
  ASSERT_EQ(texts.size(), size_t(kBurst));
  for (int i = 0; i < kBurst; ++i) {
    std::string expected = head + "Sender=4477\r\nPhoneNumber=9\r\ndcs=1\r\nData=b" + std::to_string(i) + "\r\n";
    EXPECT_EQ(std::count(texts.begin(), texts.end(), expected), 1) << expected;
  }
}

TEST(SmppReceive, MessagesAndReportsBecomeExactInboundFiles) { ReceiveCases(false); }

TEST(SmppReceive, AsynchronousQueueGivesTheSameFilesAndAnswers) { ReceiveCases(true); }

// A separate receiver session beside the transmitter; a RouteLocal user gets "[SMS]" files.
void ReceiverSessionCases(bool async) {
  REQUIRE_NODE_SMPP();
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts));
  GatewayHome home;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  std::vector<std::string> main = {"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection,
                                   "ReceiveSMS=No", "InitRetryDelay=1", "InitRetryDelayMax=2"};
  std::string section =
      "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nRouteLocal=bob\r\n";
  if (async) {
    main.push_back("AsyncReceiveMessages=Yes");
    section += "WindowSize=2\r\n";
  }
  home.WriteConfig(main, section);
  fs::create_directories(home.path() + "USERS/bob");
  WriteFileText(home.path() + "USERS/bob/RECV.FLG", "");
  GatewayProcess p(home);
  std::string line;
  // The two sessions bind in either order. Under a loaded sanitizer run the receiver's
  // first attempt can miss and wait its reconnect delay.
  bool transmitter = false, receiver = false;
  while (!(transmitter && receiver) && smsc.node.WaitFor("PDU bind_", line, 45000)) {
    transmitter = transmitter || line.rfind("PDU bind_transmitter ", 0) == 0;
    receiver = receiver || line.rfind("PDU bind_receiver ", 0) == 0;
  }
  ASSERT_TRUE(transmitter && receiver) << p.Output();
  // The server delivers on the receiver session.
  ASSERT_EQ(smsc.Deliver(R"({"source_addr":"4481","destination_addr":"77","short_message":"for bob"})"), 0)
      << home.DebugLog() << p.Output();
  std::vector<std::string> files;
  ASSERT_TRUE(WaitUntil(5000, [&] {
    files.clear();
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(home.path() + "USERS/bob", ec)) {
      if (e.path().extension() == ".req") files.push_back(e.path().string());
    }
    return !files.empty();
  }));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileText(files[0]), "[SMS]\r\nModemName=" + connection +
                                        "\r\nSender=4481\r\nPhoneNumber=77\r\ndcs=1\r\nData=for bob\r\n"
                                        "RouteToLocalUser=bob\r\n");
  EXPECT_TRUE(InboundFiles(home.path(), "in").empty());
  // An orderly stop unbinds both sessions.
  p.Signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(p.WaitExit(30000, code));
  EXPECT_TRUE(smsc.node.WaitFor("PDU unbind ", line, 5000));
}

TEST(SmppReceive, ReceiverSessionAndLocalUser) { ReceiverSessionCases(false); }

TEST(SmppReceive, ReceiverSessionThroughTheAsynchronousQueue) { ReceiverSessionCases(true); }

// A centre that sends a message in the same write as its answer to the bind: the receiver
// reads both at once and serves the message then, not at its next keep-alive (58 s).
TEST(SmppReceive, MessageReadWithTheBindAnswerIsServedAtOnce) {
  REQUIRE_NODE_SMPP();
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts,
                         R"({"deliverWithBind":{"source_addr":"4482","destination_addr":"78","short_message":"early"}})"));
  GatewayHome home;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "ReceiveSMS=No",
                    "EnableReceiptProcessing=No", "InitRetryDelay=1", "InitRetryDelayMax=2"},
                   "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\n");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_receiver ", line, 45000)) << p.Output();
  // Well inside the keep-alive, however loaded the machine.
  ASSERT_TRUE(smsc.node.WaitFor("PDU deliver_sm_resp ", line, 20000)) << home.DebugLog();
  EXPECT_NE(line.find("\"command_status\":0"), std::string::npos) << line;
  std::vector<std::string> files = InboundFiles(home.path(), "in");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(ReadFileText(files[0]).find("Data=early\r\n"), std::string::npos) << ReadFileText(files[0]);
}

// Over TLS with the asynchronous receive queue, answers leave from the queue threads while
// the worker reads the same session: a long stream is answered, stored, and the link holds.
TEST(SmppReceive, TlsStreamThroughTheAsynchronousQueue) {
  REQUIRE_NODE_SMPP();
  GatewayHome home;
  const std::string h = home.path();
  std::string key = h + "smsc-key.pem", cert = h + "smsc-cert.pem";
  std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + key + "' -out '" + cert +
                        "' -days 1 -subj /CN=localhost >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl could not make a test certificate";
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts, R"({"tlsKey":")" + key + R"(","tlsCert":")" + cert + R"("})"));
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  home.WriteConfig({"WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "ReceiveSMS=No",
                    "EnableReceiptProcessing=No", "AsyncReceiveMessages=Yes", "AsyncCallbackThreads=3",
                    "InitRetryDelay=1", "InitRetryDelayMax=2"},
                   "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\n"
                   "ReceiveSingleConnection=Yes\r\nUseSSL=Yes\r\nWindowSize=8\r\nKeepAlive=1\r\n");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 20000)) << p.Output();
  constexpr int kStream = 600;
  int acknowledged = 0, refused = 0;
  for (int round = 0; round < 3; ++round) {
    smsc.node.Send("delivermany 200 {\"source_addr\":\"4490\",\"destination_addr\":\"9\",\"esm_class\":4,"
                   "\"short_message\":\"id:R" + std::to_string(round) +
                   " sub:001 dlvrd:001 submit date:2612071200 done date:2612071201 stat:DELIVRD err:000 text:\"}");
    // Submissions go out meanwhile, so that both directions are busy.
    fs::create_directories(h + "Q");
    for (int i = 0; i < 20; ++i) {
      std::string name = "0000" + std::to_string(1000 + round * 100 + i) + ".req";
      WriteFileText(h + "Q/.~" + name + ".tmp", "[SMS]\r\nData=out\r\nPhoneNumber=4491\r\n");
      fs::rename(h + "Q/.~" + name + ".tmp", h + "Q/" + name);
    }
    int got = 0;
    while (got < 200 && smsc.node.WaitFor("DELIVER_RESP ", line, 20000)) {
      ++got;
      if (line.rfind("DELIVER_RESP 0 ", 0) == 0) ++acknowledged;
      else ++refused;
    }
  }
  EXPECT_EQ(acknowledged, kStream) << p.Output();
  EXPECT_EQ(refused, 0);
  std::vector<std::string> stored;
  WaitUntil(10000, [&] { return (stored = InboundFiles(h, "rct")).size() >= size_t(kStream); });
  EXPECT_EQ(stored.size(), size_t(kStream));
  EXPECT_TRUE(WaitUntil(20000, [&] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(h + "Q", ec)) {
      if (e.path().extension() == ".req") return false;
    }
    return true;
  }));
  // One session from start to end: no link lost, no error from either side.
  int binds = 0, errors = 0;
  for (const std::string& l : smsc.node.lines()) {
    binds += l.rfind("PDU bind_", 0) == 0;
    errors += l.rfind("ERROR ", 0) == 0 || l == "CLOSED";
  }
  EXPECT_EQ(binds, 1);
  EXPECT_EQ(errors, 0);
  EXPECT_FALSE(fs::exists(h + "PRIVATE/" + "SMPP - 127.0.0.1-" + std::to_string(smsc.port) + ".ERR"));
  // A sanitizer build of the gateway reports here.
  EXPECT_EQ(p.Output().find("Sanitizer"), std::string::npos) << p.Output();
}

// A receiver session whose SMS centre keeps the socket open after the unbind would drain
// for a minute: a worker restarted by a configuration change waits for it 15 s at most.
TEST(SmppReceive, RestartWaitsForTheReceiverSessionAtMostFifteenSeconds) {
  REQUIRE_NODE_SMPP();
  NodeSmsc sender, receiver;
  ASSERT_TRUE(sender.Start(kNpm, kScripts));
  ASSERT_TRUE(receiver.Start(kNpm, kScripts, R"({"keepOpenOnUnbind":true})"));
  GatewayHome home;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(sender.port);
  auto configure = [&](const std::string& password) {
    home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection,
                      "ReceiveSMS=No", "InitRetryDelay=1", "InitRetryDelayMax=2"},
                     "[" + connection + "]\r\nUserName=gw\r\nPassword=" + password + "\r\nReceive=Yes\r\n" +
                         "ReceiverPort=0:" + std::to_string(receiver.port) + "\r\n");
  };
  configure("secret");
  GatewayProcess p(home);
  std::string line;
  ASSERT_TRUE(sender.node.WaitFor("PDU bind_transmitter ", line, 30000)) << p.Output();
  ASSERT_TRUE(receiver.node.WaitFor("PDU bind_receiver ", line, 30000)) << p.Output();
  configure("secret2");
  ASSERT_TRUE(receiver.node.WaitFor("PDU unbind ", line, 30000)) << p.Output();
  // The receiver's drain would last 60 s; the new session comes well before.
  ASSERT_TRUE(sender.node.WaitFor("PDU bind_transmitter ", line, 40000)) << p.Output();
  EXPECT_NE(line.find(R"("password":"secret2")"), std::string::npos) << line;
  EXPECT_TRUE(p.WaitForOutput("Receive thread of " + connection + " has not ended; going on without it", 5000));
}


// What an strace -f -y -x log of the gateway shows of received messages: how many
// deliver_sm_resp left (several may share a write), and how many of them left while a file
// linked into SMS-IN was not yet covered by a syncfs begun after its link.
const std::string kDeliverSmResp = "\\x80\\x00\\x00\\x05";  // its command id as strace -x shows it

FlushCoverage ReadReceiveTrace(const std::string& text) {
  return ReadFlushCoverage(text, [](const std::string& call) { return call.find("/SMS-IN/") != std::string::npos; },
                           kDeliverSmResp);
}

// Under strace: with DurableAccept each deliver_sm is answered only after a flush of the
// file it became, and a window of messages sent at once shares its flushes; without it
// nothing is flushed.
TEST(SmppReceive, AcknowledgementFollowsTheFlushOfTheStoredFile) {
  REQUIRE_NODE_SMPP();
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const struct {
    const char* setting;
    bool durable;
  } cases[] = {{"DurableAccept=Yes", true}, {"DurableAccept=No", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    NodeSmsc smsc;
    ASSERT_TRUE(smsc.Start(kNpm, kScripts));
    GatewayHome home;
    std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
    home.WriteConfig({c.setting, "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection, "ReceiveSMS=No",
                      "EnableReceiptProcessing=No", "InitRetryDelay=1", "InitRetryDelayMax=2"},
                     "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n");
    std::string trace = home.path() + "strace.log";
    GatewayProcess p(home, "/usr/bin/strace",
                     {"-f", "-y", "-x", "-s", "8192", "-e",
                      "trace=linkat,syncfs,fdatasync,fsync,close,write,writev,sendto,sendmsg",
                      "-o", trace, BinDirectory() + "qargate"});
    std::string line;
    ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 30000)) << p.Output();
    // One at a time, then a window written at once.
    constexpr size_t kSingles = 3, kWindow = 40;
    for (size_t i = 0; i < kSingles; ++i) {
      ASSERT_EQ(smsc.Deliver(R"({"source_addr":"44770090011)" + std::to_string(i) +
                             R"(","destination_addr":"12345","short_message":"durable"})"),
                0);
    }
    smsc.node.Send("delivermany " + std::to_string(kWindow) +
                   R"( {"source_addr":"447700900200","destination_addr":"12345","short_message":"window "})");
    for (size_t i = 0; i < kWindow; ++i) {
      ASSERT_TRUE(smsc.node.WaitFor("DELIVER_RESP ", line, 30000)) << i;
      EXPECT_EQ(line.rfind("DELIVER_RESP 0 window ", 0), 0u) << line;
    }
    constexpr size_t kMessages = kSingles + kWindow;
    EXPECT_EQ(InboundFiles(home.path(), "in").size(), kMessages);
    pid_t gateway = FirstChildOf(p.pid());
    ASSERT_GT(gateway, 0);
    kill(gateway, SIGTERM);
    int code = -1;
    ASSERT_TRUE(p.WaitExit(30000, code));
    std::string traced = ReadFileText(trace);
    FlushCoverage t = ReadReceiveTrace(traced);
    std::string calls;  // what the counts came from, for a failure's message
    ForEachTracedCall(traced, [&](const TracedCall& tc) {
      if (tc.call.rfind("linkat(", 0) == 0 || tc.call.rfind("syncfs(", 0) == 0 ||
          tc.call.find(kDeliverSmResp) != std::string::npos)
        calls += tc.pid + (tc.complete ? " " : " (begun) ") + tc.call.substr(0, 160) + "\n";
    });
    SCOPED_TRACE(calls);
    EXPECT_EQ(t.linked, kMessages);
    EXPECT_EQ(t.answers, kMessages);
    if (c.durable) {
      EXPECT_EQ(t.answersBeforeFlush, 0u);
      EXPECT_GE(t.flushes, kSingles + 1);
      // A message alone is flushed by itself (fdatasync, then its directory).
      EXPECT_GE(t.fileFlushes, kSingles);
      // The window's messages are answered after flushes they share.
      EXPECT_LT(t.flushes, kMessages);
    } else {
      EXPECT_EQ(t.answersBeforeFlush, kMessages);
      EXPECT_EQ(t.flushes, 0u);
    }
  }
}

// A disk whose flushes fail (EIO, from a preloaded shim while a flag file exists): every
// message of a window read at once is answered "try later" and nothing of it stays stored;
// the centre's next delivery of the same messages, the disk healthy again, is stored once.
TEST(SmppReceive, AFailedFlushAnswersTheWholeWindowAsFailedAndTheRedeliveryIsStoredOnce) {
  REQUIRE_NODE_SMPP();
  NodeSmsc smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts));
  GatewayHome home;
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(smsc.port);
  home.WriteConfig({"DurableAccept=Yes", "WebPort=" + std::to_string(FreeTcpPort()), "Modem1=" + connection,
                    "ReceiveSMS=No", "EnableReceiptProcessing=No", "InitRetryDelay=1", "InitRetryDelayMax=2"},
                   "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n");
  std::string flag = home.path() + "flushes-fail";
  const char* asan = getenv("ASAN_OPTIONS");
  // The sanitizer's runtime must otherwise be the first library loaded.
  std::string asanOptions = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
  GatewayProcess p(home, "/usr/bin/env",
                   {"LD_PRELOAD=" + BinDirectory() + "libflush_failure_shim.so", "QAR_TEST_FLUSH_FAILS_WHILE=" + flag,
                    "ASAN_OPTIONS=" + asanOptions, BinDirectory() + "qargate"});
  std::string line;
  ASSERT_TRUE(smsc.node.WaitFor("PDU bind_transceiver ", line, 30000)) << p.Output();
  constexpr int kWindow = 20;
  const struct {
    const char* phase;
    bool flushesFail;
    int status;        // of every answer
    size_t filesAfter; // in SMS-IN
  } phases[] = {{"flushes fail", true, 0x64, 0}, {"delivered again, disk healthy", false, 0, kWindow}};
  for (const auto& ph : phases) {
    SCOPED_TRACE(ph.phase);
    if (ph.flushesFail) {
      WriteFileText(flag, "");
    } else {
      fs::remove(flag);
    }
    smsc.node.Send("delivermany " + std::to_string(kWindow) +
                   R"( {"source_addr":"447700900300","destination_addr":"12345","short_message":"eio "})");
    for (int i = 0; i < kWindow; ++i) {
      ASSERT_TRUE(smsc.node.WaitFor("DELIVER_RESP ", line, 30000)) << i;
      EXPECT_EQ(line, "DELIVER_RESP " + std::to_string(ph.status) + " eio " + std::to_string(i));
    }
    std::vector<std::string> files = InboundFiles(home.path(), "in");
    ASSERT_EQ(files.size(), ph.filesAfter);
    // Each message once.
    std::set<std::string> texts;
    for (const std::string& f : files) {
      std::string text = ReadFileText(f);
      size_t at = text.find("Data=");
      texts.insert(text.substr(at, text.find("\r\n", at) - at));
    }
    EXPECT_EQ(texts.size(), ph.filesAfter);
  }
  EXPECT_TRUE(p.Running());
}

}  // namespace
