// qarpeer against an SMPP peer written by others (npm "smpp"), over loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/outside_tables.h"
#include "outside/qarpeer/qarpeer.h"
#include "outside/qarpeer/tests/node_peer.h"
#include "runtime/unique_fd.h"

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

#define REQUIRE_NODE_SMPP()                                                                   \
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm; \
  (void)0

struct Received {
  std::mutex lock;
  std::vector<std::string> texts;
  std::vector<std::string> extras;
  std::atomic<int> answer{0};
  std::atomic<int> delayMs{0};  // a slow store
};
Received g_received;

int ReceiveCallback(const char* name, const SMPPReceivedMessage* m) {
  if (int delay = g_received.delayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  std::lock_guard lock(g_received.lock);
  g_received.texts.push_back(std::string(m->sender) + "|" + m->recipient + "|" + m->data + "|" +
                             std::to_string(m->flags));
  g_received.extras.push_back(m->extraParams);
  return g_received.answer.load();
}

// A running Node SMS centre and a client socket of ours connected to it.
struct SmscFixture {
  NodePeer node;
  UniqueFd sock;
  unsigned port = 0;

  bool Start(const std::string& options = "{}") {
    if (!node.Start(kNpm, kScripts + "/smsc_server.js", {options})) return false;
    std::string line;
    if (!node.WaitFor("LISTENING ", line, 10000)) return false;
    port = unsigned(std::stoul(line.substr(10)));
    sock.reset(socket(AF_INET, SOCK_STREAM, 0));
    return SMPPConnect(sock.get(), "SMPP - test", "127.0.0.1", port) == 0;
  }
  int Bind(int type, int version = 0x34) {
    return SMPPBind(sock.get(), nullptr, "SMPP - test", version, type, "user", "secret", "VMA");
  }
  // The raw bytes of the next PDU with the given command id (8 hex digits).
  std::string NextRaw(const std::string& commandHex) {
    std::string line;
    while (node.WaitFor("RAW ", line, 5000)) {
      if (line.substr(12, 8) == commandHex) return line.substr(4);
    }
    return {};
  }
  std::string NextFields(const std::string& command) {
    std::string line;
    while (node.WaitFor("PDU " + command + " ", line, 5000)) return line;
    return {};
  }
};

TEST(PeerLibrary, LoaderBindsEveryEntryPoint) {
  LoadedLibrary lib;
  ASSERT_TRUE(LoadOutsideLibrary(QARPEER_LIBRARY_DIR, "qarpeer", PeerEntryPoints(), lib)) << lib.missingEntry;
  for (size_t i = 0; i < peer::kCount; ++i) {
    if (i == peer::SMPPSubmitMessageAsync) continue;  // the windowed path is not built yet
    EXPECT_NE(lib.Entry(i), nullptr) << PeerEntryPoints()[i].name;
  }
  auto text = lib.Call<SMPPErrorTextFn>(peer::SMPPErrorText);
  EXPECT_STREQ(text(0x58), "Throttling error (ESME has exceeded allowed message limits)");
  EXPECT_STREQ(text(0x1234), "SMPP error 0x00001234");
  UnloadOutsideLibrary(lib);
}

std::mutex g_traceLock;
std::string g_trace;
void TraceInto(const char*, const char* text) {
  std::lock_guard lock(g_traceLock);
  g_trace += std::string(text) + "\n";
}

TEST(PeerWire, BindsOfEveryKindAndVersionThenUnbind) {
  REQUIRE_NODE_SMPP();
  SMPPSetDebugLogFunction(TraceInto);
  SMPPSetDebugMode(1);
  struct Case {
    int type, version;
    const char* command;
  } cases[] = {{SMPP_BIND_RECEIVER, 0x34, "00000001"},
               {SMPP_BIND_TRANSMITTER, 0x34, "00000002"},
               {SMPP_BIND_TRANSCEIVER, 0x34, "00000009"},
               {SMPP_BIND_TRANSMITTER, 0x33, "00000002"}};
  for (const Case& c : cases) {
    SmscFixture f;
    ASSERT_TRUE(f.Start());
    ASSERT_EQ(f.Bind(c.type, c.version), 0);
    std::string raw = f.NextRaw(c.command);
    // system_id, password, system_type, interface_version, ton, npi, empty address_range.
    char version[3];
    snprintf(version, sizeof version, "%02X", c.version);
    EXPECT_EQ(raw.substr(32), std::string("7573657200") + "73656372657400" + "564D4100" + version + "000000")
        << c.command;
    EXPECT_EQ(raw.substr(0, 8), "00000024");
    EXPECT_EQ(raw.substr(24, 8), "00000001") << "first sequence number";
    EXPECT_EQ(SMPPCheckLinkStatus(f.sock.get(), nullptr, "SMPP - test"), 1);
    EXPECT_EQ(SMPPUnbind(f.sock.get(), nullptr, "SMPP - test", c.version), 0);
    EXPECT_EQ(f.NextRaw("00000006").substr(24, 8), "00000002");
  }
  SMPPSetDebugMode(0);
  SMPPSetDebugLogFunction(nullptr);
  std::lock_guard lock(g_traceLock);
  // The bind was traced, its password only as "*" bytes ("secret" is 736563726574).
  EXPECT_NE(g_trace.find("75736572002A2A2A2A2A2A00564D4100"), std::string::npos) << g_trace;
  EXPECT_EQ(g_trace.find("736563726574"), std::string::npos) << g_trace;
}

TEST(PeerWire, BindRefusedGivesTheStatus) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start(R"({"bindStatus":14})"));
  EXPECT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0x0E);
  EXPECT_STREQ(SMPPErrorText(0x0E), "Invalid Password");
  // Credentials too long for their fields are refused before anything is sent.
  EXPECT_EQ(SMPPBind(f.sock.get(), nullptr, "t", 0x34, 2, "sixteen-chars-id", "pw", ""), 0x0D);
}

TEST(PeerWire, SubmitsAsSeenByTheSmsc) {
  REQUIRE_NODE_SMPP();
  struct Case {
    const char* what;
    const char* sender;
    const char* recipient;
    int dcs;
    const char* udh;
    const char* data;
    int flags, binary;
    const char* extra;
    std::vector<std::string> expectFields;  // substrings of the SMSC's decoded view
    std::vector<std::string> expectRaw;     // substrings of the bytes on the wire
  } cases[] = {
      {"7-bit text", "+447700900001", "447700900123", 0, "", "Hello @", SMPP_FLAG_RECEIPT, 0, "",
       {R"("source_addr_ton":1)", R"("source_addr":"447700900001")", R"("destination_addr":"447700900123")",
        R"("registered_delivery":1)", R"("message":"Hello @")", R"("data_coding":0)"},
       {"0748656C6C6F2000"}},
      {"UCS-2", "Gateway", "447700900123", 8, "", "\xD0\x9F\xD1\x80\xD0\xB8", 0, 0, "ServiceType=CMT; Validity=2h",
       {R"("source_addr_ton":5)", R"("service_type":"CMT")", R"("data_coding":8)", R"("message":"При")"},
       {"06041F04400438", "3030303030303032303030303030305200"}},
      {"binary with UDH", "123", "447700900123", 4, "0605040B8423F0", "C0FFEE", SMPP_FLAG_NONDEL_RECEIPT, 1,
       "SMPPOption_user_message_reference=77; SMPPOption_1400=CAFE",
       {R"("esm_class":64)", R"("registered_delivery":2)", R"("user_message_reference":77)"},
       {"0A0605040B8423F0C0FFEE", "0204000200" "4D", "14000002CAFE"}},
  };
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  int n = 0;
  for (const Case& c : cases) {
    char id[65];
    ASSERT_EQ(SMPPSubmitMessage(f.sock.get(), nullptr, "SMPP - test", 0x34, c.sender, c.recipient, 0, c.dcs, c.udh,
                                c.data, c.flags, c.binary, id, sizeof id, "0000ABCD", c.extra),
              0)
        << c.what;
    EXPECT_EQ(std::string(id), "MSG" + std::to_string(++n)) << c.what;
    std::string raw = f.NextRaw("00000004");
    std::string fields = f.NextFields("submit_sm");
    for (const auto& e : c.expectFields) EXPECT_NE(fields.find(e), std::string::npos) << c.what << ": " << e << "\n" << fields;
    for (const auto& e : c.expectRaw) EXPECT_NE(raw.find(e), std::string::npos) << c.what << ": " << e << "\n" << raw;
  }
  // A message id buffer smaller than the id gets a cut, terminated id.
  char small[3];
  ASSERT_EQ(SMPPSubmitMessage(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", "x", 0, 0, small, sizeof small,
                              "", ""),
            0);
  EXPECT_STREQ(small, "MS");
}

TEST(PeerWire, SubmitStatusesAndGenericNack) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start(R"({"submitStatuses":[88, 11, 20]})"));
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  char id[65];
  for (int expected : {0x58, 0x0B, 0x14, 0}) {
    EXPECT_EQ(SMPPSubmitMessage(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", "x", 0, 0, id, sizeof id, "",
                                ""),
              expected);
  }
  // A generic_nack for a sequence never used is noted and passed over.
  f.node.Send("raw 0000001080000000000000030000000B");
  int linkError = 0;
  EXPECT_EQ(SMPPYield(f.sock.get(), nullptr, "t", 0x34, 300, &linkError), 0);
  EXPECT_EQ(linkError, 0);
  EXPECT_EQ(SMPPCheckLinkStatus(f.sock.get(), nullptr, "t"), 1);
}

// A short wait on an idle link is a wait: a caller that yields 1 ms at a time while idle
// must not spin.
TEST(PeerWire, ShortYieldsOnAnIdleLinkWait) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  int linkError = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) SMPPYield(f.sock.get(), nullptr, "t", 0x34, 1, &linkError);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(linkError, 0);
}

// Asynchronous submits of one burst all reach the SMS centre, in order, and each completes.
TEST(PeerWire, AsynchronousBurstArrivesWholeAndInOrder) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  static std::atomic<int> completed{0};
  completed = 0;
  SMPPSetAsyncCompletionFunction([](SMPPAsyncSubmit* r) {
    if (r->status == 0) ++completed;
  });
  std::vector<SMPPAsyncSubmit> records(300);
  for (size_t i = 0; i < records.size(); ++i) {
    std::string text = "m" + std::to_string(i);
    ASSERT_EQ(SMPPSubmitMessageAsync(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", text.c_str(), 0, 0, "", "",
                                     10000, &records[i]),
              0);
  }
  int linkError = 0;
  for (int i = 0; i < 200 && completed.load() < 300 && !linkError; ++i) {
    SMPPYield(f.sock.get(), nullptr, "t", 0x34, 20, &linkError);
  }
  EXPECT_EQ(completed.load(), 300);
  std::string line;
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(f.node.WaitFor("PDU submit_sm ", line, 5000)) << i;
    EXPECT_NE(line.find("\"message\":\"m" + std::to_string(i) + "\""), std::string::npos) << line;
  }
  SMPPSetAsyncCompletionFunction(nullptr);
}

TEST(PeerWire, GenericNackAnswersTheAwaitedRequest) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start(R"({"nackSubmit":true})"));
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  char id[65] = "stale";
  EXPECT_EQ(SMPPSubmitMessage(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", "x", 0, 0, id, sizeof id, "", ""),
            0x03);
  EXPECT_STREQ(id, "");
  EXPECT_EQ(SMPPEnquireLink(f.sock.get(), nullptr, "t", 0x34), 0);
}

// A generic_nack with status 0 still refuses the request: neither path takes it as accepted.
TEST(PeerWire, GenericNackWithoutStatusIsNoSuccessOnEitherPath) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start(R"({"nackSubmit":true,"nackStatus":0})"));
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  char id[65] = "stale";
  EXPECT_NE(SMPPSubmitMessage(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", "x", 0, 0, id, sizeof id, "", ""),
            0);
  EXPECT_STREQ(id, "");
  static std::atomic<int> status{12345};
  status = 12345;
  SMPPSetAsyncCompletionFunction([](SMPPAsyncSubmit* r) { status = r->status; });
  SMPPAsyncSubmit record{};
  ASSERT_EQ(SMPPSubmitMessageAsync(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", "y", 0, 0, "", "", 10000,
                                   &record),
            0);
  int linkError = 0;
  for (int i = 0; i < 100 && status.load() == 12345 && !linkError; ++i) {
    SMPPYield(f.sock.get(), nullptr, "t", 0x34, 50, &linkError);
  }
  EXPECT_NE(status.load(), 12345) << "no completion";
  EXPECT_NE(status.load(), 0);
  SMPPSetAsyncCompletionFunction(nullptr);
}

// alert_notification has no response: nothing goes back, not even a generic_nack.
TEST(PeerWire, AlertNotificationGetsNoAnswer) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSCEIVER), 0);
  // alert_notification, sequence 7: source 1/1 "4477", esme 1/1 "12".
  f.node.Send("raw 0000001C000001020000000000000007010134343737000101313200");
  int linkError = 0;
  EXPECT_EQ(SMPPYield(f.sock.get(), nullptr, "t", 0x34, 300, &linkError), 0);
  EXPECT_EQ(linkError, 0);
  // The next PDU the SMS centre sees is our enquire_link.
  EXPECT_EQ(SMPPEnquireLink(f.sock.get(), nullptr, "t", 0x34), 0);
  std::string line;
  ASSERT_TRUE(f.node.WaitFor("RAW ", line, 5000));
  ASSERT_TRUE(f.node.WaitFor("RAW ", line, 5000));  // after the bind
  EXPECT_EQ(line.substr(12, 8), "00000015") << line;
}

// A peer that only closes its side (FIN, nothing else) is seen by the link check.
TEST(PeerWire, PeerFinIsSeenByTheLinkCheck) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), 0);
  EXPECT_EQ(SMPPCheckLinkStatus(f.sock.get(), nullptr, "t"), 1);
  f.node.Send("halfclose");
  int up = 1;
  for (int i = 0; i < 100 && (up = SMPPCheckLinkStatus(f.sock.get(), nullptr, "t")) == 1; ++i) {
    pollfd p{f.sock.get(), short(POLLIN | POLLRDHUP), 0};
    poll(&p, 1, 50);
  }
  EXPECT_EQ(up, 0);
}

TEST(PeerWire, EnquireLinkBothWaysAndPeerUnbind) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSCEIVER), 0);
  EXPECT_EQ(SMPPEnquireLink(f.sock.get(), nullptr, "t", 0x34), 0);
  EXPECT_EQ(f.NextRaw("00000015").substr(0, 8), "00000010");
  f.node.Send("enquire");
  int linkError = 0;
  std::string line;
  for (int i = 0; i < 200 && !f.node.WaitFor("ENQUIRE_RESP", line, 50); ++i) {
    SMPPYield(f.sock.get(), nullptr, "t", 0x34, 50, &linkError);
  }
  EXPECT_EQ(line, "ENQUIRE_RESP 0");
  EXPECT_EQ(linkError, 0);
  f.node.Send("unbind");
  for (int i = 0; i < 20 && !linkError; ++i) SMPPYield(f.sock.get(), nullptr, "t", 0x34, 50, &linkError);
  EXPECT_EQ(linkError, 1);
  EXPECT_TRUE(f.node.WaitFor("UNBIND_RESP 0", line, 10000));
  EXPECT_EQ(SMPPCheckLinkStatus(f.sock.get(), nullptr, "t"), 0);
  EXPECT_EQ(SMPPSubmitMessage(f.sock.get(), nullptr, "t", 0x34, "1", "2", 0, 0, "", "x", 0, 0, nullptr, 0, "", ""),
            SMPP_ERROR_LINK);
}

TEST(PeerWire, DeliverSmReachesTheCallbackAndItsAnswerTheSmsc) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSCEIVER), 0);
  struct Case {
    const char* pdu;
    int answer;
    const char* expectText;
    const char* expectExtra;
  } cases[] = {
      {R"({"source_addr":"447700900123","destination_addr":"1234","short_message":"Hi there"})", 0,
       "447700900123|1234|Hi there|0", ""},
      {R"({"source_addr":"4477","destination_addr":"1234","esm_class":4,"short_message":"id:1 stat:DELIVRD",)"
       R"("receipted_message_id":"MSG1","message_state":2})",
       0, "4477|1234|id:1 stat:DELIVRD|4", "SMPPOption_receipted_message_id=MSG1; SMPPOption_message_state=2"},
      {R"({"source_addr":"1","destination_addr":"2","short_message":"later"})", 0x64, "1|2|later|0", ""},
  };
  SMPPSetReceiveMessageCallback(ReceiveCallback);
  for (const Case& c : cases) {
    {
      std::lock_guard lock(g_received.lock);
      g_received.texts.clear();
      g_received.extras.clear();
    }
    g_received.answer = c.answer;
    f.node.Send(std::string("deliver ") + c.pdu);
    std::string line;
    int linkError = 0;
    for (int i = 0; i < 200 && !f.node.WaitFor("DELIVER_RESP", line, 50); ++i) {
      SMPPYield(f.sock.get(), nullptr, "t", 0x34, 50, &linkError);
    }
    EXPECT_EQ(line, "DELIVER_RESP " + std::to_string(c.answer));
    std::lock_guard lock(g_received.lock);
    ASSERT_EQ(g_received.texts.size(), 1u);
    EXPECT_EQ(g_received.texts[0], c.expectText);
    EXPECT_EQ(g_received.extras[0], c.expectExtra);
  }
  // Without a callback nothing is acknowledged that the gateway did not take.
  SMPPSetReceiveMessageCallback(nullptr);
  f.node.Send(R"(deliver {"source_addr":"1","destination_addr":"2","short_message":"x"})");
  std::string line;
  int linkError = 0;
  for (int i = 0; i < 200 && !f.node.WaitFor("DELIVER_RESP", line, 50); ++i) {
    SMPPYield(f.sock.get(), nullptr, "t", 0x34, 50, &linkError);
  }
  EXPECT_EQ(line, "DELIVER_RESP 100");
}

TEST(PeerWire, LyingOrTruncatedPdusGiveTheLinkUp) {
  REQUIRE_NODE_SMPP();
  struct Case {
    const char* what;
    const char* command;
    int expected;
  } cases[] = {
      {"length below the header", "raw 0000000A800000150000000000000001", SMPP_ERROR_PROTOCOL},
      {"absurd length", "raw 7FFFFFFF000000050000000000000001", SMPP_ERROR_PROTOCOL},
      {"cut by the peer", "rawclose 00000040000000050000000000000009414243", SMPP_ERROR_LINK},
  };
  for (const Case& c : cases) {
    SmscFixture f;
    ASSERT_TRUE(f.Start());
    ASSERT_EQ(f.Bind(SMPP_BIND_TRANSCEIVER), 0);
    f.node.Send(c.command);
    int linkError = 0, result = 0;
    for (int i = 0; i < 40 && !linkError; ++i) result = SMPPYield(f.sock.get(), nullptr, "t", 0x34, 50, &linkError);
    EXPECT_EQ(linkError, 1) << c.what;
    EXPECT_EQ(result, c.expected) << c.what;
    EXPECT_EQ(SMPPCheckLinkStatus(f.sock.get(), nullptr, "t"), 0) << c.what;
  }
  // A deliver_sm whose strings run past its body is answered with an error, the link stays.
  SmscFixture f;
  ASSERT_TRUE(f.Start());
  ASSERT_EQ(f.Bind(SMPP_BIND_TRANSCEIVER), 0);
  f.node.Send("raw 0000001C000000050000000000000005414141414141414141414141");
  int linkError = 0;
  std::string line;
  for (int i = 0; i < 10; ++i) SMPPYield(f.sock.get(), nullptr, "t", 0x34, 30, &linkError);
  EXPECT_EQ(linkError, 0);
  std::string raw = f.NextRaw("80000005");
  EXPECT_EQ(raw.substr(16, 16), "0000000200000005");
}

TEST(PeerWire, AnswerLaterThanTheTimeoutIsATimeout) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(f.Start(R"({"delayMs":1500})"));
  SMPPSetResponseTimeout(300);
  EXPECT_EQ(f.Bind(SMPP_BIND_TRANSMITTER), SMPP_ERROR_TIMEOUT);
  SMPPSetResponseTimeout(30000);
}

// The server role, with the npm client binding to it.
struct ServerRole {
  UniqueFd listener, conn;
  NodePeer node;
  bool Start(const std::string& plan) {
    listener.reset(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    listen(listener.get(), 1);
    socklen_t len = sizeof a;
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len);
    if (!node.Start(kNpm, kScripts + "/esme_client.js", {std::to_string(ntohs(a.sin_port)), plan})) return false;
    conn.reset(accept(listener.get(), nullptr, nullptr));
    return conn.valid();
  }
};

std::vector<std::string> g_serverSubmits;
std::atomic<int> g_activity{0};
int ServerCallback(const char*, const SMPPReceivedMessage* m, char* id, int size) {
  g_serverSubmits.push_back(std::string(m->sender) + "|" + m->recipient + "|" + m->data);
  snprintf(id, size_t(size), "ABC%zu", g_serverSubmits.size());
  return 0;
}
void Activity(const char*, uint32_t) { ++g_activity; }

TEST(PeerServerRole, LoginSubmitDeliverEnquireUnbind) {
  REQUIRE_NODE_SMPP();
  g_serverSubmits.clear();
  SMPPServerSetReceiveMessageCallback(ServerCallback);
  SMPPServerSetActivityCallback(Activity);
  ServerRole s;
  ASSERT_TRUE(s.Start(R"({"bind":"bind_transceiver","system_id":"client","password":"pw",)"
                      R"("submits":[{"destination_addr":"4477","source_addr":"99","short_message":"one"},)"
                      R"({"destination_addr":"4478","short_message":"two"}],"expectDeliveries":1,)"
                      R"("enquire":true,"unbind":true})"));
  SMPPLoginRequest login;
  ASSERT_EQ(SMPPServerWaitForLogin(s.conn.get(), nullptr, "client@127.0.0.1", &login, 5000), 0);
  EXPECT_STREQ(login.systemId, "client");
  EXPECT_STREQ(login.password, "pw");
  EXPECT_EQ(login.bindType, SMPP_BIND_TRANSCEIVER);
  ASSERT_EQ(SMPPServerAcceptLogin(s.conn.get(), nullptr, "client@127.0.0.1", &login, "QARGATE"), 0);
  std::string line;
  ASSERT_TRUE(s.node.WaitFor("BIND_RESP", line, 5000));
  EXPECT_EQ(line, "BIND_RESP 0 QARGATE");
  int linkError = 0;
  for (int i = 0; i < 100 && g_serverSubmits.size() < 2; ++i) {
    SMPPServerYield(s.conn.get(), nullptr, "client@127.0.0.1", 50, &linkError);
  }
  ASSERT_EQ(g_serverSubmits.size(), 2u);
  EXPECT_EQ(g_serverSubmits[0], "99|4477|one");
  EXPECT_TRUE(s.node.WaitFor("SUBMIT_RESP 0 ABC1", line, 10000));
  EXPECT_TRUE(s.node.WaitFor("SUBMIT_RESP 0 ABC2", line, 10000));
  EXPECT_EQ(SMPPServerSubmitMessageNew(s.conn.get(), nullptr, "client@127.0.0.1", 0x34, "4477", "99", 0, 0, "",
                                       "id:ABC1 stat:DELIVRD", SMPP_FLAG_IS_REPORT, 0,
                                       "SMPPOption_receipted_message_id=ABC1; SMPPOption_message_state=2"),
            0);
  ASSERT_TRUE(s.node.WaitFor("DELIVER ", line, 10000));
  EXPECT_NE(line.find(R"("esm_class":4)"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("receipted_message_id":"ABC1")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("text":"id:ABC1 stat:DELIVRD")"), std::string::npos) << line;
  for (int i = 0; i < 100 && !linkError; ++i) SMPPServerYield(s.conn.get(), nullptr, "c", 50, &linkError);
  EXPECT_EQ(linkError, 1);
  EXPECT_TRUE(s.node.WaitFor("UNBIND_RESP 0", line, 10000));
  bool sawEnquire = false;
  for (const auto& l : s.node.lines()) sawEnquire |= l == "ENQUIRE_RESP 0";
  EXPECT_TRUE(sawEnquire);
  EXPECT_GE(g_activity.load(), 5);  // bind, two submits, deliver_sm_resp, enquire_link, unbind
}

TEST(PeerServerRole, RejectedLoginAndSubmitOnReceiverBind) {
  REQUIRE_NODE_SMPP();
  {
    ServerRole s;
    ASSERT_TRUE(s.Start(R"({"bind":"bind_transmitter","password":"wrong"})"));
    SMPPLoginRequest login;
    ASSERT_EQ(SMPPServerWaitForLogin(s.conn.get(), nullptr, "c", &login, 5000), 0);
    EXPECT_EQ(login.bindType, SMPP_BIND_TRANSMITTER);
    ASSERT_EQ(SMPPServerRejectLogin(s.conn.get(), nullptr, "c", &login, 0x0E), 0);
    std::string line;
    EXPECT_TRUE(s.node.WaitFor("BIND_RESP 14", line, 10000));
  }
  {
    g_serverSubmits.clear();
    SMPPServerSetReceiveMessageCallback(ServerCallback);
    ServerRole s;
    ASSERT_TRUE(s.Start(R"({"bind":"bind_receiver","submits":[{"destination_addr":"1","short_message":"x"}]})"));
    SMPPLoginRequest login;
    ASSERT_EQ(SMPPServerWaitForLogin(s.conn.get(), nullptr, "c", &login, 5000), 0);
    ASSERT_EQ(SMPPServerAcceptLogin(s.conn.get(), nullptr, "c", &login, "QARGATE"), 0);
    std::string line;
    int linkError = 0;
    for (int i = 0; i < 200 && !s.node.WaitFor("SUBMIT_RESP", line, 50); ++i) {
      SMPPServerYield(s.conn.get(), nullptr, "c", 50, &linkError);
    }
    EXPECT_EQ(line, "SUBMIT_RESP 4 ");
    EXPECT_TRUE(g_serverSubmits.empty());
  }
  {
    ServerRole s;
    ASSERT_TRUE(s.Start(R"({"closeAtOnce":true})"));  // the client goes before it binds
    SMPPLoginRequest login;
    EXPECT_LT(SMPPServerWaitForLogin(s.conn.get(), nullptr, "c", &login, 3000), 0);
  }
}

// Held answers: a submit_sm handled while holding is answered only when the owner sends
// what is held, then with the callback's id, or with the failure status and no id.
TEST(PeerServerRole, HeldAnswersLeaveWhenSentWithTheirOutcome) {
  REQUIRE_NODE_SMPP();
  g_serverSubmits.clear();
  SMPPServerSetReceiveMessageCallback(ServerCallback);
  ServerRole s;
  ASSERT_TRUE(s.Start(R"({"bind":"bind_transmitter","submits":[{"destination_addr":"1","short_message":"a"},)"
                      R"({"destination_addr":"2","short_message":"b"},{"destination_addr":"3","short_message":"c"}]})"));
  SMPPLoginRequest login;
  ASSERT_EQ(SMPPServerWaitForLogin(s.conn.get(), nullptr, "h", &login, 5000), 0);
  ASSERT_EQ(SMPPServerAcceptLogin(s.conn.get(), nullptr, "h", &login, "QARGATE"), 0);
  const struct {
    int failStatus;
    const char* answer;
  } rounds[] = {{0, "SUBMIT_RESP 0 ABC1"}, {8, "SUBMIT_RESP 8 "}, {0x58, "SUBMIT_RESP 88 "}};
  std::string line;
  for (size_t i = 0; i < std::size(rounds); ++i) {
    SCOPED_TRACE(i);
    SMPPServerHoldResponses(s.conn.get(), nullptr, "h");
    int linkError = 0;
    for (int n = 0; n < 200 && g_serverSubmits.size() <= i && !linkError; ++n)
      SMPPServerYield(s.conn.get(), nullptr, "h", 50, &linkError);
    ASSERT_EQ(g_serverSubmits.size(), i + 1);
    EXPECT_FALSE(s.node.WaitFor("SUBMIT_RESP", line, 300)) << "answered while held: " << line;
    ASSERT_EQ(SMPPServerSendHeldResponses(s.conn.get(), nullptr, "h", rounds[i].failStatus), 0);
    ASSERT_TRUE(s.node.WaitFor("SUBMIT_RESP", line, 10000));
    EXPECT_EQ(line, rounds[i].answer);
  }
}

// Held answers leave group by group: the oldest count of them, each group with its own
// outcome, the rest still held, also once holding is released.
TEST(PeerServerRole, HeldAnswersLeaveOldestFirstInGroups) {
  REQUIRE_NODE_SMPP();
  g_serverSubmits.clear();
  SMPPServerSetReceiveMessageCallback(ServerCallback);
  ServerRole s;
  ASSERT_TRUE(s.Start(R"({"bind":"bind_transmitter","windowed":true,"submits":[)"
                      R"({"destination_addr":"1","short_message":"a"},{"destination_addr":"2","short_message":"b"},)"
                      R"({"destination_addr":"3","short_message":"c"},{"destination_addr":"4","short_message":"d"}]})"));
  SMPPLoginRequest login;
  ASSERT_EQ(SMPPServerWaitForLogin(s.conn.get(), nullptr, "g", &login, 5000), 0);
  ASSERT_EQ(SMPPServerAcceptLogin(s.conn.get(), nullptr, "g", &login, "QARGATE"), 0);
  SMPPServerHoldResponses(s.conn.get(), nullptr, "g");
  int linkError = 0;
  for (int n = 0; n < 200 && g_serverSubmits.size() < 4 && !linkError; ++n)
    SMPPServerYield(s.conn.get(), nullptr, "g", 50, &linkError);
  ASSERT_EQ(g_serverSubmits.size(), 4u);
  EXPECT_EQ(SMPPServerHeldResponseCount(s.conn.get(), nullptr, "g"), 4);
  const struct {
    int count, failStatus;
    bool releaseFirst;
    std::vector<std::string> answers;
    int heldAfter;
  } groups[] = {
      {1, 0, false, {"SUBMIT_RESP 0 ABC1"}, 3},
      {0, 0, false, {}, 3},
      {1, 8, false, {"SUBMIT_RESP 8 "}, 2},
      {1, 0, true, {"SUBMIT_RESP 0 ABC3"}, 1},  // released: what is held stays held
      {9, 0x58, false, {"SUBMIT_RESP 88 "}, 0},
  };
  std::string line;
  for (const auto& g : groups) {
    SCOPED_TRACE(g.count);
    if (g.releaseFirst) {
      SMPPServerReleaseHold(s.conn.get(), nullptr, "g");
      EXPECT_FALSE(s.node.WaitFor("SUBMIT_RESP", line, 300)) << "answered on release: " << line;
    }
    ASSERT_EQ(SMPPServerSendFirstHeldResponses(s.conn.get(), nullptr, "g", g.count, g.failStatus), 0);
    for (const std::string& answer : g.answers) {
      ASSERT_TRUE(s.node.WaitFor("SUBMIT_RESP", line, 10000));
      EXPECT_EQ(line, answer);
    }
    EXPECT_FALSE(s.node.WaitFor("SUBMIT_RESP", line, 300)) << "more than the group left: " << line;
    EXPECT_EQ(SMPPServerHeldResponseCount(s.conn.get(), nullptr, "g"), g.heldAfter);
  }
}

// Asynchronous receiving: the wake-ups the library asks for, by connection name.
std::mutex g_wakeLock;
std::vector<std::string> g_wakes;
void RecordWake(const char* name) {
  std::lock_guard lock(g_wakeLock);
  g_wakes.push_back(name);
}
size_t WakeCount() {
  std::lock_guard lock(g_wakeLock);
  return g_wakes.size();
}
size_t ReceivedCount() {
  std::lock_guard lock(g_received.lock);
  return g_received.texts.size();
}
void ClearReceived() {
  std::lock_guard lock(g_received.lock);
  g_received.texts.clear();
  g_received.extras.clear();
}

// Yields on the session until pred holds (bounded), reading the SMS centre's lines meanwhile.
template <typename Pred>
bool YieldUntil(SmscFixture& f, const char* name, Pred pred, int rounds = 100) {
  for (int i = 0; i < rounds && !pred(); ++i) {
    int linkError = 0;
    SMPPYield(f.sock.get(), nullptr, name, 0x34, 50, &linkError);
  }
  return pred();
}

// Lines of the SMS centre beginning with prefix, read for up to ms.
int CountLines(SmscFixture& f, const std::string& prefix, int ms) {
  std::string line;
  while (f.node.ReadLine(line, ms)) {
  }
  int n = 0;
  for (const std::string& l : f.node.lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

constexpr const char* kAsyncName = "SMPP - test";

// An SMS centre and a bound session of ours, the receive callback and wake-up installed; the
// callback answers 0 until told otherwise.
::testing::AssertionResult StartReceiving(SmscFixture& f, int bindType = SMPP_BIND_TRANSCEIVER) {
  if (!f.Start()) return ::testing::AssertionFailure() << "no SMS centre";
  if (int r = f.Bind(bindType); r != 0) return ::testing::AssertionFailure() << "bind: " << r;
  SMPPSetReceiveMessageCallback(ReceiveCallback);
  SMPPSetAsyncReceiveWakeFunction(RecordWake);
  ClearReceived();
  g_received.answer = 0;
  return ::testing::AssertionSuccess();
}

// The SMS centre sends count deliver_sm ("<text>0".."<text>N"); true once all are queued.
bool DeliverQueued(SmscFixture& f, int count, const std::string& text) {
  size_t wakes = WakeCount();
  f.node.Send("delivermany " + std::to_string(count) +
              R"( {"source_addr":"1","destination_addr":"2","short_message":")" + text + R"("})");
  return YieldUntil(f, kAsyncName, [&] { return WakeCount() >= wakes + size_t(count); });
}

// Held answers on the client side: the deliver_sm handled while holding are answered only
// when the owner sends what is held, all in their order, with the callback's status or, for
// those the callback accepted, the failure status; afterwards answers leave at once again.
TEST(PeerWire, HeldDeliverAnswersLeaveTogetherInOrderWithTheirOutcome) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(StartReceiving(f));
  const struct {
    const char* name;
    int callbackAnswer;
    int failStatus;
    int expected;
  } rounds[] = {
      {"stored", 0, 0, 0},
      {"stored, flush failed", 0, 0x64, 0x64},
      {"refused by the callback, flush failed", 0x58, 0x64, 0x58},
  };
  constexpr int kMessages = 5;
  std::string line;
  for (const auto& r : rounds) {
    SCOPED_TRACE(r.name);
    ClearReceived();
    g_received.answer = r.callbackAnswer;
    SMPPHoldResponses(f.sock.get(), nullptr, kAsyncName);
    f.node.Send(std::string("delivermany ") + std::to_string(kMessages) +
                R"( {"source_addr":"4477","destination_addr":"12","short_message":"m"})");
    ASSERT_TRUE(YieldUntil(f, kAsyncName, [] { return ReceivedCount() == kMessages; }));
    EXPECT_FALSE(f.node.WaitFor("DELIVER_RESP", line, 300)) << "answered while held: " << line;
    ASSERT_EQ(SMPPSendHeldResponses(f.sock.get(), nullptr, kAsyncName, r.failStatus), 0);
    for (int i = 0; i < kMessages; ++i) {
      ASSERT_TRUE(f.node.WaitFor("DELIVER_RESP", line, 5000)) << i;
      EXPECT_EQ(line, "DELIVER_RESP " + std::to_string(r.expected) + " m" + std::to_string(i));
    }
  }
  // No longer holding: answered within the yield.
  ClearReceived();
  g_received.answer = 0;
  f.node.Send(R"(deliver {"source_addr":"1","destination_addr":"2","short_message":"inline"})");
  for (int i = 0; i < 200 && !f.node.WaitFor("DELIVER_RESP", line, 50); ++i) {
    int linkError = 0;
    SMPPYield(f.sock.get(), nullptr, kAsyncName, 0x34, 50, &linkError);
  }
  EXPECT_EQ(line, "DELIVER_RESP 0");
}

TEST(PeerAsyncReceive, AnsweredOnlyOnceTheQueueIsServedWithTheCallbacksStatus) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(StartReceiving(f));
  SMPPSetAsyncReceive("smpp - TEST", 1);  // names compare without case
  struct Case {
    const char* pdu;
    const char* text;
    int answer;
  } cases[] = {
      {R"({"source_addr":"4477","destination_addr":"12","short_message":"stored"})", "stored", 0},
      {R"({"source_addr":"4477","destination_addr":"12","short_message":"not stored"})", "not stored", 0x64},
      {R"({"command":"data_sm","source_addr":"4477","destination_addr":"12","message_payload":"as datasm"})",
       "as datasm", 0x58},
  };
  for (const Case& c : cases) {
    ClearReceived();
    g_received.answer = c.answer;
    size_t wakes = WakeCount();
    f.node.Send(std::string("deliver ") + c.pdu);
    ASSERT_TRUE(YieldUntil(f, kAsyncName, [&] { return WakeCount() > wakes; })) << c.text;
    {
      std::lock_guard lock(g_wakeLock);
      EXPECT_EQ(g_wakes.back(), kAsyncName);
    }
    // Queued: neither taken by the callback nor answered yet.
    EXPECT_EQ(ReceivedCount(), 0u);
    std::string line;
    YieldUntil(f, kAsyncName, [] { return false; }, 4);
    EXPECT_FALSE(f.node.WaitFor("DELIVER_RESP", line, 100)) << line;
    EXPECT_EQ(SMPPReceiveFromAsyncQ(kAsyncName), 1);
    ASSERT_TRUE(f.node.WaitFor("DELIVER_RESP", line, 5000)) << c.text;
    EXPECT_EQ(line, "DELIVER_RESP " + std::to_string(c.answer));
    // The response of the request's kind: deliver_sm_resp or data_sm_resp.
    const std::string& raw = *std::find_if(f.node.lines().rbegin(), f.node.lines().rend(),
                                           [](const std::string& l) { return l.rfind("RAW ", 0) == 0; });
    EXPECT_EQ(raw.substr(12, 8), std::strstr(c.pdu, "data_sm") ? "80000103" : "80000005") << raw;
    std::lock_guard lock(g_received.lock);
    ASSERT_EQ(g_received.texts.size(), 1u);
    EXPECT_EQ(g_received.texts[0], std::string("4477|12|") + c.text + "|0");
  }
  EXPECT_EQ(SMPPReceiveFromAsyncQ(kAsyncName), 0);

  // Off again: answered inline, within the yield, as without the queue.
  SMPPSetAsyncReceive(kAsyncName, 0);
  ClearReceived();
  g_received.answer = 0;
  size_t wakes = WakeCount();
  f.node.Send(R"(deliver {"source_addr":"1","destination_addr":"2","short_message":"inline"})");
  std::string line;
  for (int i = 0; i < 200 && !f.node.WaitFor("DELIVER_RESP", line, 50); ++i) {
    int linkError = 0;
    SMPPYield(f.sock.get(), nullptr, kAsyncName, 0x34, 50, &linkError);
  }
  EXPECT_EQ(line, "DELIVER_RESP 0");
  EXPECT_EQ(ReceivedCount(), 1u);
  EXPECT_EQ(WakeCount(), wakes);
  SMPPUnbind(f.sock.get(), nullptr, kAsyncName, 0x34);
}

// A session that ends before its queued messages are served gets no answer for them, and
// they are not stored: the SMS centre delivers them again.
TEST(PeerAsyncReceive, SessionEndedBeforeTheQueueIsServedGetsNoAnswer) {
  REQUIRE_NODE_SMPP();
  enum class End { EndSession, Unbind, PeerDropsTheLink, LastSwitchOff };
  for (End end : {End::EndSession, End::Unbind, End::PeerDropsTheLink, End::LastSwitchOff}) {
    SmscFixture f;
    ASSERT_TRUE(StartReceiving(f));
    SMPPSetAsyncReceive(kAsyncName, 1);
    SMPPSetAsyncReceive(kAsyncName, 1);  // a second session of the same connection
    ASSERT_TRUE(DeliverQueued(f, 3, "m"));
    switch (end) {
      case End::EndSession:
        SMPPEndSession(f.sock.get());
        f.sock.reset();
        break;
      case End::Unbind:
        EXPECT_EQ(SMPPUnbind(f.sock.get(), nullptr, kAsyncName, 0x34), 0);
        break;
      case End::PeerDropsTheLink: {
        f.node.Send("close");
        int linkError = 0;
        for (int i = 0; i < 100 && !linkError; ++i) SMPPYield(f.sock.get(), nullptr, kAsyncName, 0x34, 50, &linkError);
        EXPECT_EQ(linkError, 1);
        break;
      }
      case End::LastSwitchOff:
        // The first off leaves the queue to the other session; the last one serves it.
        SMPPSetAsyncReceive(kAsyncName, 0);
        EXPECT_EQ(ReceivedCount(), 0u);
        SMPPSetAsyncReceive(kAsyncName, 0);
        EXPECT_EQ(ReceivedCount(), 3u);
        EXPECT_EQ(CountLines(f, "DELIVER_RESP 0 m", 300), 3);
        SMPPUnbind(f.sock.get(), nullptr, kAsyncName, 0x34);
        continue;
    }
    EXPECT_EQ(SMPPReceiveFromAsyncQ(kAsyncName), 0);
    EXPECT_EQ(ReceivedCount(), 0u);
    EXPECT_EQ(CountLines(f, "DELIVER_RESP", 300), 0);
    SMPPSetAsyncReceive(kAsyncName, 0);
    SMPPSetAsyncReceive(kAsyncName, 0);
  }
}

// The session ends while another thread serves its queue: answers stop, none is sent for a
// message not stored, and the socket can be closed at once (the sanitizer build checks).
TEST(PeerAsyncReceive, SessionEndedWhileTheQueueIsServed) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(StartReceiving(f));
  SMPPSetAsyncReceive(kAsyncName, 1);
  ASSERT_TRUE(DeliverQueued(f, 40, "s"));
  g_received.delayMs = 10;
  std::atomic<int> handled{0};
  std::thread server([&] { handled = SMPPReceiveFromAsyncQ(kAsyncName); });
  for (int i = 0; i < 2500 && ReceivedCount() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  SMPPEndSession(f.sock.get());
  f.sock.reset();
  server.join();
  g_received.delayMs = 0;
  int answered = CountLines(f, "DELIVER_RESP 0 s", 300);
  EXPECT_GE(answered, 4);
  EXPECT_LE(answered, handled.load());
  EXPECT_LT(handled.load(), 40);
  EXPECT_EQ(size_t(handled.load()), ReceivedCount());
  SMPPSetAsyncReceive(kAsyncName, 0);
}

// A queue that is not served fills up: further messages are answered "queue full" (0x14) at
// once; two threads then serve the queue, each message exactly once.
TEST(PeerAsyncReceive, FullQueueAnswersBusyAndTwoServersTakeEachMessageOnce) {
  REQUIRE_NODE_SMPP();
  SmscFixture f;
  ASSERT_TRUE(StartReceiving(f, SMPP_BIND_RECEIVER));
  SMPPSetAsyncReceive(kAsyncName, 1);
  constexpr int kLimit = 2000;
  f.node.Send(R"(delivermany 2003 {"source_addr":"1","destination_addr":"2","short_message":"n"})");
  int busy = 0;
  std::string line;
  for (int i = 0; i < 400 && busy < 3; ++i) {
    int linkError = 0;
    SMPPYield(f.sock.get(), nullptr, kAsyncName, 0x34, 50, &linkError);
    while (f.node.ReadLine(line, 20)) busy += line.rfind("DELIVER_RESP 20 ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(busy, 3);
  EXPECT_EQ(ReceivedCount(), 0u);
  std::atomic<int> handled{0};
  std::vector<std::thread> servers;
  for (int t = 0; t < 2; ++t) {
    servers.emplace_back([&] {
      for (int i = 0; i < 200 && handled.load() < kLimit; ++i) handled += SMPPReceiveFromAsyncQ(kAsyncName);
    });
  }
  for (auto& t : servers) t.join();
  EXPECT_EQ(handled.load(), kLimit);
  int answered = 0;
  while (answered < kLimit && f.node.ReadLine(line, 5000)) {
    answered += line.rfind("DELIVER_RESP 0 ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(answered, kLimit);
  std::lock_guard lock(g_received.lock);
  std::vector<std::string> texts = g_received.texts;
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
  EXPECT_EQ(texts.size(), size_t(kLimit));
  SMPPSetAsyncReceive(kAsyncName, 0);
}

}  // namespace
