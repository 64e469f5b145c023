// The library against the Python CIMD2 centre of these tests: bytes on the wire, answers,
// deliveries at any time, failures of the centre, several sessions at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/qarbolt/qarbolt.h"
#include "outside/qarbolt/tests/centre_process.h"
#include "tests/support/temp_dir.h"

namespace {

struct Received {
  std::string kind, sender, recipient, udh, data, receiptId, extra;
  int pid = 0, dcs = 0, flags = 0, binary = 0;
};

std::mutex g_lock;
std::vector<Received> g_received;
std::vector<std::string> g_trace;
std::atomic<int> g_stored{1};

int ExCallback(const char*, const char* sender, const char* recipient, const char* udh, const char* data, int pid,
               int dcs, int flags, int binary, const char* receiptId, const char* extra) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_received.push_back({"ex", sender, recipient, udh, data, receiptId, extra, pid, dcs, flags, binary});
  return g_stored.load();
}

int OlderCallback(const char*, const char* sender, const char* recipient, const char* udh, const char* data, int pid,
                  int dcs, int binary) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_received.push_back({"older", sender, recipient, udh, data, "", "", pid, dcs, 0, binary});
  return g_stored.load();
}

void DebugLog(const char* label, const char* text) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_trace.push_back(std::string(label) + ": " + text);
}

std::vector<Received> TakeReceived() {
  std::lock_guard<std::mutex> lock(g_lock);
  std::vector<Received> r;
  r.swap(g_received);
  return r;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// A client socket with its library session.
struct Link {
  int sock = -1;
  std::string name = "CIMD - 127.0.0.1";
  explicit Link(unsigned port) {
    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connectResult = CIMDConnect(name.c_str(), sock, "127.0.0.1", port);
  }
  ~Link() {
    StopYielding();
    CIMDEndSession(sock);
    close(sock);
  }
  int Bind(const char* user = "user", const char* password = "password") {
    return CIMDBind(name.c_str(), sock, user, password);
  }
  int Submit(const char* sender, const char* recipient, int pid, int dcs, const char* udh, const char* data, int flags,
             int binary) {
    return CIMDSubmitMessage(name.c_str(), sock, sender, "", recipient, pid, dcs, udh, data, flags, binary);
  }
  std::string LastId() {
    char id[64];
    return CIMDLastMessageId(name.c_str(), sock, id, sizeof id) == 0 ? std::string(id) : std::string("<none>");
  }
  // Serves the session on a thread of its own, as the gateway's idle loop does.
  void StartYielding() {
    stop = false;
    yielder = std::thread([this] {
      while (!stop) {
        int linkError = 0;
        if (CIMDYield(name.c_str(), sock, 50, &linkError) != 0) break;
      }
    });
  }
  void StopYielding() {
    stop = true;
    if (yielder.joinable()) yielder.join();
  }
  int connectResult = 0;
  std::atomic<bool> stop{false};
  std::thread yielder;
};

class BoltWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(centre.Start());
    CIMDSetResponseTimeout(5000);
    CIMDSetReceiveMessageCallback(OlderCallback);
    CIMDSetReceiveMessageCallbackEx(ExCallback);
    CIMDSetDebugLogFunction(DebugLog);
    CIMDSetDebugMode(1);
    g_stored = 1;
    TakeReceived();
  }
  void TearDown() override { CIMDSetResponseTimeout(30000); }
  CimdCentre centre;
};

TEST_F(BoltWire, LoginRightWrongAndRefused) {
  struct Case {
    const char* name;
    const char* user;
    const char* password;
    const char* set;
    int result;
  };
  const Case cases[] = {
      {"right", "user", "password", R"({"cmd": "set", "login_error": null})", 0},
      {"wrong password", "user", "nope", R"({"cmd": "set", "login_error": null})", 100},
      {"refused by the centre", "user", "password", R"({"cmd": "set", "login_error": 103})", 103},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Has(centre.Control(c.set), "\"ok\": true"));
    Link link(centre.port());
    ASSERT_EQ(link.connectResult, 0);
    EXPECT_EQ(link.Bind(c.user, c.password), c.result) << c.name;
  }
  EXPECT_STREQ(CIMDErrorText(100), "Invalid login");
  // The login is traced, its password never.
  std::lock_guard<std::mutex> lock(g_lock);
  bool loginTraced = false;
  for (const std::string& line : g_trace) {
    EXPECT_FALSE(Has(line, "011:password") || Has(line, "011:nope")) << line;
    loginTraced = loginTraced || Has(line, "010:user<TAB>011:********<TAB>");
  }
  EXPECT_TRUE(loginTraced);
}

TEST_F(BoltWire, ConnectToAClosedPortFails) {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t length = sizeof a;
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
  close(probe);  // nobody listens there now
  Link link(ntohs(a.sin_port));
  EXPECT_EQ(link.connectResult, CIMD_ERROR_LINK);
  EXPECT_EQ(link.Bind(), CIMD_ERROR_LINK);
}

TEST_F(BoltWire, SubmitsReachTheCentreAsSent) {
  struct Case {
    const char* name;
    const char* sender;
    const char* recipient;
    int pid, dcs;
    const char* udh;
    const char* data;
    int flags, binary;
    std::vector<std::string> expected;  // parts of the centre's record of the submit
  };
  const Case cases[] = {
      {"text with euro", "4711", "+4512345678", 0, 0, "", "Price: 5 \xE2\x82\xAC [ok]", 0, 0,
       {R"("021": "+4512345678")", R"("023": "4711")", R"("033": "Price: 5 _XXe _XX<ok_XX>")",
        "\"text\": \"Price: 5 \xE2\x82\xAC [ok]\""}},
      {"UCS-2", "4711", "4512345678", 0, 8, "", "\xD0\x9F\xD1\x80\xD0\xB8", 0, 0,
       {R"("030": "8")", R"("034": "041F04400438")"}},
      {"binary with UDH", "4711", "4512345678", 0, 0xF5, "0605040B8423F0", "CAFEBABE", 0, 1,
       {R"("030": "245")", R"("032": "0605040B8423F0")", R"("034": "CAFEBABE")"}},
      {"alphanumeric sender", "Shop_24", "4512345678", 0, 0, "", "hi", 0, 0,
       {R"("027": "Shop_--24")", R"("alpha": "Shop_24")"}},
      {"report request and PID", "4711", "4512345678", 65, 0, "", "x", CIMD_FLAG_RECEIPT, 0,
       {R"("052": "65")", R"("056": "62")"}},
  };
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  int n = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(link.Submit(c.sender, c.recipient, c.pid, c.dcs, c.udh, c.data, c.flags, c.binary), 0) << c.name;
    std::string submits = centre.Control(R"({"cmd": "submits"})");
    size_t at = 0;
    for (int i = 0; i <= n; ++i) at = submits.find("{\"number\"", at + 1);
    std::string record = submits.substr(at, submits.find("{\"number\"", at + 1) - at);
    for (const std::string& part : c.expected) EXPECT_TRUE(Has(record, part)) << c.name << ": " << part << " in " << record;
    // The id of the accepted submit: its destination and the centre's time stamp.
    std::string id = link.LastId();
    EXPECT_EQ(id.rfind(std::string(c.recipient) + ":", 0), 0u) << id;
    EXPECT_EQ(id.size(), std::string(c.recipient).size() + 13) << id;
    ++n;
  }
  // Packet numbers of our operations are odd and grow: login 1, then 3, 5, ...
  std::string submits = centre.Control(R"({"cmd": "submits"})");
  EXPECT_TRUE(Has(submits, "\"number\": 3,")) << submits;
  EXPECT_TRUE(Has(submits, "\"number\": 11,")) << submits;
}

TEST_F(BoltWire, ValuesThatCannotBeEncodedSendNothing) {
  struct Case {
    const char* name;
    const char* sender;
    const char* recipient;
    int dcs;
    const char* data;
    int binary;
  };
  const Case cases[] = {
      {"character outside the set", "4711", "4512345678", 0, "\xE4\xBD\xA0\xE5\xA5\xBD", 0},
      {"TAB in the recipient", "4711", "45\t021:99", 0, "x", 0},
      {"STX in the text", "4711", "4512345678", 0, "a\x02" "b", 0},
      {"ETX in the sender", "Sh\x03p", "4512345678", 0, "x", 0},
      {"TAB in the text", "4711", "4512345678", 0, "a\tb", 0},
      {"binary not hex", "4711", "4512345678", 0, "XYZ0", 1},
  };
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  for (const Case& c : cases) {
    EXPECT_EQ(link.Submit(c.sender, c.recipient, 0, c.dcs, "", c.data, 0, c.binary), CIMD_ERROR_PROTOCOL) << c.name;
    EXPECT_EQ(link.LastId(), "<none>") << c.name;
  }
  EXPECT_TRUE(Has(centre.Control(R"({"cmd": "submits"})"), "\"submits\": []"));
  // The link is still good for the next message.
  EXPECT_EQ(link.Submit("4711", "4512345678", 0, 0, "", "ok", 0, 0), 0);
}

TEST_F(BoltWire, CentreFailuresGiveTheirResults) {
  struct Case {
    const char* name;
    const char* set;
    int result;
  };
  const Case cases[] = {
      {"error code", R"({"cmd": "set", "submit_error": 300})", 300},
      {"no answer", R"({"cmd": "set", "no_response": true})", CIMD_ERROR_TIMEOUT},
      {"malformed answer is no answer", R"({"cmd": "set", "malformed_answer": true})", CIMD_ERROR_TIMEOUT},
      {"answer with a bad checksum is no answer", R"({"cmd": "set", "bad_checksum": true})", CIMD_ERROR_TIMEOUT},
      {"slow answer within the wait", R"({"cmd": "set", "delay_ms": 300})", 0},
      {"connection dropped", R"({"cmd": "set", "drop_on_submit": true})", CIMD_ERROR_LINK},
  };
  CIMDSetResponseTimeout(1500);
  for (const Case& c : cases) {
    ASSERT_TRUE(Has(centre.Control(R"({"cmd": "set", "submit_error": null, "no_response": false,
      "malformed_answer": false, "bad_checksum": false, "delay_ms": 0, "drop_on_submit": false})"), "\"ok\": true"));
    Link link(centre.port());
    ASSERT_EQ(link.Bind(), 0) << c.name;
    ASSERT_TRUE(Has(centre.Control(c.set), "\"ok\": true")) << c.name;
    EXPECT_EQ(link.Submit("4711", "4512345678", 0, 0, "", "x", 0, 0), c.result) << c.name;
    if (c.result != 0) {
      EXPECT_EQ(link.LastId(), "<none>") << c.name;
    }
  }
}

TEST_F(BoltWire, AWaitEndsAtItsDeadlineWhateverElseTheCentreSends) {
  CIMDSetResponseTimeout(1000);
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  ASSERT_TRUE(Has(centre.Control(R"({"cmd": "set", "no_response": true, "flood_ms": 8000})"), "\"ok\": true"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.Submit("4711", "4512345678", 0, 0, "", "x", 0, 0), CIMD_ERROR_TIMEOUT);
  // Bounded by the response timeout, not by the end of the flood.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

TEST_F(BoltWire, DeliveriesGoToOneCallbackAndAreAnswered) {
  struct Case {
    const char* name;
    bool ex;      // the Ex callback is set
    int stored;   // what the callback returns
    const char* inject;
    const char* kind;  // which callback got it ("" = none)
    std::string data;
    const char* answerPart;
  };
  const Case cases[] = {
      {"text to Ex", true, 1,
       R"({"cmd": "inject_mo", "sender": "4599", "recipient": "1234", "text": "Gr\u00fc\u00dfe \u20ac"})", "ex",
       "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC", R"("op": 70, "number": 2, "params": {}})"},
      {"text to the older callback", false, 1,
       R"({"cmd": "inject_mo", "sender": "Info", "alpha": true, "recipient": "1234", "text": "x"})", "older", "x",
       R"("params": {}})"},
      {"not stored: error answer", true, 0, R"({"cmd": "inject_mo", "sender": "4599", "text": "again"})", "ex",
       "again", R"("params": {"900": "10"}})"},
      {"not stored by the older callback", false, 0, R"({"cmd": "inject_mo", "sender": "4599", "text": "y"})",
       "older", "y", R"("params": {"900": "10"}})"},
      {"report to Ex", true, 1,
       R"({"cmd": "inject_dn", "destination": "4512345678", "timestamp": "261208134500", "status": 4})", "ex",
       "delivery successful", R"("op": 73)"},
      {"report without Ex is not passed", false, 1,
       R"({"cmd": "inject_dn", "destination": "4512345678", "timestamp": "261208134500", "status": 3})", "", "",
       R"("op": 73, "number": 2, "params": {}})"},
      {"binary and UDH", true, 1,
       R"({"cmd": "inject_mo", "sender": "4599", "dcs": 4, "udh": "06050415811581", "binary": "cafe"})", "ex",
       "CAFE", R"("params": {}})"},
  };
  for (const Case& c : cases) {
    CIMDSetReceiveMessageCallbackEx(c.ex ? ExCallback : nullptr);
    g_stored = c.stored;
    Link link(centre.port());
    ASSERT_EQ(link.Bind(), 0);
    link.StartYielding();
    std::string reply = centre.Control(c.inject);
    link.StopYielding();
    EXPECT_TRUE(Has(reply, c.answerPart)) << c.name << ": " << reply;
    std::vector<Received> got = TakeReceived();
    if (*c.kind == '\0') {
      EXPECT_TRUE(got.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << c.name;  // never both callbacks
    EXPECT_EQ(got[0].kind, c.kind) << c.name;
    EXPECT_EQ(got[0].data, c.data) << c.name;
  }
  CIMDSetReceiveMessageCallbackEx(ExCallback);
}

TEST_F(BoltWire, DeliveriesWhileASubmitWaitsAndReportsMatchTheId) {
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  ASSERT_EQ(link.Submit("4711", "4512345678", 0, 0, "", "first", CIMD_FLAG_RECEIPT, 0), 0);
  std::string id = link.LastId();
  std::string timestamp = id.substr(id.find(':') + 1);
  std::string items = R"({"cmd": "during_submit", "items": [{"kind": "mo", "sender": "4599", "text": "meanwhile"},
      {"kind": "dn", "destination": "4512345678", "timestamp": ")" + timestamp + R"(", "status": 4}]})";
  ASSERT_TRUE(Has(centre.Control(items), "\"ok\": true"));
  EXPECT_EQ(link.Submit("4711", "4512345679", 0, 0, "", "second", 0, 0), 0);
  std::vector<Received> got = TakeReceived();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, "meanwhile");
  EXPECT_EQ(got[0].flags, 0);
  EXPECT_EQ(got[1].flags, CIMD_FLAG_IS_REPORT | CIMD_FLAG_DELIVERED);
  EXPECT_EQ(got[1].receiptId, id);
  EXPECT_EQ(got[1].sender, "4512345678");
  // Both were answered while the submit waited, and the submit got its own answer.
  std::string answers = centre.Control(R"({"cmd": "answers"})");
  EXPECT_TRUE(Has(answers, R"("op": 70)")) << answers;
  EXPECT_TRUE(Has(answers, R"("op": 73)")) << answers;
  EXPECT_EQ(link.LastId().rfind("4512345679:", 0), 0u);
}

// The submit in two halves: what lies between the send and the wait never takes the
// submit's answer from it, and the wait gives what the one-call submit would.
TEST_F(BoltWire, SubmitSentNowIsDecidedByItsWaitLater) {
  CIMDSetResponseTimeout(1500);
  auto yield = [](CimdCentre&, Link& link) {
    int linkError = 0;
    CIMDYield(link.name.c_str(), link.sock, 300, &linkError);
  };
  struct Case {
    const char* name;
    const char* set;  // the centre's behaviour for the submit
    std::function<void(CimdCentre&, Link&)> between;
    int result;  // of the wait
    bool linkStays;
  };
  const Case cases[] = {
      {"waited at once", nullptr, nullptr, 0, true},
      {"answer read by a yield and kept", nullptr, yield, 0, true},
      {"answer arriving during an alive", R"({"cmd": "set", "delay_ms": 300})",
       [](CimdCentre&, Link& link) { EXPECT_EQ(CIMDEnquireLink(link.name.c_str(), link.sock), 0); }, 0, true},
      {"a second send refused while one is outstanding", nullptr,
       [](CimdCentre&, Link& link) {
         EXPECT_EQ(CIMDSendMessage(link.name.c_str(), link.sock, "4711", "", "4599999999", 0, 0, "", "two", 0, 0),
                   CIMD_ERROR_PROTOCOL);
       },
       0, true},
      {"answer read, then the link lost", nullptr,
       [&](CimdCentre& centre, Link& link) {
         yield(centre, link);
         centre.Control(R"({"cmd": "close"})");
         for (int i = 0; i < 100 && CIMDCheckLinkStatus(link.name.c_str(), link.sock) != 0; ++i) yield(centre, link);
       },
       0, false},
      {"error code", R"({"cmd": "set", "submit_error": 300})", yield, 300, true},
      {"no answer", R"({"cmd": "set", "no_response": true})", nullptr, CIMD_ERROR_TIMEOUT, true},
      {"answer with a bad checksum is no answer", R"({"cmd": "set", "bad_checksum": true})", yield,
       CIMD_ERROR_TIMEOUT, true},
      {"connection dropped", R"({"cmd": "set", "drop_on_submit": true})", nullptr, CIMD_ERROR_LINK, false},
  };
  const char* clear = R"({"cmd": "set", "submit_error": null, "no_response": false, "bad_checksum": false,
      "delay_ms": 0, "drop_on_submit": false})";
  size_t halves = 0, submits = 0;  // what the centre has seen so far
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Has(centre.Control(clear), "\"ok\": true"));
    Link link(centre.port());
    ASSERT_EQ(link.Bind(), 0);
    if (c.set) {
      ASSERT_TRUE(Has(centre.Control(c.set), "\"ok\": true"));
    }
    ASSERT_EQ(CIMDSendMessage(link.name.c_str(), link.sock, "4711", "", "4512345678", 0, 0, "", "half", 0, 0), 0);
    if (c.between) c.between(centre, link);
    EXPECT_EQ(CIMDWaitMessageResult(link.name.c_str(), link.sock), c.result);
    std::string seen = centre.Control(R"({"cmd": "submits"})");
    EXPECT_EQ(CountOf(seen, "\"text\": \"half\""), ++halves) << "sent once: " << seen;
    EXPECT_EQ(CountOf(seen, "\"text\""), ++submits) << seen;
    if (c.result == 0) {
      EXPECT_EQ(link.LastId().rfind("4512345678:", 0), 0u) << link.LastId();
    } else {
      EXPECT_EQ(link.LastId(), "<none>");
    }
    // Nothing is outstanding any more.
    EXPECT_EQ(CIMDWaitMessageResult(link.name.c_str(), link.sock), CIMD_ERROR_PROTOCOL);
    ASSERT_TRUE(Has(centre.Control(clear), "\"ok\": true"));
    EXPECT_EQ(CIMDCheckLinkStatus(link.name.c_str(), link.sock) != 0, c.linkStays);
    if (c.linkStays) {
      // The next exchange gets its own answer, not a late one of the earlier submit.
      EXPECT_EQ(link.Submit("4711", "4512345679", 0, 0, "", "next", 0, 0), 0);
      EXPECT_EQ(link.LastId().rfind("4512345679:", 0), 0u);
      ++submits;
    }
  }
}

TEST_F(BoltWire, DeliveriesAreServedWhileTheWaitWaits) {
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  ASSERT_TRUE(Has(centre.Control(R"({"cmd": "during_submit", "items": [{"kind": "mo", "sender": "4599",
      "text": "meanwhile"}]})"), "\"ok\": true"));
  ASSERT_TRUE(Has(centre.Control(R"({"cmd": "set", "delay_ms": 300})"), "\"ok\": true"));
  ASSERT_EQ(CIMDSendMessage(link.name.c_str(), link.sock, "4711", "", "4512345678", 0, 0, "", "held", 0, 0), 0);
  EXPECT_EQ(CIMDWaitMessageResult(link.name.c_str(), link.sock), 0);
  std::vector<Received> got = TakeReceived();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "meanwhile");
  EXPECT_TRUE(Has(centre.Control(R"({"cmd": "answers"})"), R"("op": 70)"));
  EXPECT_EQ(link.LastId().rfind("4512345678:", 0), 0u);
}

TEST_F(BoltWire, MalformedOperationsGetErrorAnswers) {
  struct Case {
    const char* name;
    std::string packet;  // hex of what the centre sends
    const char* answerPart;
  };
  auto hex = [](const std::string& bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
      snprintf(b, sizeof b, "%02x", c);
      out += b;
    }
    return out;
  };
  const Case cases[] = {
      {"bad checksum", hex("\x02" "20:010\t021:1\t023:2\t033:x\t00\x03"), R"("op": 70, "number": 10, "params": {"900": "2"})"},
      {"missing originator", hex("\x02" "20:012\t021:1\t033:x\t\x03"), R"("op": 70, "number": 12, "params": {"900": "2"})"},
      {"bad address", hex("\x02" "20:014\t021:1x\t023:2\t\x03"), R"("op": 70, "number": 14, "params": {"900": "2"})"},
      {"unknown operation", hex("\x02" "45:016\t\x03"), R"("op": 98, "number": 16, "params": {"900": "1"})"},
      {"submit from the centre", hex("\x02" "03:018\t021:1\t\x03"), R"("op": 53, "number": 18, "params": {"900": "1"})"},
      {"alive", hex("\x02" "40:020\t\x03"), R"("op": 90, "number": 20, "params": {}})"},
  };
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  int answers = 0;
  for (const Case& c : cases) {
    ASSERT_TRUE(Has(centre.Control(R"({"cmd": "raw", "hex": ")" + c.packet + "\"}"), "\"ok\": true"));
    int linkError = 0;
    EXPECT_EQ(CIMDYield(link.name.c_str(), link.sock, 200, &linkError), 0) << c.name;
    ++answers;
    std::string waited = centre.Control(R"({"cmd": "wait", "answers": )" + std::to_string(answers) + "}");
    std::string all = centre.Control(R"({"cmd": "answers"})");
    EXPECT_TRUE(Has(all, c.answerPart)) << c.name << ": " << all;
  }
  EXPECT_TRUE(TakeReceived().empty());
  // A stray answer to nothing is ignored, and the session goes on.
  ASSERT_TRUE(Has(centre.Control(R"({"cmd": "raw", "hex": ")" + hex("\x02" "53:099\t900:x\t\x03") + "\"}"),
                  "\"ok\": true"));
  EXPECT_EQ(CIMDEnquireLink(link.name.c_str(), link.sock), 0);
}

TEST_F(BoltWire, ConnectionFromTheCentreIsServedOnFirstUse) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  std::string connect = R"({"cmd": "connect", "host": "127.0.0.1", "port": )" + std::to_string(ntohs(a.sin_port)) + "}";
  ASSERT_TRUE(Has(centre.Control(connect), "\"ok\": true"));
  int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(accepted, 0);
  std::atomic<bool> stop{false};
  std::thread serve([&] {
    int linkError = 0;
    while (!stop && CIMDCheckLinkStatus("CIMD - listener", accepted) &&
           CIMDYield("CIMD - listener", accepted, 50, &linkError) == 0) {
    }
  });
  auto hex = [](const char* s) {
    std::string out;
    char b[3];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
      snprintf(b, sizeof b, "%02x", *p);
      out += b;
    }
    return out;
  };
  centre.Control(R"({"cmd": "raw", "hex": ")" + hex("\x02" "01:002\t010:smsc\t011:pw\t\x03") + "\"}");
  centre.Control(R"({"cmd": "raw", "hex": ")" + hex("\x02" "40:004\t\x03") + "\"}");
  std::string reply = centre.Control(R"({"cmd": "inject_mo", "sender": "4599", "recipient": "1234", "text": "mo"})");
  std::string answers = centre.Control(R"({"cmd": "answers"})");
  stop = true;
  serve.join();
  EXPECT_TRUE(Has(answers, R"("op": 51, "number": 2, "params": {}})")) << answers;
  EXPECT_TRUE(Has(answers, R"("op": 90, "number": 4, "params": {}})")) << answers;
  EXPECT_TRUE(Has(reply, R"("op": 70)")) << reply;
  std::vector<Received> got = TakeReceived();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "mo");
  CIMDEndSession(accepted);
  close(accepted);
  close(listener);
}

TEST_F(BoltWire, LostLinkIsReported) {
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  EXPECT_NE(CIMDCheckLinkStatus(link.name.c_str(), link.sock), 0);
  centre.Control(R"({"cmd": "close"})");
  int linkError = 0;
  EXPECT_NE(CIMDYield(link.name.c_str(), link.sock, 2000, &linkError), 0);
  EXPECT_EQ(linkError, 1);
  EXPECT_EQ(CIMDCheckLinkStatus(link.name.c_str(), link.sock), 0);
  EXPECT_EQ(CIMDEnquireLink(link.name.c_str(), link.sock), CIMD_ERROR_LINK);
}

TEST_F(BoltWire, SeveralSessionsOnSeveralThreads) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> accepted{0};
  std::mutex idsLock;
  std::vector<std::string> ids;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Link link(centre.port());
      if (link.Bind() != 0) return;
      for (int i = 0; i < kEach; ++i) {
        std::string recipient = "45" + std::to_string(t) + std::to_string(1000 + i);
        if (link.Submit("4711", recipient.c_str(), 0, 0, "", "x", 0, 0) != 0) continue;
        std::string id = link.LastId();
        if (id.rfind(recipient + ":", 0) == 0) ++accepted;
        std::lock_guard<std::mutex> lock(idsLock);
        ids.push_back(id);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(accepted.load(), kThreads * kEach);
}

// The exchanged packets as a pcap, read back by tshark's CIMD dissector.
std::string Pcap(const std::vector<std::string>& payloads, uint16_t port) {
  std::string out;
  auto put32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
  auto put16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
  put32(0xA1B2C3D4);
  put16(2);
  put16(4);
  put32(0);
  put32(0);
  put32(65535);
  put32(101);  // raw IP
  uint32_t seq = 1;
  for (size_t i = 0; i < payloads.size(); ++i) {
    const std::string& p = payloads[i];
    std::string pkt(40, '\0');
    size_t total = 40 + p.size();
    pkt[0] = 0x45;
    pkt[2] = char(total >> 8);
    pkt[3] = char(total & 0xFF);
    pkt[8] = 64;
    pkt[9] = 6;
    const unsigned char ip[8] = {127, 0, 0, 1, 127, 0, 0, 2};
    memcpy(&pkt[12], ip, 8);
    pkt[20] = char(40000 >> 8);
    pkt[21] = char(40000 & 0xFF);
    pkt[22] = char(port >> 8);
    pkt[23] = char(port & 0xFF);
    uint32_t s = htonl(seq);
    memcpy(&pkt[24], &s, 4);
    seq += uint32_t(p.size());
    pkt[32] = 0x50;
    pkt[33] = 0x18;
    pkt[34] = char(0xFF);
    pkt[35] = char(0xFF);
    pkt += p;
    put32(uint32_t(i));
    put32(0);
    put32(uint32_t(pkt.size()));
    put32(uint32_t(pkt.size()));
    out += pkt;
  }
  return out;
}

std::vector<std::string> FramesOf(const std::string& json, const char* direction) {
  std::vector<std::string> frames;
  size_t at = 0;
  std::string marker = std::string("\"dir\": \"") + direction + "\", \"hex\": \"";
  while ((at = json.find(marker, at)) != std::string::npos) {
    at += marker.size();
    std::string hex = json.substr(at, json.find('"', at) - at);
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    frames.push_back(bytes);
  }
  return frames;
}

TEST_F(BoltWire, TsharkReadsEveryPacketWeSend) {
  if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
  Link link(centre.port());
  ASSERT_EQ(link.Bind(), 0);
  ASSERT_EQ(link.Submit("4711", "4512345678", 0, 0, "", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC_@", CIMD_FLAG_RECEIPT, 0), 0);
  ASSERT_EQ(link.Submit("Shop", "4512345678", 0, 8, "050003AB0201", "\xD0\x9F", 0, 0), 0);
  ASSERT_EQ(link.Submit("4711", "4512345678", 0, 0xF5, "0605040B8423F0", "CAFE", 0, 1), 0);
  ASSERT_EQ(CIMDEnquireLink(link.name.c_str(), link.sock), 0);
  link.StartYielding();
  centre.Control(R"({"cmd": "inject_mo", "sender": "4599", "text": "x"})");
  centre.Control(R"({"cmd": "inject_dn", "destination": "4512345678", "timestamp": "261208134500", "status": 4})");
  link.StopYielding();
  std::vector<std::string> ours = FramesOf(centre.Control(R"({"cmd": "frames"})"), "<<");
  ASSERT_EQ(ours.size(), 7u);  // login, three submits, alive, two answers
  TempDir dir;
  std::string path = dir.path() + "cimd.pcap";
  std::ofstream(path, std::ios::binary) << Pcap(ours, 6789);
  std::string command = "HOME=" + dir.path() + " XDG_CONFIG_HOME=" + dir.path() + " timeout 120 tshark -r " + path +
                        " -d tcp.port==6789,cimd -T fields -e cimd.opcode -e cimd.pnumber -e _ws.col.Info -E "
                        "separator='|' 2>&1";
  std::string output;
  if (FILE* p = popen(command.c_str(), "r")) {
    char line[1024];
    while (fgets(line, sizeof line, p)) output += line;
    pclose(p);
  }
  EXPECT_EQ(output.find("Malformed"), std::string::npos) << output;
  EXPECT_EQ(output.find("invalid checksum"), std::string::npos) << output;
  for (const char* expected : {"1|1|Login", "3|3|Submit message", "3|5|Submit message", "3|7|Submit message",
                               "40|9|Alive", "70|2|Deliver message Resp", "73|4|Deliver status report Resp"}) {
    EXPECT_NE(output.find(expected), std::string::npos) << expected << " in\n" << output;
  }
}

}  // namespace
