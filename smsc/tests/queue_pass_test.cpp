#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "outside/qarvault/qarvault.h"
#include "tests/support/test_servers.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "smsc/queue_pass.h"
#include "smsc/route_cache.h"
#include "smsc/routing_tables.h"
#include "smsc/smpp/smpp_outcome.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"

namespace {

namespace fs = std::filesystem;

// A transport that answers from a script of SMPP statuses and records what it was given.
struct FakeLink {
  std::vector<int> statuses;  // one per submit; 0 when used up
  std::vector<std::pair<std::string, SubmitRequest>> submits;  // recipient, request
  int enquires = 0;
  bool up = true;
  QueueTransport Transport() {
    QueueTransport t;
    t.submit = [this](const SmsMessageRecord& m, const SubmitRequest& r) {
      submits.emplace_back(m.PhoneNumber, r);
      SubmitResult result;
      size_t n = submits.size() - 1;
      result.status = n < statuses.size() ? statuses[n] : 0;
      // The SMPP driver's classes, under the connection's reject list.
      result.outcome = SmppOutcomeFor("SMPP - a:1", result.status, false);
      result.smscMessageId = result.status == 0 ? "SMSC" + std::to_string(submits.size()) : "";
      result.errorText = result.status == 0 ? "" : "SMPP error " + std::to_string(result.status);
      return result;
    };
    t.enquireLink = [this] {
      ++enquires;
      return up ? 0 : -1;
    };
    t.yield = [](int) { return 0; };
    t.linkUp = [this] { return up; };
    return t;
  }
};

class QueuePassTest : public SmscTestHome {
 protected:
  SettingsOverride settings{SettingsBlock{}};
  void SetUp() override {
    SmscTestHome::SetUp();
    MessageRoutesClear();
  }
  void TearDown() override {
    LogsClose();
    CountersClose();
    SMSCMessageIdCloseAll();
    SmscTestHome::TearDown();
  }
  void Configure(const std::string& extra = "") {
    WriteConfig("[QARHUB]\nModem1=SMPP - a:1\n" + extra + "\n[SMPP - a:1]\nRouteName=MAIN\n");
    BuildOutboundRoutingTables();
    fs::create_directories(OutboundQueueRoot());
  }
  std::string Queue(const std::string& name, const std::string& body) {
    std::string path = OutboundQueueRoot() + name;
    EXPECT_TRUE(PublishFile(path, "[SMS]\r\n" + body, PublishMode::CreateNew));
    return path;
  }
  QueueWorker Worker() {
    QueueWorker w;
    w.connection = "SMPP - a:1";
    w.names = RouteNamesFor(OutboundRouting, w.connection);
    w.settings.retryMaxAttempts = 20;
    w.settings.throttleErrorDelaySeconds = 0;
    w.settings.keepAliveSeconds = 0;
    return w;
  }
  std::string OutLog() {
    std::string all;
    if (!fs::exists(LogDirectory())) return all;
    for (const auto& e : fs::directory_iterator(LogDirectory())) {
      if (e.path().filename().string().rfind("SMSOUT", 0) == 0) all += ReadFileText(e.path().string());
    }
    return all;
  }
};

TEST_F(QueuePassTest, SentMessageIsLoggedCountedRecordedAndDeleted) {
  Configure();
  std::string path = Queue("0000AAAA.req", "SubmitUser=alice\r\nSender=+4477001\r\nData=Hello\r\nPhoneNumber=+44 7700-900123:5\r\n"
                                           "ServiceType=CMT\r\nValidity=2h\r\nSMPPOptions=SMPPOption_source_port=9\r\n"
                                           "ReceiptRequested=Yes\r\n");
  uint32_t sentBefore = CounterValue(kSmsSent);
  FakeLink link;
  QueueTransport t = link.Transport();
  QueueWorker w = Worker();
  RunQueuePass(w, t);
  ASSERT_EQ(link.submits.size(), 1u);
  const SubmitRequest& r = link.submits[0].second;
  EXPECT_EQ(r.gatewayMessageId, "0000AAAA");
  EXPECT_EQ(r.recipient, "+447700900123");
  EXPECT_EQ(r.sender, "+4477001");
  EXPECT_EQ(r.extraParams, "SMPPOption_source_port=9; LocalUser=alice; ServiceType=CMT; Validity=2h");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(CounterValue(kSmsSent), sentBefore + 1);
  EXPECT_EQ(ConnectionCounterValue("SMPP - a:1"), 1u);
  EXPECT_NE(OutLog().find("OK -- SMPP - a:1"), std::string::npos) << OutLog();
  char id[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {}, sender[SMSC_MSGID_FIELD_SIZE] = {},
       recipient[SMSC_MSGID_FIELD_SIZE] = {};
  ASSERT_NE(SMSCMessageIdGet("SMPP - a:1", "SMSC1", id, user, sender, recipient), 0);
  EXPECT_STREQ(id, "0000AAAA");
  EXPECT_STREQ(user, "alice");
  // Without a report asked for, nothing will come back to match: nothing is recorded.
  Queue("0000AAAB.req", "Data=Hi\r\nPhoneNumber=447700900124\r\n");
  RunQueuePass(w, t);
  ASSERT_EQ(link.submits.size(), 2u);
  EXPECT_EQ(SMSCMessageIdGet("SMPP - a:1", "SMSC2", id, user, sender, recipient), 0);
}

TEST_F(QueuePassTest, FailureOutcomes) {
  struct Case {
    const char* what;
    std::vector<int> statuses;
    std::string extraConfig;
    uint32_t retryMaxAttempts;
    const char* existingDetail;
    bool oldFile;
    bool expectKept;
    const char* expectInFile;  // in the kept file or the .ERR copy
    size_t expectSubmits;
  } cases[] = {
      {"temporary error is retried", {0x45}, "", 20, "", false, true,
       "[ErrorDetail]\r\nRetryCount=1\r\n", 1},
      {"a second failure counts on", {0x45}, "", 20, "[ErrorDetail]\r\nRetryCount=3\r\nLastRetryTime=20000101000000\r\n",
       false, true, "RetryCount=4\r\n", 1},
      {"invalid destination is permanent at once", {0x0B}, "", 20, "", false, false, "SMPP error 11 -- SMPP - a:1", 1},
      {"no retries allowed", {0x45}, "", 0, "", false, false, "RetryCount=1", 1},
      {"attempts used up", {0x45}, "", 2, "[ErrorDetail]\r\nRetryCount=2\r\nLastRetryTime=20000101000000\r\n", false,
       false, "RetryCount=3", 1},
      {"too old", {0x45}, "", 20, "", true, false, "SMPP error 69", 1},
      {"listed reject code", {0x45}, "SMPPRejectErrorCodes=0x45", 20, "", false, false, "SMPP error 69", 1},
      {"throttling is never given up by count", {0x58, 0x58, 0x58, 0x58, 0x58}, "SMPPRejectErrorCodes=All", 0, "",
       false, true, "RetryCount=1", 5},
      {"throttling then success", {0x58, 0}, "", 20, "", false, false, "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    Configure(c.extraConfig);
    std::string path = Queue("0000BBBB.req", std::string("Data=x\r\nPhoneNumber=4477\r\nReceiptRequested=Yes\r\n") +
                                                 c.existingDetail);
    if (c.oldFile) {
      struct utimbuf times {};
      times.actime = times.modtime = NowSeconds() - 3 * 86400;
      utime(path.c_str(), &times);
    }
    FakeLink link;
    link.statuses = c.statuses;
    QueueTransport t = link.Transport();
    QueueWorker w = Worker();
    w.settings.retryMaxAttempts = c.retryMaxAttempts;
    w.settings.restartQAfterThrottleError = true;
    FileOutcome outcome = HandleQueueFile(w, t, ".", "0000BBBB.req");
    EXPECT_EQ(link.submits.size(), c.expectSubmits);
    std::string errPath = OutboundQueueRoot() + "0000BBBB.ERR";
    if (std::string(c.expectInFile).empty()) {
      EXPECT_EQ(outcome, FileOutcome::Sent);
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    if (c.expectKept) {
      EXPECT_EQ(outcome, FileOutcome::Retry);
      std::string text = ReadFileText(path);
      EXPECT_NE(text.find(c.expectInFile), std::string::npos) << text;
      EXPECT_EQ(text.find("[ErrorDetail]"), text.rfind("[ErrorDetail]")) << "one section only";
      EXPECT_NE(text.find("LastErrorInfo="), std::string::npos);
      EXPECT_FALSE(fs::exists(errPath));
      EXPECT_NE(OutLog().find("Retry Pending - SMPP error"), std::string::npos);
    } else {
      EXPECT_EQ(outcome, FileOutcome::Failed);
      EXPECT_FALSE(fs::exists(path));
      ASSERT_TRUE(fs::exists(errPath));
      std::string text = ReadFileText(errPath);
      EXPECT_NE(text.find(c.expectInFile), std::string::npos) << text;
      EXPECT_NE(text.find("PhoneNumber=4477"), std::string::npos);
    }
    if (c.statuses.size() == 5) {
      EXPECT_TRUE(w.queueRestart);
    }
  }
}

TEST_F(QueuePassTest, PassOverAndSpecialFiles) {
  WriteConfig("[QARHUB]\nModem1=SMPP - a:1\nModem2=SMPP - b:2\n[SMPP - a:1]\nRoutePrefOnly=Yes\nRoute1=44*\n"
              "[SMPP - b:2]\nRoutePrefOnly=Yes\nRoute1=33*\n[Inbound SMS Routing]\n~SMSIN=5555*\n");
  BuildOutboundRoutingTables();
  fs::create_directories(OutboundQueueRoot());
  settings->UseRouteCache = true;
  std::string other = Queue("00000001.req", "Data=x\r\nPhoneNumber=3312\r\n");
  std::string explicitRoute = Queue("00000002.req", "Data=x\r\nPhoneNumber=4412\r\nSMSCRoute=SMPP - b:2\r\n");
  std::string notDue = Queue("00000003.req", "Data=x\r\nPhoneNumber=4412\r\n[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=" +
                                                 std::string("29991231235959") + "\r\n");
  std::string noRecipient = Queue("00000004.req", "Data=x\r\n");
  std::string nowhere = Queue("00000005.req", "Data=x\r\nPhoneNumber=9912\r\n");
  std::string local = Queue("00000006.req", "Data=for the box\r\nPhoneNumber=555512\r\nSender=123\r\n");
  std::string huge = OutboundQueueRoot() + "00000007.req";
  ASSERT_TRUE(PublishFile(huge, "[SMS]\r\nData=" + std::string(kMaxMessageFileSize, 'x') + "\r\nPhoneNumber=4412\r\n",
                          PublishMode::CreateNew));
  std::string mine = Queue("00000008.req", "Data=x\r\nPhoneNumber=4412\r\n");
  // A file another sender holds is passed over.
  std::string held = Queue("00000009.req", "Data=x\r\nPhoneNumber=4413\r\n");
  ClaimedFile holder;
  ASSERT_TRUE(ClaimQueueFile(held, holder));

  FakeLink link;
  QueueTransport t = link.Transport();
  QueueWorker w = Worker();
  RunQueuePass(w, t);
  ASSERT_EQ(link.submits.size(), 1u);
  EXPECT_EQ(link.submits[0].first, "4412");
  EXPECT_FALSE(fs::exists(mine));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::exists(explicitRoute));
  EXPECT_TRUE(fs::exists(notDue));
  EXPECT_TRUE(fs::exists(huge)) << "an unreadable file stays";
  EXPECT_TRUE(fs::exists(held));
  EXPECT_FALSE(fs::exists(noRecipient));
  EXPECT_NE(OutLog().find("Message has no recipient"), std::string::npos);
  EXPECT_FALSE(fs::exists(nowhere));
  EXPECT_NE(ReadFileText(OutboundQueueRoot() + "00000005.ERR").find("Error:  No SMSC defined to route message"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(local));
  int inbound = 0;
  for (const auto& e : fs::directory_iterator(InboundDir())) {
    ++inbound;
    EXPECT_NE(ReadFileText(e.path().string()).find("Data=for the box"), std::string::npos);
  }
  EXPECT_EQ(inbound, 1);
  std::string value;
  ASSERT_TRUE(MessageRoutesFind("00000001.req", value));
  EXPECT_EQ(value, "SMPP - b:2");
  ASSERT_TRUE(MessageRoutesFind("00000002.req", value));
  EXPECT_EQ(value, "*=SMPP - b:2");
  EXPECT_FALSE(MessageRoutesFind("00000008.req", value)) << "dropped once sent";
  ReleaseClaim(holder);
}

// Several workers of one connection on one queue: every file is sent once.
TEST_F(QueuePassTest, ConcurrentWorkersSendEachFileOnce) {
  Configure();
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    snprintf(name, sizeof name, "%08X.req", 0x100 + i);
    Queue(name, "Data=x\r\nPhoneNumber=4412\r\n");
  }
  std::mutex lock;
  std::map<std::string, int> seen;
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&] {
      FakeLink link;
      QueueTransport t = link.Transport();
      t.submit = [&](const SmsMessageRecord&, const SubmitRequest& r) {
        std::lock_guard guard(lock);
        ++seen[r.gatewayMessageId];
        return SubmitResult{SubmitOutcome::Done, 0, "X" + r.gatewayMessageId, ""};
      };
      QueueWorker w = Worker();
      for (int pass = 0; pass < 5; ++pass) RunQueuePass(w, t);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(seen.size(), size_t(kFiles));
  for (auto& [id, count] : seen) EXPECT_EQ(count, 1) << id;
  EXPECT_EQ(std::distance(fs::directory_iterator(OutboundQueueRoot()), fs::directory_iterator()), 0);
}

// A worker following a listing passes over a file another worker of ours sent since, even
// when the name was made again meanwhile (the next listing brings the new file).
TEST_F(QueuePassTest, AListingPassesOverFilesSentSinceByAnotherWorker) {
  Configure();
  Queue("0000D001.req", "Data=x\r\nPhoneNumber=4477\r\n");
  FakeLink link;
  QueueTransport t = link.Transport();
  QueueWorker first = Worker(), second = Worker();
  uint64_t listedAt = ClaimedDeleteCount();
  EXPECT_EQ(HandleQueueFile(first, t, ".", "0000D001.req", ClaimedDeleteCount()), FileOutcome::Sent);
  Queue("0000D001.req", "Data=y\r\nPhoneNumber=4478\r\n");
  EXPECT_EQ(HandleQueueFile(second, t, ".", "0000D001.req", listedAt), FileOutcome::PassedOver);
  EXPECT_EQ(HandleQueueFile(second, t, ".", "0000D001.req", ClaimedDeleteCount()), FileOutcome::Sent);
  ASSERT_EQ(link.submits.size(), 2u);
  EXPECT_EQ(link.submits[1].first, "4478");
}

// Every outcome goes to the accounting callback as an "SMSOut" notice.
TEST_F(QueuePassTest, OutcomesReachTheAccountingCallback) {
  ScriptedServer server([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nOK", true};
  });
  Configure();
  settings->AccountingExtended = true;
  settings->AccountingKeepAlive = false;
  settings->SMSAccountingURL = "http://127.0.0.1:" + std::to_string(server.port()) + "/acct";
  Queue("0000C001.req", "SubmitUser=alice\r\nData=x\r\nPhoneNumber=4477\r\n");
  Queue("0000C002.req", "SubmitUser=bob\r\nData=y\r\nPhoneNumber=4478\r\n");
  FakeLink link;
  link.statuses = {0, 0x45};
  QueueTransport t = link.Transport();
  QueueWorker w = Worker();
  EXPECT_EQ(HandleQueueFile(w, t, ".", "0000C001.req"), FileOutcome::Sent);
  EXPECT_EQ(HandleQueueFile(w, t, ".", "0000C002.req"), FileOutcome::Retry);
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const char* part : {"Type=SMSOut", "From=alice", "To=4477", "MessageID=0000C001", "SMSCMsgId=SMSC1", "Status=OK"}) {
    EXPECT_NE(requests[0].find(part), std::string::npos) << part << "\n" << requests[0];
  }
  for (const char* part : {"Type=SMSOut", "From=bob", "Status=Retry%20Pending"}) {
    EXPECT_NE(requests[1].find(part), std::string::npos) << part << "\n" << requests[1];
  }
  settings->SMSAccountingURL.clear();
}

TEST(QueuePassRules, RecipientSenderAndParams) {
  struct RecipientCase {
    const char* in;
    bool alpha;
    const char* out;
  } recipients[] = {{"+44 (7700) 900-123", false, "+447700900123"}, {"4477:9", false, "4477"},
                    {"44+77", false, "4477"},                        {"ab:c", true, "ab:c"},
                    {"1:2:3", false, "12"}};
  for (const auto& c : recipients) EXPECT_EQ(NormaliseRecipient(c.in, c.alpha), c.out) << c.in;
  struct SenderCase {
    const char* message;
    const char* list;
    bool overrideAllowed;
    const char* out;
  } senders[] = {{"999", "111, 222", true, "999"},  {"999", "111, 222", false, "111"},
                 {"222", "111, 222", false, "222"}, {"", "111,222", true, "111"},
                 {"ABC", "abc", false, "ABC"},      {"", "", true, ""}};
  for (const auto& c : senders) EXPECT_EQ(ChooseSender(c.message, c.list, c.overrideAllowed), c.out) << c.message;
  SmsMessageRecord m;
  m.SMPPOptions = std::string(800, 'o');
  EXPECT_EQ(SubmitExtraParams(m).size(), 750u);
}

}  // namespace

// Per-user queues take turns: a worker leaves a user's directory after UserQueueThreshold
// sent files and comes back to where it stopped; every file goes once, in name order.
TEST_F(QueuePassTest, UserQueuesTakeTurnsAndResumeInOrder) {
  Configure();
  settings->UserQueueThreshold = 10;
  for (const char* user : {"alice", "bob"}) {
    fs::create_directories(OutboundQueueRoot() + user);
    for (int i = 0; i < 25; ++i) {
      char name[64];
      snprintf(name, sizeof name, "%s/0000%04X.req", user, i);
      Queue(name, std::string("Data=m\r\nPhoneNumber=4477") + (user[0] == 'a' ? "1" : "2") + "\r\n");
    }
  }
  FakeLink link;
  QueueTransport t = link.Transport();
  QueueWorker w = Worker();
  RunQueuePass(w, t);
  ASSERT_EQ(link.submits.size(), 22u) << "11 from each user, then the next user's turn";
  for (size_t i = 0; i < 22; ++i) EXPECT_EQ(link.submits[i].first, i < 11 ? "44771" : "44772");
  // A file that arrives meanwhile is not lost; it is sent once the listing is used up.
  Queue("bob/0000FFFF.req", "Data=late\r\nPhoneNumber=44772\r\n");
  RunQueuePass(w, t);
  RunQueuePass(w, t);
  RunQueuePass(w, t);
  ASSERT_EQ(link.submits.size(), 51u);
  std::map<std::string, std::vector<std::string>> perUser;
  for (auto& [recipient, request] : link.submits) perUser[recipient].push_back(request.gatewayMessageId);
  for (auto& [recipient, ids] : perUser) {
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << recipient;
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size()) << recipient << " sent twice";
  }
  EXPECT_EQ(perUser["44772"].back(), "0000FFFF");
  EXPECT_TRUE(fs::is_empty(OutboundQueueRoot() + "alice"));
  EXPECT_TRUE(fs::is_empty(OutboundQueueRoot() + "bob"));
}
