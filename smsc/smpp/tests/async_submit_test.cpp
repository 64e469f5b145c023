#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "smsc/smpp/async_submit.h"
#include "smsc/route_cache.h"
#include "smsc/routing_tables.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"

namespace {

namespace fs = std::filesystem;

// The library's side of asynchronous submission, scripted: answers come on yields, newest
// first (out of order), with a status per message id taken from a script.
struct FakeAsyncLibrary {
  std::vector<SMPPAsyncSubmit*> outstanding;
  std::vector<std::string> submitted;  // gateway ids, in order
  std::map<std::string, std::vector<int>> script;  // id -> statuses of its attempts
  std::map<std::string, int> attempts;
  size_t highest = 0;
  bool up = true;
  bool answer = true;
  int dropAfter = -1;  // the link goes after this many submits
  int abandons = 0;
  std::map<SMPPAsyncSubmit*, std::string> ids;

  void Complete(SMPPAsyncSubmit* r, int status) {
    r->status = status;
    snprintf(r->smscMessageId, sizeof r->smscMessageId, "%s", status == 0 ? ("S-" + ids[r]).c_str() : "");
    SmppAsyncCompletion(r);
  }
  void EndAll(int status) {
    auto all = std::move(outstanding);
    outstanding.clear();
    for (auto* r : all) Complete(r, status);
  }
  AsyncSubmitLink Link() {
    AsyncSubmitLink l;
    l.submit = [this](const SmsMessageRecord&, const SubmitRequest& r, int, SMPPAsyncSubmit* record) {
      if (!up) return SMPP_ERROR_LINK;
      submitted.push_back(r.gatewayMessageId);
      ids[record] = r.gatewayMessageId;
      outstanding.push_back(record);
      highest = std::max(highest, outstanding.size());
      if (dropAfter >= 0 && int(submitted.size()) >= dropAfter) up = false;
      return 0;
    };
    l.yield = [this](int) {
      if (!up) {
        EndAll(SMPP_ERROR_LINK);
        return 1;
      }
      if (!answer) return 0;
      // Newest first.
      while (!outstanding.empty()) {
        SMPPAsyncSubmit* r = outstanding.back();
        outstanding.pop_back();
        const std::string& id = ids[r];
        int n = attempts[id]++;
        auto it = script.find(id);
        int status = it != script.end() && n < int(it->second.size()) ? it->second[n] : 0;
        Complete(r, status);
      }
      return 0;
    };
    l.linkUp = [this] { return up; };
    l.errorText = [](int status) { return status == 0x58 ? "Throttling error" : "error"; };
    l.abandon = [this] {
      ++abandons;
      EndAll(SMPP_ERROR_LINK);
    };
    return l;
  }
};

class AsyncSubmitTest : public SmscTestHome {
 protected:
  SettingsOverride settings{SettingsBlock{}};
  void SetUp() override {
    SmscTestHome::SetUp();
    MessageRoutesClear();
    WriteConfig("[QARHUB]\nModem1=SMPP - a:1\n");
    BuildOutboundRoutingTables();
    fs::create_directories(OutboundQueueRoot());
  }
  void TearDown() override {
    LogsClose();
    CountersClose();
    SMSCMessageIdCloseAll();
    SmscTestHome::TearDown();
  }
  void QueueFiles(int n) {
    for (int i = 0; i < n; ++i) {
      char name[32];
      snprintf(name, sizeof name, "0000%04X.req", i);
      ASSERT_TRUE(PublishFile(OutboundQueueRoot() + name, "[SMS]\r\nData=m\r\nPhoneNumber=4477\r\nReceiptRequested=Yes\r\n",
                              PublishMode::CreateNew));
    }
  }
  size_t QueuedFiles() {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) n += e.path().extension() == ".req";
    return n;
  }
  QueueWorker Worker() {
    QueueWorker w;
    w.connection = "SMPP - a:1";
    w.names = RouteNamesFor(OutboundRouting, w.connection);
    w.settings.throttleErrorDelaySeconds = 0;
    w.settings.keepAliveSeconds = 0;
    return w;
  }
  QueueTransport Transport(FakeAsyncLibrary& lib) {
    QueueTransport t;
    AsyncSubmitLink l = lib.Link();
    t.submit = [](const SmsMessageRecord&, const SubmitRequest&) {
      return SubmitResult{SubmitOutcome::Retry, -99, "", "sync path used"};
    };
    t.enquireLink = [] { return 0; };
    t.yield = l.yield;
    t.linkUp = l.linkUp;
    return t;
  }
  std::string OutLog() {
    std::string all;
    if (!fs::exists(LogDirectory())) return all;
    for (const auto& e : fs::directory_iterator(LogDirectory())) {
      if (e.path().filename().string().rfind("SMSOUT", 0) == 0) all += ReadFileText(e.path().string());
    }
    return all;
  }
  // One session's worker, transport and queue, with helpers response threads.
  struct Session {
    QueueWorker w;
    QueueTransport t;
    SMPPSubmitAsyncQ q;
  };
  std::unique_ptr<Session> Open(FakeAsyncLibrary& lib, uint32_t window, uint32_t helpers) {
    auto s = std::make_unique<Session>();
    s->w = Worker();
    s->t = Transport(lib);
    s->q.windowSize = window;
    s->q.link = lib.Link();
    AttachAsyncSubmission(s->w, s->t, s->q);
    if (helpers != 0) {
      EXPECT_EQ(StartSmppSubmitAsyncHelpers(s->w, s->q, helpers), helpers);
    }
    return s;
  }
  // Session end: the helpers leave, then the worker ends what is outstanding.
  static void Close(Session& s, uint64_t deadlineMs = 2000) {
    StopSmppSubmitAsyncHelpers(s.w, s.q);
    EXPECT_EQ(s.q.helpersAlive, 0u);
    DrainSmppSubmitAsyncQ(s.w, s.q, deadlineMs);
  }
  // Passes until done() holds (helpers record outcomes beside the passes), then `extra`
  // more; bounded.
  template <typename Done>
  static void PassesUntil(Session& s, Done done, int extra = 3) {
    for (int pass = 0; pass < 400 && !done(); ++pass) {
      RunQueuePass(s.w, s.t);
      if (s.q.useHelpers) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (int pass = 0; pass < extra; ++pass) {
      RunQueuePass(s.w, s.t);
      if (s.q.useHelpers) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  size_t FilesWithExtension(const std::string& extension) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) n += e.path().extension() == extension;
    return n;
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};


TEST_F(AsyncSubmitTest, WindowHoldsAndEveryFileEndsOnce) {
  size_t rounds = 0;
  for (uint32_t helpers : {0u, 1u, 3u}) {
    for (uint32_t window : {1u, 5u}) {
      SCOPED_TRACE(::testing::Message() << "helpers " << helpers << " window " << window);
      ++rounds;
      uint32_t sentBefore = CounterValue(kSmsSent);
      QueueFiles(23);
      FakeAsyncLibrary lib;
      lib.answer = false;  // answers only when the worker waits for the window
      auto s = Open(lib, window, helpers);
      // Answer on every yield once the window is full.
      auto yield = s->q.link.yield;
      s->q.link.yield = [&lib, yield](int ms) {
        lib.answer = true;
        int r = yield(ms);
        lib.answer = false;
        return r;
      };
      RunQueuePass(s->w, s->t);
      Close(*s);
      EXPECT_LE(lib.highest, window);
      EXPECT_LE(s->q.highestDepth, window);
      std::set<std::string> distinct(lib.submitted.begin(), lib.submitted.end());
      EXPECT_EQ(lib.submitted.size(), 23u);
      EXPECT_EQ(distinct.size(), 23u);
      EXPECT_EQ(QueuedFiles(), 0u);
      EXPECT_EQ(lib.abandons, 0);
      EXPECT_EQ(CounterValue(kSmsSent) - sentBefore, 23u);
      EXPECT_EQ(s->w.sentInPass, 23u);
      char id[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {}, sender[SMSC_MSGID_FIELD_SIZE] = {},
           recipient[SMSC_MSGID_FIELD_SIZE] = {};
      EXPECT_NE(SMSCMessageIdGet("SMPP - a:1", "S-00000007", id, user, sender, recipient), 0);
      EXPECT_STREQ(id, "00000007");
    }
  }
  EXPECT_EQ(Count(OutLog(), "OK -- SMPP - a:1"), 23u * rounds);
}

// Answers newest first with a mix of statuses: every file gets exactly one outcome, and the
// counters agree with the files, whether the worker or helper threads record them.
TEST_F(AsyncSubmitTest, MixedAnswersGiveEachFileOneOutcome) {
  constexpr int kFiles = 150;
  uint32_t okAll = 0;
  for (uint32_t helpers : {0u, 1u, 4u}) {
    SCOPED_TRACE(::testing::Message() << "helpers " << helpers);
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) fs::remove(e.path());
    QueueFiles(kFiles);
    uint32_t sent0 = CounterValue(kSmsSent), failed0 = CounterValue(kSmsFailed), retry0 = CounterValue(kSmsRetry);
    uint32_t connection0 = ConnectionCounterValue("SMPP - a:1");
    FakeAsyncLibrary lib;
    uint32_t ok = 0, permanent = 0, retry = 0;
    for (int i = 0; i < kFiles; ++i) {
      char id[16];
      snprintf(id, sizeof id, "0000%04X", i);
      int status = i % 7 == 3 ? 0x0B : i % 7 == 5 ? 0x45 : 0;
      lib.script[id] = {status};
      (status == 0 ? ok : status == 0x0B ? permanent : retry) += 1;
    }
    auto s = Open(lib, 10, helpers);
    RunQueuePass(s->w, s->t);
    // Every answer is in: the helpers (or the worker) record all of them before the end.
    bool processed = false;
    for (int i = 0; i < 500 && !processed; ++i) {
      {
        MutexLock guard(s->q.lock);
        processed = s->q.depth == 0;
      }
      if (!processed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(processed);
    Close(*s);
    std::set<std::string> distinct(lib.submitted.begin(), lib.submitted.end());
    EXPECT_EQ(lib.submitted.size(), size_t(kFiles));
    EXPECT_EQ(distinct.size(), size_t(kFiles));
    EXPECT_LE(lib.highest, 10u);
    EXPECT_EQ(CounterValue(kSmsSent) - sent0, ok);
    EXPECT_EQ(ConnectionCounterValue("SMPP - a:1") - connection0, ok);
    EXPECT_EQ(CounterValue(kSmsFailed) - failed0, permanent);
    EXPECT_EQ(CounterValue(kSmsRetry) - retry0, retry);
    EXPECT_EQ(QueuedFiles(), retry);
    EXPECT_EQ(FilesWithExtension(".ERR"), permanent);
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) {
      if (e.path().extension() != ".req") continue;
      std::string text = ReadFileText(e.path().string());
      EXPECT_EQ(Count(text, "[ErrorDetail]"), 1u) << e.path();
      EXPECT_NE(text.find("RetryCount=1\r\n"), std::string::npos) << e.path();
    }
    EXPECT_TRUE(s->q.records.empty());
    okAll += ok;
  }
  EXPECT_EQ(Count(OutLog(), "OK -- SMPP - a:1"), okAll);
}

TEST_F(AsyncSubmitTest, ThrottledFilesComeBackAtMostFiveTimes) {
  // No retry is due within the test: what comes back, comes through the resubmit queue.
  WriteConfig("[QARHUB]\nModem1=SMPP - a:1\n[SMPP - a:1]\nRetryDelayAfterAttempts=1\n");
  for (uint32_t helpers : {0u, 2u}) {
    SCOPED_TRACE(::testing::Message() << "helpers " << helpers);
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) fs::remove(e.path());
    QueueFiles(3);
    FakeAsyncLibrary lib;
    lib.script["00000000"] = {0x58, 0x58, 0};            // goes on the third attempt
    lib.script["00000001"] = std::vector<int>(20, 0x58);  // always throttled
    lib.script["00000002"] = std::vector<int>(20, 0x14);  // queue full: plain retries here
    auto s = Open(lib, 2, helpers);
    // Resubmits follow the files of later passes too; a retry not yet due is passed over.
    PassesUntil(*s, [&] { return lib.attempts["00000001"] >= 6 && lib.attempts["00000000"] >= 3; }, 10);
    Close(*s);
    EXPECT_EQ(lib.attempts["00000000"], 3);
    EXPECT_EQ(lib.attempts["00000001"], 6);  // once, then five resubmits
    // Only its retry schedule would bring it back, never the resubmit queue.
    int queueFull = lib.attempts["00000002"];
    EXPECT_EQ(queueFull, 1);
    EXPECT_FALSE(fs::exists(OutboundQueueRoot() + "00000000.req"));
    // Throttled files keep their ordinary retry state.
    std::string kept = ReadFileText(OutboundQueueRoot() + "00000001.req");
    EXPECT_NE(kept.find("RetryCount=6\r\n"), std::string::npos) << kept;
    EXPECT_NE(ReadFileText(OutboundQueueRoot() + "00000002.req").find("RetryCount=" + std::to_string(queueFull) + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(s->q.resubmits.empty());
  }
}

TEST_F(AsyncSubmitTest, QueueFullThrottlesWithThrottleForQFullAndSegmentsKeepTheirOrder) {
  for (uint32_t helpers : {0u, 3u}) {
    SCOPED_TRACE(::testing::Message() << "helpers " << helpers);
    QueueFiles(1);
    for (unsigned n = 3; n >= 1; --n) {
      ASSERT_TRUE(PublishFile(OutboundQueueRoot() + "SAR-4477-9-3-" + std::to_string(n) + ".req",
                              "[SMS]\r\nData=s" + std::to_string(n) + "\r\nPhoneNumber=4477\r\n",
                              PublishMode::CreateNew));
    }
    FakeAsyncLibrary lib;
    lib.script["00000000"] = {0x14, 0};
    lib.script["SAR-4477-9-3-2"] = {0x58, 0};
    auto s = Open(lib, 10, helpers);
    s->q.throttleForQFull = true;
    PassesUntil(*s, [&] { return QueuedFiles() == 0; });
    Close(*s);
    EXPECT_EQ(lib.attempts["00000000"], 2);
    EXPECT_EQ(QueuedFiles(), 0u);
    // Each segment goes only once the one before it has its answer.
    std::vector<std::string> segments;
    for (const std::string& id : lib.submitted) {
      if (id.rfind("SAR-", 0) == 0) segments.push_back(id);
    }
    EXPECT_EQ(segments, (std::vector<std::string>{"SAR-4477-9-3-1", "SAR-4477-9-3-2", "SAR-4477-9-3-2",
                                                  "SAR-4477-9-3-3"}));
  }
}

TEST_F(AsyncSubmitTest, LinkLossAndDrainDeadlineEndEveryRecord) {
  for (uint32_t helpers : {0u, 2u}) {
    SCOPED_TRACE(::testing::Message() << "helpers " << helpers);
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) fs::remove(e.path());
    // The link goes with submits outstanding: each of them is a retry, none is lost.
    QueueFiles(10);
    FakeAsyncLibrary lib;
    lib.answer = false;
    lib.dropAfter = 4;
    auto s = Open(lib, 8, helpers);
    RunQueuePass(s->w, s->t);
    EXPECT_TRUE(s->w.linkError);
    Close(*s);
    EXPECT_EQ(lib.submitted.size(), 4u);
    EXPECT_TRUE(s->q.records.empty());
    EXPECT_EQ(QueuedFiles(), 10u);
    size_t retried = 0;
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) {
      retried += ReadFileText(e.path().string()).find("RetryCount=1\r\n") != std::string::npos;
    }
    EXPECT_GE(retried, 4u);
    EXPECT_EQ(Count(OutLog(), "OK -- "), 0u);

    // Nobody answers: the drain ends at its deadline and the records end as link errors.
    for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) fs::remove(e.path());
    QueueFiles(3);
    FakeAsyncLibrary silent;
    silent.answer = false;
    auto s2 = Open(silent, 5, helpers);
    RunQueuePass(s2->w, s2->t);
    EXPECT_EQ(silent.outstanding.size(), 3u);
    uint64_t start = TickMs();
    Close(*s2, 300);
    EXPECT_LT(TickMs() - start, 3000u);
    EXPECT_EQ(silent.abandons, 1);
    EXPECT_TRUE(s2->q.records.empty());
    EXPECT_EQ(QueuedFiles(), 3u);
  }
}

// The link checks around the pass say what they found, on the asynchronous path only, with
// Debug or DebugAsyncSMPP.
TEST_F(AsyncSubmitTest, LinkChecksWriteTheirDebugTexts) {
  struct Case {
    const char* name;
    bool async, debug, debugAsync;
    bool linkErrorBefore;
    int enquire;      // the enquire-link's result
    int yieldReport;  // the idle yield's link-error report
    const char* expected;  // nullptr: no "Connection Error" line
  } cases[] = {
      {"doubt denied", true, true, false, true, 0, 0, "Info -- SMPP Connection Error denied by SMPPEnquireLink"},
      {"doubt confirmed", true, true, false, true, -1, 0, "Info -- SMPP Connection Error confirmed by SMPPEnquireLink"},
      {"keep-alive fails", true, false, true, false, -1, 0, "Info -- SMPP Connection Error reported by SMPPEnquireLink"},
      {"idle yield", true, true, false, false, 0, 1, "Info -- SMPP Connection Error reported by SMPPYield 1"},
      {"synchronous path", false, true, true, true, -1, 1, nullptr},
      {"debug off", true, false, false, true, -1, 0, nullptr},
  };
  DebugSettings.CopyToStderr = false;
  DebugSettings.RotationWaitMs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = home() + c.name + "/";
    fs::create_directories(dir);
    SetDebugLogDirectory(dir);
    settings->Debug = c.debug;
    settings->DebugAsyncSMPP = c.debugAsync;
    DebugSettings.Debug = c.debug;
    QueueWorker w = Worker();
    w.settings.keepAliveSeconds = 1;
    w.lastActivityTick = TickMs() - 5000;
    w.linkError = c.linkErrorBefore;
    QueueTransport t;
    t.enquireLink = [&] { return c.enquire; };
    t.yield = [&](int) { return c.yieldReport; };
    t.linkUp = [] { return true; };
    if (c.async) {
      t.submitAsync = [](PreparedSubmission&&) {};
      t.linkNote = [&](LinkCheck check) { NoteSmppLinkCheck(w.connection, check); };
    }
    RunQueuePass(w, t);
    std::string log = ReadFileText(dir + "SMSDEBUG.LOG");
    if (c.expected) {
      EXPECT_EQ(Count(log, c.expected), 1u) << log;
      EXPECT_EQ(Count(log, "Connection Error"), 1u) << log;
    } else {
      EXPECT_EQ(Count(log, "Connection Error"), 0u) << log;
    }
  }
  // The window's yield reports the link lost: the second submit waits for the first.
  // (Yield 2 is the one of a pass that sends nothing for a while, below.)
  std::string dir = home() + "window/";
  fs::create_directories(dir);
  SetDebugLogDirectory(dir);
  settings->Debug = true;
  DebugSettings.Debug = true;
  QueueFiles(2);
  FakeAsyncLibrary lib;
  lib.answer = false;
  lib.dropAfter = 1;
  auto s = Open(lib, 1, 0);
  RunQueuePass(s->w, s->t);
  Close(*s);
  std::string log = ReadFileText(dir + "SMSDEBUG.LOG");
  EXPECT_EQ(Count(log, "Info -- SMPP Connection Error reported by SMPPYield 3"), 1u) << log;
  EXPECT_EQ(QueuedFiles(), 2u);
  CloseDebugLog();
  DebugSettings.Debug = false;
  DebugSettings.CopyToStderr = true;
  DebugSettings.RotationWaitMs = 1000;
}

// A pass that sends nothing still gives the link its turn once 1500 ms have gone by without a
// yield or an answer, so that answers and the peer's enquire-links are not left unread. The
// closing yield only serves what has come: the worker waits for work afterwards, not the pass.
TEST_F(AsyncSubmitTest, PassThatSendsNothingStillServesTheLink) {
  struct Case {
    const char* name;
    uint64_t idleMs;  // since the last activity
    int yieldReport;
    std::vector<int> waits;  // of the yields seen
    bool linkError;
  } cases[] = {
      {"recent activity", 100, 0, {0}, false},
      {"idle: one extra yield", 5000, 0, {0, 0}, false},
      {"idle: the yield finds the link gone", 5000, 1, {0}, true},
  };
  // Files this connection may not send: each is passed over.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(PublishFile(OutboundQueueRoot() + "0000000" + std::to_string(i) + ".req",
                            "[SMS]\r\nData=m\r\nPhoneNumber=4477\r\nSMSCRoute=elsewhere\r\n", PublishMode::CreateNew));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QueueWorker w = Worker();
    w.lastActivityTick = TickMs() - c.idleMs;
    std::vector<int> waits;
    QueueTransport t;
    t.enquireLink = [] { return -1; };
    t.yield = [&](int ms) {
      waits.push_back(ms);
      return c.yieldReport;
    };
    t.linkUp = [] { return true; };
    t.submitAsync = [](PreparedSubmission&&) { ADD_FAILURE() << "nothing is to be sent"; };
    RunQueuePass(w, t);
    EXPECT_EQ(waits, c.waits);
    EXPECT_EQ(w.linkError, c.linkError);
  }
  EXPECT_EQ(QueuedFiles(), 3u);
}

}  // namespace
