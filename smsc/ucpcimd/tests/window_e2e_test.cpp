// The real gateway sending over UCP and CIMD2 while it prepares the next file as the
// centre answers the current one: order, once-only, what each answer decides and when,
// a lost link, a stop and a crash with a submit outstanding.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "smsc/ucpcimd/tests/centre_gateway.h"
#include "tests/support/sped_up_clock.h"

namespace fs = std::filesystem;

namespace {

// A centre of either kind as these tests drive it.
struct Centre {
  std::string kind;  // "UCP": the simulator; "CIMD": the Python CIMD2 centre
  std::unique_ptr<UcpSim> sim;
  std::unique_ptr<CimdCentre> cimd;

  explicit Centre(std::string k) : kind(std::move(k)) {}
  bool Start() {
    if (kind == "UCP") {
      sim = std::make_unique<UcpSim>();
      return sim->Start(SimOptions());
    }
    cimd = std::make_unique<CimdCentre>();
    return cimd->Start();
  }
  uint16_t port() const { return uint16_t(sim ? sim->port() : cimd->port()); }
  std::string Login() const { return sim ? "UserName=gw\r\nPassword=secret\r\n" : "UserName=user\r\nPassword=password\r\n"; }
  Json Ask(const std::string& request) {
    if (sim) return sim->Control(request);
    Json answer;
    ParseJson(cimd->Control(request, 35000), answer);
    return answer;
  }
  // Every answer held back this long.
  void Delay(int ms) {
    Ask(sim ? R"({"cmd":"fail","delay_ms":)" + std::to_string(ms) + "}"
            : R"({"cmd":"set","delay_ms":)" + std::to_string(ms) + "}");
  }
  // The link closed instead of the answer to the next submit (on or off for CIMD).
  void DropOnSubmit(bool on) {
    Ask(sim ? std::string(R"({"cmd":"fail","drop_on_submit":)") + (on ? "1" : "0") + "}"
            : std::string(R"({"cmd":"set","drop_on_submit":)") + (on ? "true" : "false") + "}");
  }
  // The texts of the submits as they arrived.
  std::vector<std::string> Texts() {
    Json all = sim ? SimSubmits(*sim) : Ask(R"({"cmd":"submits"})")["submits"];
    std::vector<std::string> out;
    for (size_t i = 0; i < all.size(); ++i) out.push_back(all[i]["text"].str());
    return out;
  }
  bool WaitSubmits(size_t n, unsigned ms = 30000) {
    return WaitUntil(ms, [&] { return Texts().size() >= n; });
  }
};

size_t Count(const std::vector<std::string>& texts, const std::string& text) {
  return size_t(std::count(texts.begin(), texts.end(), text));
}

// The position of a line of the message log holding both parts; npos when none.
size_t LineWith(const std::string& log, const std::string& a, const std::string& b) {
  size_t from = 0;
  while (from < log.size()) {
    size_t end = log.find('\n', from);
    if (end == std::string::npos) end = log.size();
    std::string_view line(log.data() + from, end - from);
    if (line.find(a) != std::string_view::npos && line.find(b) != std::string_view::npos) return from;
    from = end + 1;
  }
  return std::string::npos;
}

const char* const kKinds[] = {"UCP", "CIMD"};

TEST(UcpCimdWindow, EachFileGoesOnceAndInQueueOrder) {
  for (const char* kind : kKinds) {
    SCOPED_TRACE(kind);
    Centre centre(kind);
    ASSERT_TRUE(centre.Start());
    // Each answer a little late, so that the next file is ready before it comes.
    centre.Delay(5);
    CentreGateway g;
    g.Configure(kind, centre.port(), "", {}, centre.Login());
    std::vector<std::string> expected;
    // Listed by name: the plain files, then a long message's segments (which follow each
    // other at once), then the rest.
    std::vector<std::string> names;
    for (int i = 1; i <= 12; ++i) names.push_back("000000" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".req");
    for (int i = 1; i <= 3; ++i) names.push_back("SAR-4917-A1-3-" + std::to_string(i) + ".req");
    names.push_back("Z0000001.req");
    names.push_back("Z0000002.req");
    for (size_t i = 0; i < names.size(); ++i) {
      std::string text = "file " + std::to_string(i);
      g.Drop(names[i], "Data=" + text + "\r\nPhoneNumber=4917" + std::to_string(100 + i) + "\r\n");
      expected.push_back(text);
    }
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitUntil(60000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == names.size(); }))
        << p.Output();
    for (const std::string& name : names) EXPECT_TRUE(g.Gone(name)) << name;
    usleep(500000);
    EXPECT_EQ(centre.Texts(), expected);
    EXPECT_FALSE(fs::exists(g.ErrorFile()));
  }
}

// The outcome of a file (its deletion) comes before the next submit leaves: a crash while the
// next one awaits its answer leaves that one queued and nothing of the one before.
TEST(UcpCimdWindow, AFileIsDecidedBeforeTheNextIsSent) {
  for (const char* kind : kKinds) {
    SCOPED_TRACE(kind);
    Centre centre(kind);
    ASSERT_TRUE(centre.Start());
    centre.Delay(2000);
    CentreGateway g;
    g.Configure(kind, centre.port(), "", {}, centre.Login());
    g.Drop("0000C001.req", "Data=first\r\nPhoneNumber=4917001\r\n");
    g.Drop("0000C002.req", "Data=second\r\nPhoneNumber=4917002\r\n");
    GatewayProcess p(g.home);
    ASSERT_TRUE(centre.WaitSubmits(2)) << p.Output();
    EXPECT_TRUE(g.Gone("0000C001.req"));
    p.Signal(SIGKILL);
    int code = 0;
    ASSERT_TRUE(p.WaitExit(10000, code));
    EXPECT_TRUE(g.Gone("0000C001.req"));
    EXPECT_FALSE(g.Gone("0000C002.req"));
    EXPECT_EQ(CountOf(g.OutLog(), "OK -- " + g.connection), 1u) << g.OutLog();
    EXPECT_EQ(centre.Texts(), (std::vector<std::string>{"first", "second"}));
  }
}

// What the centre answers to the outstanding submit decides its file, and the file prepared
// meanwhile goes after that decision.
TEST(UcpCimdWindow, AFailedAnswerDecidesItsFileAndTheNextGoesAfter) {
  struct Case {
    const char* what;
    const char* fail;  // for the first submit
    bool given_up;     // the first file ends as .ERR (else it is retried and sent)
  };
  const Case cases[] = {
      {"NACK", R"({"cmd":"fail","nack":{"code":"04","count":1,"text":"Busy"}})", false},
      {"code in the reject list", R"({"cmd":"fail","nack":{"code":"24","count":1}})", true},
      {"no answer in time", R"({"cmd":"fail","no_response":1})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Centre centre("UCP");
    ASSERT_TRUE(centre.Start());
    ASSERT_TRUE(centre.Ask(c.fail)["ok"].boolean);
    CentreGateway g;
    g.Configure("UCP", centre.port(), "RetryDelay=1\r\nUCPRejectErrorCodes=24\r\n", {}, centre.Login());
    g.Drop("0000D001.req", "Data=first\r\nPhoneNumber=4918001\r\n");
    g.Drop("0000D002.req", "Data=second\r\nPhoneNumber=4918002\r\n");
    // The library's 30 s response time and the retry delay pass three times faster.
    GatewayProcess p(g.home, "qargate", {}, SpedUpClockEnv(3));
    ASSERT_TRUE(WaitUntil(90000, [&] { return g.Gone("0000D001.req") && g.Gone("0000D002.req"); })) << p.Output();
    std::vector<std::string> texts = centre.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], "first");
    EXPECT_EQ(texts[1], "second");
    EXPECT_EQ(Count(texts, "second"), 1u);
    EXPECT_EQ(Count(texts, "first"), c.given_up ? 1u : 2u);
    EXPECT_EQ(fs::exists(g.h + "Q/0000D001.ERR"), c.given_up);
    std::string log = g.OutLog();
    size_t firstOutcome = LineWith(log, "0000D001", c.given_up ? "Message too long" : "Retry Pending - ");
    size_t secondSent = LineWith(log, "0000D002", "OK -- ");
    ASSERT_NE(firstOutcome, std::string::npos) << log;
    ASSERT_NE(secondSent, std::string::npos) << log;
    EXPECT_LT(firstOutcome, secondSent) << log;
  }
}

// The link lost under the outstanding submit: that file is kept for a retry, the one prepared
// meanwhile is kept unsent; the next session sends both, each to the end once.
TEST(UcpCimdWindow, ALostLinkKeepsTheOutstandingAndThePreparedFile) {
  for (const char* kind : kKinds) {
    SCOPED_TRACE(kind);
    Centre centre(kind);
    ASSERT_TRUE(centre.Start());
    centre.DropOnSubmit(true);
    CentreGateway g;
    g.Configure(kind, centre.port(), "RetryDelay=1\r\n", {}, centre.Login());
    g.Drop("0000E001.req", "Data=first\r\nPhoneNumber=4919001\r\n");
    g.Drop("0000E002.req", "Data=second\r\nPhoneNumber=4919002\r\n");
    g.Drop("0000E003.req", "Data=third\r\nPhoneNumber=4919003\r\n");
    GatewayProcess p(g.home);
    ASSERT_TRUE(centre.WaitSubmits(1)) << p.Output();
    centre.DropOnSubmit(false);
    ASSERT_TRUE(WaitUntil(60000, [&] { return CountOf(g.OutLog(), "OK -- " + g.connection) == 3; })) << p.Output();
    std::vector<std::string> texts = centre.Texts();
    EXPECT_EQ(Count(texts, "first"), 2u);
    EXPECT_EQ(Count(texts, "second"), 1u);
    EXPECT_EQ(Count(texts, "third"), 1u);
    std::string log = g.OutLog();
    EXPECT_NE(LineWith(log, "0000E001", "Retry Pending - "), std::string::npos) << log;
    EXPECT_EQ(LineWith(log, "0000E002", "Retry Pending - "), std::string::npos) << log;
    for (const char* name : {"0000E001.req", "0000E002.req", "0000E003.req"}) EXPECT_TRUE(g.Gone(name)) << name;
  }
}

// A stop while an answer is awaited: the answer still decides the file before the gateway ends.
TEST(UcpCimdWindow, StopWhileAnAnswerIsAwaitedRecordsIt) {
  for (const char* kind : kKinds) {
    SCOPED_TRACE(kind);
    Centre centre(kind);
    ASSERT_TRUE(centre.Start());
    centre.Delay(1500);
    CentreGateway g;
    g.Configure(kind, centre.port(), "", {}, centre.Login());
    g.Drop("0000F001.req", "Data=first\r\nPhoneNumber=4916001\r\n");
    g.Drop("0000F002.req", "Data=second\r\nPhoneNumber=4916002\r\n");
    GatewayProcess p(g.home);
    ASSERT_TRUE(centre.WaitSubmits(1)) << p.Output();
    p.Signal(SIGTERM);
    int code = -1;
    ASSERT_TRUE(p.WaitExit(30000, code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(g.Gone("0000F001.req"));
    EXPECT_NE(LineWith(g.OutLog(), "0000F001", "OK -- "), std::string::npos) << g.OutLog();
    // The file prepared meanwhile stays unsent for the next start.
    EXPECT_FALSE(g.Gone("0000F002.req"));
    EXPECT_EQ(centre.Texts(), std::vector<std::string>{"first"});
  }
}

}  // namespace
