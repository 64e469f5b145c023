// qarkite against the UCP SMS centre simulator of ../shared/peers over loopback, and against
// a centre played by the test on a socket the library has never seen.
#include <dlfcn.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/outside_tables.h"
#include "outside/qarkite/qarkite.h"
#include "outside/qarkite/tests/ucp_sim.h"
#include "outside/qarkite/ucp_frame.h"
#include "runtime/unique_fd.h"
#include "tests/support/ports.h"

namespace {

const char* const kName = "UCP - 127.0.0.1:test";

struct Inbound {
  std::string name, sender, recipient, udh, data, receipt, extra;
  int pid = 0, dcs = 0, flags = 0, binary = 0;
};

struct Received {
  std::mutex lock;
  std::vector<Inbound> items;
  std::atomic<int> answer{1};
  size_t count() {
    std::lock_guard g(lock);
    return items.size();
  }
  std::vector<Inbound> all() {
    std::lock_guard g(lock);
    return items;
  }
  void clear() {
    std::lock_guard g(lock);
    items.clear();
  }
};
Received g_received;

int ReceiveCallback(const char* name, const char* sender, const char* recipient, const char* udhHex, const char* data,
                    int pid, int dcs, int flags, int binary, const char* receiptMessageId, const char* extraParams) {
  std::lock_guard g(g_received.lock);
  g_received.items.push_back(
      {name, sender, recipient, udhHex, data, receiptMessageId, extraParams, pid, dcs, flags, binary});
  return g_received.answer.load();
}

std::mutex g_traceLock;
std::vector<std::string> g_trace;
void TraceCallback(const char* label, const char* text) {
  std::lock_guard g(g_traceLock);
  g_trace.push_back(std::string(label) + ": " + text);
}

// Serves the session until done() holds; false after timeoutMs.
template <typename Done>
bool ServeUntil(int sock, Done done, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    int linkError = 0;
    UCPYield(sock, kName, 100, &linkError);
  }
  return true;
}

class SimLink : public ::testing::Test {
 protected:
  void SetUp() override {
    g_received.clear();
    g_received.answer = 1;
    UCPSetReceiveMessageCallback(ReceiveCallback);
    UCPSetResponseTimeout(10000);
    if (!sim_.Start({"--login", "gw:secret", "--set", "mt3_charset=gsm", "--set", "dn_delay_ms=50"}))
      GTEST_SKIP() << sim_.why();
  }
  void TearDown() override {
    for (UniqueFd& s : socks_) UCPEndSession(s.get());
    UCPSetDebugMode(0);
    UCPSetDebugLogFunction(nullptr);
  }
  // A new link to the simulator, logged in unless told otherwise.
  int Link(bool login = true) {
    socks_.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int sock = socks_.back().get();
    EXPECT_EQ(UCPConnect(sock, kName, "127.0.0.1", sim_.port()), 0);
    if (login) {
      EXPECT_EQ(UCPBind(sock, kName, "gw", "secret"), 0);
    }
    return sock;
  }
  Json Submits(bool clear = true) { return sim_.Control(clear ? R"({"cmd":"submits","clear":true})" : R"({"cmd":"submits"})")["submits"]; }
  std::string LastId(int sock) {
    char id[64];
    return UCPLastMessageId(sock, id, sizeof id) == 0 ? id : "";
  }

  UcpSim sim_;
  std::vector<UniqueFd> socks_;
};

TEST_F(SimLink, LoginIsCheckedByTheCentreAndNeverTracedInClear) {
  g_trace.clear();
  UCPSetDebugLogFunction(TraceCallback);
  UCPSetDebugMode(1);
  struct Case {
    const char* user;
    const char* password;
    int status;
    const char* text;
    bool sent;
  } cases[] = {
      {"gw", "secret", 0, "No error", true},
      {"gw", "wrong", 7, "Authentication failure", true},
      {"nobody", "secret", 7, "Authentication failure", true},
      {"", "", 0, "No error", false},            // no login at all
      {"g/w", "secret", UCP_ERROR_PROTOCOL, "Protocol error", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    socks_.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int sock = socks_.back().get();
    ASSERT_EQ(UCPConnect(sock, kName, "127.0.0.1", sim_.port()), 0);
    size_t before = sim_.Control(R"({"cmd":"frames"})")["frames"].size();
    EXPECT_EQ(UCPBind(sock, kName, c.user, c.password), c.status);
    EXPECT_NE(std::string(UCPErrorText(c.status)).find(c.text), std::string::npos) << UCPErrorText(c.status);
    size_t after = sim_.Control(R"({"cmd":"frames"})")["frames"].size();
    EXPECT_EQ(after > before, c.sent);
  }
  std::lock_guard g(g_traceLock);
  bool loginTraced = false;
  for (const std::string& line : g_trace) {
    EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    EXPECT_EQ(line.find("736563726574"), std::string::npos) << line;  // the password in hex
    if (line.find("/O/60/gw/6/5/1/****/") != std::string::npos) loginTraced = true;
  }
  EXPECT_TRUE(loginTraced);
}

TEST_F(SimLink, SubmitsReachTheCentreAsSent) {
  int sock = Link();
  struct Case {
    const char* what;
    const char* sender;
    const char* recipient;
    int pid, dcs;
    const char* udh;
    const char* data;
    int flags, binary;
    // what the centre decoded
    std::string text, dataHex, udhHex, senderSeen, otoa;
    int mt, dcsSeen;
    bool notify;
    std::string nt;
  } cases[] = {
      {"GSM text with euro and braces", "4911", "0612345678", 0, 0, "", "5€ {ok} @home", 0, 0, "5€ {ok} @home",
       "", "", "4911", "", 3, -1, false, ""},
      {"UCS-2 text", "+4911", "0612345678", 0, 8, "", "Ωmega Жук", 0, 0, "Ωmega Жук", "03A9006D006500670061002004160443043A",
       "", "4911", "1139", 4, 8, false, ""},
      {"binary with UDH", "4911", "0612345678", 0, 0xF5, "050003AB0201", "C3A9FF00", 0, 1, "", "C3A9FF00",
       "050003AB0201", "4911", "", 4, 0xF5, false, ""},
      {"alphanumeric sender", "Shop 24", "+4912345", 0, 0, "", "Hello", 0, 0, "Hello", "", "", "Shop 24", "5039", 3,
       -1, false, ""},
      {"report requested", "4911", "0612345678", 0x40, 0, "", "Report me", 0x02, 0, "Report me", "", "", "4911", "",
       3, -1, true, "3"},
      {"failure report only", "4911", "0612345678", 0, 0, "", "Fail me", 0x40, 0, "Fail me", "", "", "4911", "", 3,
       -1, true, "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(UCPSubmitMessage(sock, kName, c.sender, "", c.recipient, c.pid, c.dcs, c.udh, c.data, c.flags, c.binary,
                               "OurMsgId=0000ABCD"),
              0);
    Json subs = Submits();
    ASSERT_EQ(subs.size(), 1u);
    const Json& s = subs[0];
    EXPECT_EQ(s["result"].str(), "ACK");
    EXPECT_EQ(s["recipient"].str(), std::string(c.recipient)[0] == '+' ? "00" + std::string(c.recipient + 1)
                                                                           : std::string(c.recipient));
    EXPECT_EQ(s["sender"].str(), c.senderSeen);
    EXPECT_EQ(s["otoa"].str(), c.otoa);
    EXPECT_EQ(s["mt"].integer(), c.mt);
    if (!c.text.empty()) {
      EXPECT_EQ(s["text"].str(), c.text);
    }
    if (!c.dataHex.empty()) {
      EXPECT_EQ(s["data"].str(), c.dataHex);
    }
    EXPECT_EQ(s["udh"].str(), c.udhHex);
    if (c.dcsSeen >= 0) {
      EXPECT_EQ(s["dcs"].integer(), c.dcsSeen);
    } else {
      EXPECT_EQ(s["dcs"].kind, Json::Null);
    }
    EXPECT_EQ(s["notification"]["requested"].boolean, c.notify);
    if (c.notify) {
      EXPECT_EQ(s["notification"]["nt_raw"].str(), c.nt);
    }
    EXPECT_EQ(s["rpid"].str(), c.pid ? "0064" : "");
    // The id the centre gave is what UCPLastMessageId hands out.
    EXPECT_EQ(LastId(sock), s["recipient"].str() + ":" + s["scts"].str());
  }
  // The requested delivery report arrives and names the submission it reports.
  std::string reported = "0612345678:";
  ASSERT_TRUE(ServeUntil(sock, [] { return g_received.count() >= 1; }));
  Inbound r = g_received.all()[0];
  EXPECT_EQ(r.flags, UCP_FLAG_IS_REPORT | UCP_FLAG_DELIVERED);
  EXPECT_EQ(r.receipt.rfind(reported, 0), 0u) << r.receipt;
  EXPECT_EQ(r.sender, "0612345678");
  EXPECT_EQ(r.recipient, "4911");
  EXPECT_EQ(r.name, kName);
}

TEST_F(SimLink, ValuesThatCannotBeEncodedFailWithoutSending) {
  int sock = Link();
  std::string longText(161, 'a'), longData(2 * 141, 'A');
  struct Case {
    const char* what;
    const char* sender;
    const char* recipient;
    int dcs;
    const char* udh;
    std::string data;
    int binary;
  } cases[] = {
      // The field-level refusals are in the unit table; here: nothing reaches the centre.
      {"character outside GSM without UCS-2", "4911", "0612345678", 0, "", "Жук", 0},
      {"separator in the recipient", "4911", "0612/345678", 0, "", "x", 0},
      {"control byte in the recipient", "4911", "0612\x03", 0, "", "x", 0},
      {"sender of 12 characters", "ABCDEFGHIJKL", "0612345678", 0, "", "x", 0},
      {"text one septet too long", "4911", "0612345678", 0, "", longText, 0},
      {"data one octet too long", "4911", "0612345678", 4, "", longData, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(UCPSubmitMessage(sock, kName, c.sender, "", c.recipient, 0, c.dcs, c.udh, c.data.c_str(), 0, c.binary, ""),
              UCP_ERROR_PROTOCOL);
    EXPECT_EQ(LastId(sock), "");
  }
  EXPECT_EQ(Submits().size(), 0u);
  // The boundaries themselves go through.
  std::string fullText(160, 'a'), fullData(2 * 134, 'B');
  EXPECT_EQ(UCPSubmitMessage(sock, kName, "ABCDEFGHIJK", "", "1234567890123456", 0, 0, "", fullText.c_str(), 0, 0, ""), 0);
  EXPECT_EQ(UCPSubmitMessage(sock, kName, "4911", "", "0612345678", 0, 4, "050003AB0201", fullData.c_str(), 0, 1, ""), 0);
  Json subs = Submits();
  ASSERT_EQ(subs.size(), 2u);
  EXPECT_EQ(subs[0]["sender"].str(), "ABCDEFGHIJK");
  EXPECT_EQ(subs[0]["text"].str(), fullText);
  EXPECT_EQ(subs[1]["data"].str(), fullData);
}

TEST_F(SimLink, CentreFailuresGiveTheirStatusAndTheLinkGoesOn) {
  UCPSetResponseTimeout(1500);
  int sock = Link();
  struct Case {
    const char* fail;
    int status;
    bool linkStays;
  } cases[] = {
      {R"({"cmd":"fail","nack":{"code":"04","count":1,"text":"busy"}})", 4, true},
      {R"({"cmd":"fail","delay_ms":400})", 0, true},
      {R"({"cmd":"fail","no_response":1})", UCP_ERROR_TIMEOUT, true},
      {R"({"cmd":"fail","bad_checksum":1})", UCP_ERROR_PROTOCOL, true},
      {R"({"cmd":"fail","drop_on_submit":1})", UCP_ERROR_LINK, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    sim_.Control(R"({"cmd":"fail","clear":true})");
    ASSERT_TRUE(sim_.Control(c.fail)["ok"].boolean);
    EXPECT_EQ(UCPSubmitMessage(sock, kName, "4911", "", "0612345678", 0, 0, "", "x", 0, 0, ""), c.status);
    if (c.status != 0) {
      EXPECT_EQ(LastId(sock), "");
    }
    sim_.Control(R"({"cmd":"fail","clear":true})");
    EXPECT_EQ(UCPCheckLinkStatus(sock, kName) != 0, c.linkStays);
    if (c.linkStays) {
      // The next operations get their own answers, not a late one of the failed submit.
      EXPECT_EQ(UCPEnquireLink(sock, kName), 0);
      EXPECT_EQ(UCPSubmitMessage(sock, kName, "4911", "", "0612345679", 0, 0, "", "y", 0, 0, ""), 0);
      EXPECT_EQ(LastId(sock).rfind("0612345679:", 0), 0u);
    } else {
      int linkError = 0;
      EXPECT_NE(UCPYield(sock, kName, 10, &linkError), 0);
      EXPECT_EQ(linkError, 1);
      EXPECT_EQ(UCPEnquireLink(sock, kName), UCP_ERROR_LINK);
    }
  }
}

TEST_F(SimLink, MessagesAndReportsArriveWhileASubmitWaits) {
  int sock = Link();
  ASSERT_EQ(UCPSubmitMessage(sock, kName, "4911", "", "0612345678", 0, 0, "", "first", 0, 0, ""), 0);
  std::string firstId = LastId(sock);
  ASSERT_TRUE(sim_.Control(R"({"cmd":"fail","delay_ms":2500})")["ok"].boolean);
  std::atomic<bool> injected{false};
  std::thread centre([&] {
    // Once the second submit is at the centre (its answer held back), the centre sends a
    // message and a report for the first submit.
    sim_.Control(R"({"cmd":"wait","submits":2,"timeout_ms":10000})");
    sim_.Control(R"({"cmd":"inject_mo","recipient":"1234","sender":"+491701234567","text":"STOP €","udh":"050003010201"})");
    sim_.Control(R"({"cmd":"inject_dn","submit":0,"dst":2,"rsn":"108"})");
    injected = true;
  });
  int status = UCPSubmitMessage(sock, kName, "4911", "", "0612345699", 0, 0, "", "second", 0, 0, "");
  centre.join();
  EXPECT_TRUE(injected);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(LastId(sock).rfind("0612345699:", 0), 0u);
  ASSERT_TRUE(ServeUntil(sock, [] { return g_received.count() >= 2; }));
  std::vector<Inbound> got = g_received.all();
  EXPECT_EQ(got[0].sender, "+491701234567");
  EXPECT_EQ(got[0].recipient, "1234");
  EXPECT_EQ(got[0].data, "STOP €");
  EXPECT_EQ(got[0].udh, "050003010201");
  EXPECT_EQ(got[0].flags, 0);
  EXPECT_EQ(got[1].flags, UCP_FLAG_IS_REPORT | UCP_FLAG_FAILED);
  EXPECT_EQ(got[1].receipt, firstId);
  // Both were acknowledged.
  Json ops = sim_.Control(R"({"cmd":"responses"})")["operations"];
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_TRUE(ops[0]["response"]["ack"].boolean);
  EXPECT_TRUE(ops[1]["response"]["ack"].boolean);
}

// The submit in two halves: what lies between the send and the wait never takes the
// submit's result from it, and the wait gives what the one-call submit would.
TEST_F(SimLink, SubmitSentNowIsDecidedByItsWaitLater) {
  UCPSetResponseTimeout(1500);
  struct Case {
    const char* what;
    const char* fail;  // the centre's behaviour for the submit
    std::function<void(UcpSim&, int sock)> between;
    int status;        // of the wait
    bool linkStays;
  };
  auto yield = [](UcpSim&, int sock) {
    int linkError = 0;
    UCPYield(sock, kName, 300, &linkError);
  };
  const Case cases[] = {
      {"waited at once", nullptr, nullptr, 0, true},
      {"result read by a yield and kept", nullptr, yield, 0, true},
      {"result arriving during an alert", R"({"cmd":"fail","delay_ms":300})",
       [](UcpSim&, int sock) { EXPECT_EQ(UCPEnquireLink(sock, kName), 0); }, 0, true},
      {"a second send refused while one is outstanding", nullptr,
       [](UcpSim&, int sock) {
         EXPECT_EQ(UCPSendMessage(sock, kName, "4911", "", "0699999999", 0, 0, "", "two", 0, 0, ""),
                   UCP_ERROR_PROTOCOL);
       },
       0, true},
      {"result read, then the link lost", nullptr,
       [&](UcpSim& sim, int sock) {
         yield(sim, sock);
         sim.Control(R"({"cmd":"drop"})");
         EXPECT_TRUE(ServeUntil(sock, [&] { return UCPCheckLinkStatus(sock, kName) == 0; }, 5000));
       },
       0, false},
      {"NACK", R"({"cmd":"fail","nack":{"code":"04","count":1}})", yield, 4, true},
      {"no result", R"({"cmd":"fail","no_response":1})", nullptr, UCP_ERROR_TIMEOUT, true},
      {"link cut instead of a result", R"({"cmd":"fail","drop_on_submit":1})", nullptr, UCP_ERROR_LINK, false},
      {"result with a bad checksum", R"({"cmd":"fail","bad_checksum":1})", yield, UCP_ERROR_PROTOCOL, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim_.Control(R"({"cmd":"fail","clear":true})");
    int sock = Link();
    Submits();
    if (c.fail) {
      ASSERT_TRUE(sim_.Control(c.fail)["ok"].boolean);
    }
    ASSERT_EQ(UCPSendMessage(sock, kName, "4911", "", "0612345678", 0, 0, "", "half", 0, 0, ""), 0);
    if (c.between) c.between(sim_, sock);
    EXPECT_EQ(UCPWaitMessageResult(sock, kName), c.status);
    Json subs = Submits();
    ASSERT_EQ(subs.size(), 1u) << "sent once";
    EXPECT_EQ(subs[0]["text"].str(), "half");
    if (c.status == 0) {
      EXPECT_EQ(LastId(sock), "0612345678:" + subs[0]["scts"].str());
    } else {
      EXPECT_EQ(LastId(sock), "");
    }
    // Nothing is outstanding any more.
    EXPECT_EQ(UCPWaitMessageResult(sock, kName), UCP_ERROR_PROTOCOL);
    sim_.Control(R"({"cmd":"fail","clear":true})");
    EXPECT_EQ(UCPCheckLinkStatus(sock, kName) != 0, c.linkStays);
    if (c.linkStays) {
      // The next exchange gets its own result, not a late one of the earlier submit.
      EXPECT_EQ(UCPSubmitMessage(sock, kName, "4911", "", "0612345679", 0, 0, "", "next", 0, 0, ""), 0);
      EXPECT_EQ(LastId(sock).rfind("0612345679:", 0), 0u);
    }
  }
}

TEST_F(SimLink, MessagesArriveWhileTheWaitWaits) {
  int sock = Link();
  ASSERT_TRUE(sim_.Control(R"({"cmd":"fail","delay_ms":2000})")["ok"].boolean);
  ASSERT_EQ(UCPSendMessage(sock, kName, "4911", "", "0612345678", 0, 0, "", "held", 0, 0, ""), 0);
  std::thread centre([&] {
    sim_.Control(R"({"cmd":"wait","submits":1,"timeout_ms":10000})");
    sim_.Control(R"({"cmd":"inject_mo","recipient":"1234","sender":"4917","text":"meanwhile"})");
  });
  EXPECT_EQ(UCPWaitMessageResult(sock, kName), 0);
  centre.join();
  EXPECT_EQ(LastId(sock).rfind("0612345678:", 0), 0u);
  ASSERT_TRUE(ServeUntil(sock, [] { return g_received.count() >= 1; }));
  EXPECT_EQ(g_received.all()[0].data, "meanwhile");
  Json ops = sim_.Control(R"({"cmd":"responses"})")["operations"];
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_TRUE(ops[0]["response"]["ack"].boolean);
}

TEST_F(SimLink, AMessageTheCallbackDidNotStoreIsRefused) {
  int sock = Link();
  struct Case {
    int answer;
    bool ack;
  } cases[] = {{0, false}, {1, true}};
  for (const Case& c : cases) {
    g_received.clear();
    g_received.answer = c.answer;
    std::thread centre([&] {
      sim_.Control(R"({"cmd":"inject_mo","recipient":"1234","sender":"Shop","text":"Ωmega","wait":true,"timeout_ms":10000})");
    });
    EXPECT_TRUE(ServeUntil(sock, [] { return g_received.count() >= 1; }));
    // The answer goes out before the centre's wait ends.
    int linkError = 0;
    UCPYield(sock, kName, 50, &linkError);
    centre.join();
    Json ops = sim_.Control(R"({"cmd":"responses"})")["operations"];
    const Json& last = ops[ops.size() - 1];
    EXPECT_EQ(last["response"]["ack"].boolean, c.ack);
    if (!c.ack) {
      EXPECT_EQ(last["response"]["ec"].str(), "04");
    }
    std::vector<Inbound> got = g_received.all();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sender, "Shop");
    EXPECT_EQ(got[0].data, "Ωmega");
  }
}

TEST_F(SimLink, SessionsOnSeveralThreadsKeepTheirOwnAnswers) {
  constexpr int kThreads = 4, kEach = 15;
  std::vector<int> socks;
  for (int i = 0; i < kThreads; ++i) socks.push_back(Link());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string recipient = "06" + std::to_string(1000 + t) + std::to_string(100 + i);
        if (UCPSubmitMessage(socks[t], kName, "4911", "", recipient.c_str(), 0, 0, "", "x", 0, 0, "") != 0) ++failures;
        char id[64];
        if (UCPLastMessageId(socks[t], id, sizeof id) != 0 || std::string(id).rfind(recipient + ":", 0) != 0)
          ++failures;
        if (i % 5 == 0 && UCPEnquireLink(socks[t], kName) != 0) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Submits().size(), size_t(kThreads * kEach));
}

// The test plays the centre on a connection it opened to the gateway: the library has never
// seen this socket.
class CentreConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    g_received.clear();
    g_received.answer = 1;
    UCPSetReceiveMessageCallback(ReceiveCallback);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    gateway_.reset(pair[0]);
    centre_.reset(pair[1]);
  }
  void TearDown() override { UCPEndSession(gateway_.get()); }
  // Sends bytes as the centre, lets the library serve them, and returns what it answered.
  std::string Exchange(const std::string& bytes) {
    EXPECT_EQ(send(centre_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    int linkError = 0;
    UCPYield(gateway_.get(), "UCP - listener", 50, &linkError);
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(centre_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) answer.append(buffer, size_t(n));
    return answer;
  }
  UniqueFd gateway_, centre_;
};

std::vector<std::string> Fields52(const std::string& msg) {
  std::vector<std::string> f(33);
  f[0] = "1234";
  f[1] = "491701234567";
  f[14] = "081226134501";
  f[18] = "3";
  f[20] = msg;
  f[28] = "1139";
  return f;
}

std::string WithChecksum(const std::string& frame, const char* sum) {
  return frame.substr(0, frame.size() - 3) + sum + "\x03";
}

TEST_F(CentreConnection, EveryOperationGetsItsAnswer) {
  std::vector<std::string> f53 = Fields52("");
  f53[15] = "0";
  f53[18] = "";
  std::vector<std::string> badXSer = Fields52("41");
  badXSer[30] = "0106";
  std::string longFrame = std::string(1, '\x02') + std::string(ucp::kMaxFrameChars + 1, '1') + "\x03";
  std::string login = ucp::EncodeFrame(7, 'O', 60, {"gw", "6", "5", "1", "707764", "", "0100", "", "", "", "", ""});
  // Checksum F5: in lower case it must still be taken.
  std::string lowerSum = ucp::EncodeFrame(3, 'O', 31, {"", "0539"});
  lowerSum.replace(lowerSum.size() - 3, 2, "f5");
  // Only the length is wrong: the checksum is made to fit.
  std::string wrongLen = ucp::EncodeFrame(11, 'O', 31, {"1", "0539"});
  wrongLen.replace(4, 5, "00099");
  std::string wrongLenBody = wrongLen.substr(1, wrongLen.size() - 4);
  wrongLen = "\x02" + wrongLenBody + ucp::Checksum(wrongLenBody) + "\x03";
  auto R = [](int trn, int ot, std::vector<std::string> fields) { return ucp::EncodeFrame(trn, 'R', ot, fields); };
  struct Case {
    const char* what;
    std::string bytes;
    std::string answer;  // "" for none
    size_t delivered;
  } cases[] = {
      {"login", login, R(7, 60, {"A", ""}), 0},
      {"alert", ucp::EncodeFrame(8, 'O', 31, {"0612345678", "0539"}), R(8, 31, {"A", ""}), 0},
      {"message", ucp::EncodeFrame(9, 'O', 52, Fields52("48656C6C6F")), R(9, 52, {"A", "", "1234:081226134501"}), 1},
      {"notification", ucp::EncodeFrame(10, 'O', 53, f53), R(10, 53, {"A", "", "1234:081226134501"}), 1},
      {"bad checksum", WithChecksum(login, "00"), R(7, 60, {"N", "01", "Checksum error"}), 0},
      {"lower-case checksum", lowerSum, R(3, 31, {"A", ""}), 0},
      {"wrong LEN", wrongLen, R(11, 31, {"N", "02", "Syntax error"}), 0},
      {"wrong field count", ucp::EncodeFrame(12, 'O', 31, {"0539"}), R(12, 31, {"N", "02", "Syntax error"}), 0},
      {"bad XSer", ucp::EncodeFrame(13, 'O', 52, badXSer), R(13, 52, {"N", "02", "Syntax error"}), 0},
      {"unsupported operation", ucp::EncodeFrame(14, 'O', 30, {"1", "", "", "", "", "", "", "", "", "41"}),
       R(14, 30, {"N", "03", "Operation not supported by system"}), 0},
      {"unreadable header", "\x02" "1X/00020/O/31/0539/00\x03", "", 0},
      {"result nobody waits for", R(15, 51, {"A", "", "1:2"}), "", 0},
      {"bytes outside a frame, then an alert", "garbage\x03" + ucp::EncodeFrame(16, 'O', 31, {"", "0539"}),
       R(16, 31, {"A", ""}), 0},
      {"a frame over the size cap, then an alert", longFrame + ucp::EncodeFrame(17, 'O', 31, {"", "0539"}),
       R(17, 31, {"A", ""}), 0},
      {"a login cut by a new frame", login.substr(0, 40) + ucp::EncodeFrame(18, 'O', 31, {"", "0539"}),
       R(18, 31, {"A", ""}), 0},
  };
  g_trace.clear();
  UCPSetDebugLogFunction(TraceCallback);
  UCPSetDebugMode(1);
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t before = g_received.count();
    EXPECT_EQ(Exchange(c.bytes), c.answer);
    EXPECT_EQ(g_received.count() - before, c.delivered);
  }
  UCPSetDebugMode(0);
  {
    // The centre's login password (hex 707764) is never traced, whole, broken or refused.
    std::lock_guard g(g_traceLock);
    EXPECT_GT(g_trace.size(), 20u);
    for (const std::string& line : g_trace) EXPECT_EQ(line.find("707764"), std::string::npos) << line;
  }
  std::vector<Inbound> got = g_received.all();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "UCP - listener");
  EXPECT_EQ(got[0].sender, "+491701234567");
  EXPECT_EQ(got[0].data, "Hello");
  EXPECT_EQ(got[1].flags, UCP_FLAG_IS_REPORT | UCP_FLAG_DELIVERED);
  EXPECT_EQ(got[1].receipt, "1234:081226134501");
  EXPECT_NE(UCPCheckLinkStatus(gateway_.get(), "UCP - listener"), 0);
  centre_.reset();
  EXPECT_EQ(UCPCheckLinkStatus(gateway_.get(), "UCP - listener"), 0);
}

// The centre's side of one submit: reads the library's frame and answers with script, each
// entry a function of the submit's TRN giving the bytes to send.
TEST_F(CentreConnection, ASubmitTakesOnlyItsOwnAnswer) {
  UCPSetResponseTimeout(1500);
  using Script = std::vector<std::function<std::string(int)>>;
  auto R = [](int ot, std::vector<std::string> fields, int trnShift = 0) {
    return [=](int trn) { return ucp::EncodeFrame((trn + trnShift) % 100, 'R', ot, fields); };
  };
  auto badSum = [](int trn) {
    std::string f = ucp::EncodeFrame(trn, 'R', 51, {"A", "", "1:1"});
    return f.replace(f.size() - 3, 2, "00");
  };
  struct Case {
    const char* what;
    Script script;
    int status;
    std::string id;
    size_t delivered;
  } cases[] = {
      {"ACK with the id", {R(51, {"A", "", "0612345678:081226134501"})}, 0, "0612345678:081226134501", 0},
      {"answers to other TRNs and operations pass by",
       {R(51, {"N", "24", "x"}, 1), R(31, {"A", ""}), R(51, {"A", "", "9:9"}, 99), R(51, {"N", "05", "barred"})}, 5,
       "", 0},
      {"a message before the answer", {[](int) { return ucp::EncodeFrame(40, 'O', 52, Fields52("4869")); },
                                       R(51, {"A", "", "0612345678:081226134502"})},
       0, "0612345678:081226134502", 1},
      {"bad checksum on the answer", {badSum}, UCP_ERROR_PROTOCOL, "", 0},
      {"answer that is neither ACK nor NACK", {R(51, {"X", "", ""})}, UCP_ERROR_PROTOCOL, "", 0},
      {"NACK without an error code", {R(51, {"N", "", "x"})}, UCP_ERROR_PROTOCOL, "", 0},
      {"no answer", {}, UCP_ERROR_TIMEOUT, "", 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t before = g_received.count();
    std::string seenByCentre;
    std::thread centre([&] {
      std::string got;
      char buffer[4096];
      pollfd p{centre_.get(), POLLIN, 0};
      while (got.find('\x03') == std::string::npos && poll(&p, 1, 5000) == 1) {
        ssize_t n = recv(centre_.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, size_t(n));
      }
      int trn = got.size() > 3 ? std::stoi(got.substr(1, 2)) : 0;
      for (auto& step : c.script) {
        std::string bytes = step(trn);
        send(centre_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      }
      seenByCentre = got;
    });
    int status = UCPSubmitMessage(gateway_.get(), "UCP - listener", "4911", "", "0612345678", 0, 0, "", "x", 0, 0, "");
    centre.join();
    EXPECT_EQ(status, c.status);
    EXPECT_NE(seenByCentre.find("/O/51/0612345678/4911/"), std::string::npos) << seenByCentre;
    char id[64];
    EXPECT_EQ(UCPLastMessageId(gateway_.get(), id, sizeof id), c.id.empty() ? -1 : 0);
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(g_received.count() - before, c.delivered);
    // Whatever the library answered meanwhile (the message's ACK) is read off here.
    char buffer[4096];
    std::string answers;
    for (ssize_t n; (n = recv(centre_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) answers.append(buffer, size_t(n));
    EXPECT_EQ(answers.find("/R/52/A//1234:081226134501/") != std::string::npos, c.delivered == 1) << answers;
  }
  // The id is cut to the caller's buffer, terminated.
  std::thread centre([&] {
    char buffer[4096];
    pollfd p{centre_.get(), POLLIN, 0};
    poll(&p, 1, 5000);
    ssize_t n = recv(centre_.get(), buffer, sizeof buffer, 0);
    int trn = n > 3 ? std::stoi(std::string(buffer + 1, 2)) : 0;
    std::string bytes = ucp::EncodeFrame(trn, 'R', 51, {"A", "", "0612345678:081226134501"});
    send(centre_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  });
  EXPECT_EQ(UCPSubmitMessage(gateway_.get(), "UCP - listener", "4911", "", "0612345678", 0, 0, "", "x", 0, 0, ""), 0);
  centre.join();
  char small[8];
  EXPECT_EQ(UCPLastMessageId(gateway_.get(), small, sizeof small), 0);
  EXPECT_STREQ(small, "0612345");
  // The centre goes away: the next operation says so.
  centre_.reset();
  EXPECT_EQ(UCPEnquireLink(gateway_.get(), "UCP - listener"), UCP_ERROR_LINK);
}

TEST(UcpConnect, AClosedPortFailsAtOnce) {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(UCPConnect(sock.get(), kName, "127.0.0.1", FreeTcpPort()), UCP_ERROR_LINK);
  EXPECT_EQ(UCPCheckLinkStatus(sock.get(), kName), 0);
  EXPECT_EQ(UCPConnect(sock.get(), kName, "", 5000), UCP_ERROR_LINK);
  UCPEndSession(sock.get());
}

TEST(KiteLibrary, LoaderBindsEveryEntryPointAndTheDriversExtras) {
  LoadedLibrary lib;
  ASSERT_TRUE(LoadOutsideLibrary(QARKITE_LIBRARY_DIR, "qarkite", KiteEntryPoints(), lib)) << lib.missingEntry;
  for (size_t i = 0; i < kite::kCount; ++i) EXPECT_NE(lib.Entry(i), nullptr) << KiteEntryPoints()[i].name;
  for (const char* extra : {"UCPLastMessageId", "UCPEndSession", "UCPSetDebugLogFunction", "UCPSetResponseTimeout"})
    EXPECT_NE(dlsym(lib.handle, extra), nullptr) << extra;
  // Nothing of the library's own inside is exported.
  EXPECT_EQ(dlsym(lib.handle, "_ZN4kite15LibrarySettingsE"), nullptr);
  auto text = lib.Call<UCPErrorTextFn>(kite::UCPErrorText);
  EXPECT_STREQ(text(7), "Authentication failure");
  UnloadOutsideLibrary(lib);
}

}  // namespace
