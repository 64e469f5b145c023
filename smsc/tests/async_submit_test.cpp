#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "service/settings.h"
#include "smsc/async_submit.h"
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
        return;
      }
      if (!answer) return;
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
  void SetUp() override {
    SmscTestHome::SetUp();
    Settings = SettingsBlock{};
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
    t.submit = [](const SmsMessageRecord&, const SubmitRequest&) { return SubmitResult{-99, "", "sync path used"}; };
    t.enquireLink = [] { return 0; };
    t.yield = l.yield;
    t.linkUp = l.linkUp;
    return t;
  }
  std::string OutLog() {
    std::string all;
    if (!fs::exists(LogDirectory())) return all;
    for (const auto& e : fs::directory_iterator(LogDirectory())) {
      if (e.path().filename().string().rfind("SMSOUT", 0) == 0) all += ReadText(e.path().string());
    }
    return all;
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(AsyncSubmitTest, WindowHoldsAndEveryFileEndsOnce) {
  for (uint32_t window : {1u, 5u}) {
    SCOPED_TRACE(window);
    QueueFiles(23);
    FakeAsyncLibrary lib;
    lib.answer = false;  // answers only when the worker waits for the window
    QueueWorker w = Worker();
    QueueTransport t = Transport(lib);
    SMPPSubmitAsyncQ q;
    q.windowSize = window;
    q.link = lib.Link();
    AttachAsyncSubmission(w, t, q);
    // Answer on every yield once the window is full.
    auto yield = q.link.yield;
    q.link.yield = [&lib, yield](int ms) {
      lib.answer = true;
      yield(ms);
      lib.answer = false;
    };
    RunQueuePass(w, t);
    DrainSmppSubmitAsyncQ(w, q, 2000);
    EXPECT_LE(lib.highest, window);
    EXPECT_LE(q.highestDepth, window);
    std::set<std::string> distinct(lib.submitted.begin(), lib.submitted.end());
    EXPECT_EQ(lib.submitted.size(), 23u);
    EXPECT_EQ(distinct.size(), 23u);
    EXPECT_EQ(QueuedFiles(), 0u);
    EXPECT_EQ(lib.abandons, 0);
    char id[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {}, sender[SMSC_MSGID_FIELD_SIZE] = {},
         recipient[SMSC_MSGID_FIELD_SIZE] = {};
    EXPECT_NE(SMSCMessageIdGet("SMPP - a:1", "S-00000007", id, user, sender, recipient), 0);
    EXPECT_STREQ(id, "00000007");
  }
  EXPECT_EQ(Count(OutLog(), "OK -- SMPP - a:1"), 46u);
}

TEST_F(AsyncSubmitTest, ThrottledFilesComeBackAtMostFiveTimes) {
  QueueFiles(3);
  FakeAsyncLibrary lib;
  lib.script["00000000"] = {0x58, 0x58, 0};               // goes on the third attempt
  lib.script["00000001"] = std::vector<int>(20, 0x58);     // always throttled
  lib.script["00000002"] = std::vector<int>(20, 0x14);     // queue full: plain retries here
  QueueWorker w = Worker();
  QueueTransport t = Transport(lib);
  SMPPSubmitAsyncQ q;
  q.windowSize = 2;
  q.link = lib.Link();
  AttachAsyncSubmission(w, t, q);
  // Resubmits follow the files of later passes too; a retry not yet due is passed over.
  for (int pass = 0; pass < 10; ++pass) RunQueuePass(w, t);
  DrainSmppSubmitAsyncQ(w, q, 2000);
  EXPECT_EQ(lib.attempts["00000000"], 3);
  EXPECT_EQ(lib.attempts["00000001"], 6);  // once, then five resubmits
  // Only its retry schedule brings it back, never the resubmit queue.
  int queueFull = lib.attempts["00000002"];
  EXPECT_GE(queueFull, 1);
  EXPECT_FALSE(fs::exists(OutboundQueueRoot() + "00000000.req"));
  // Throttled files keep their ordinary retry state.
  std::string kept = ReadText(OutboundQueueRoot() + "00000001.req");
  EXPECT_NE(kept.find("RetryCount=6\r\n"), std::string::npos) << kept;
  EXPECT_NE(ReadText(OutboundQueueRoot() + "00000002.req").find("RetryCount=" + std::to_string(queueFull) + "\r\n"),
            std::string::npos);
  EXPECT_TRUE(q.resubmits.empty());
}

TEST_F(AsyncSubmitTest, QueueFullThrottlesWithThrottleForQFullAndSegmentsKeepTheirOrder) {
  QueueFiles(1);
  for (unsigned n = 3; n >= 1; --n) {
    ASSERT_TRUE(PublishFile(OutboundQueueRoot() + "SAR-4477-9-3-" + std::to_string(n) + ".req",
                            "[SMS]\r\nData=s" + std::to_string(n) + "\r\nPhoneNumber=4477\r\n",
                            PublishMode::CreateNew));
  }
  FakeAsyncLibrary lib;
  lib.script["00000000"] = {0x14, 0};
  lib.script["SAR-4477-9-3-2"] = {0x58, 0};
  QueueWorker w = Worker();
  w.settings.throttleForQFull = true;
  QueueTransport t = Transport(lib);
  SMPPSubmitAsyncQ q;
  q.windowSize = 10;
  q.link = lib.Link();
  AttachAsyncSubmission(w, t, q);
  for (int pass = 0; pass < 8; ++pass) RunQueuePass(w, t);
  DrainSmppSubmitAsyncQ(w, q, 2000);
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

TEST_F(AsyncSubmitTest, LinkLossAndDrainDeadlineEndEveryRecord) {
  // The link goes with submits outstanding: each of them is a retry, none is lost.
  QueueFiles(10);
  FakeAsyncLibrary lib;
  lib.answer = false;
  lib.dropAfter = 4;
  QueueWorker w = Worker();
  QueueTransport t = Transport(lib);
  SMPPSubmitAsyncQ q;
  q.windowSize = 8;
  q.link = lib.Link();
  AttachAsyncSubmission(w, t, q);
  RunQueuePass(w, t);
  DrainSmppSubmitAsyncQ(w, q, 2000);
  EXPECT_EQ(lib.submitted.size(), 4u);
  EXPECT_TRUE(q.records.empty());
  EXPECT_EQ(QueuedFiles(), 10u);
  size_t retried = 0;
  for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) {
    retried += ReadText(e.path().string()).find("RetryCount=1\r\n") != std::string::npos;
  }
  EXPECT_GE(retried, 4u);
  EXPECT_EQ(Count(OutLog(), "OK -- "), 0u);

  // Nobody answers: the drain ends at its deadline and the records end as link errors.
  for (const auto& e : fs::directory_iterator(OutboundQueueRoot())) fs::remove(e.path());
  QueueFiles(3);
  FakeAsyncLibrary silent;
  silent.answer = false;
  QueueWorker w2 = Worker();
  QueueTransport t2 = Transport(silent);
  SMPPSubmitAsyncQ q2;
  q2.windowSize = 5;
  q2.link = silent.Link();
  AttachAsyncSubmission(w2, t2, q2);
  RunQueuePass(w2, t2);
  EXPECT_EQ(silent.outstanding.size(), 3u);
  uint64_t start = TickMs();
  DrainSmppSubmitAsyncQ(w2, q2, 300);
  EXPECT_LT(TickMs() - start, 3000u);
  EXPECT_EQ(silent.abandons, 1);
  EXPECT_TRUE(q2.records.empty());
  EXPECT_EQ(QueuedFiles(), 3u);
}

}  // namespace
