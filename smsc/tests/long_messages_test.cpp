#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/unique_fd.h"
#include "smsc/long_messages.h"
#include "smsc/queue_pass.h"
#include "smsc/route_cache.h"
#include "smsc/routing_tables.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"

// Runs once just before the next exclusive flock of the process: what another thread may
// do between a taker's open and its lock.
std::atomic<bool> g_beforeFlockArmed{false};
std::function<void()> g_beforeFlock;

extern "C" int flock(int fd, int operation) {
  using Flock = int (*)(int, int);
  static Flock real = reinterpret_cast<Flock>(dlsym(RTLD_NEXT, "flock"));
  if ((operation & LOCK_EX) != 0 && g_beforeFlockArmed.exchange(false)) g_beforeFlock();
  return real(fd, operation);
}

namespace {

namespace fs = std::filesystem;

TEST(LongMessages, SegmentNames) {
  struct Case {
    const char* name;
    bool ok;
    const char* key;
    unsigned total, number;
  } cases[] = {
      {"SAR-447700-1a-3-2.req", true, "SAR-447700-1a", 3, 2},
      {"SAR-+44-77-ff-2-1.REQ", true, "SAR-+44-77-ff", 2, 1},  // a dash in the first part
      {"sar-1-0-1-1.req", true, "sar-1-0", 1, 1},
      {"SAR-1-1a-3-4.req", false, "", 0, 0},   // number above count
      {"SAR-1-1a-3-0.req", false, "", 0, 0},
      {"SAR-1-zz-3-1.req", false, "", 0, 0},   // reference not hex
      {"SAR--1a-3-1.req", false, "", 0, 0},    // no first part
      {"SAR-1-3-1.req", false, "", 0, 0},
      {"0000CAFE.req", false, "", 0, 0},
      {"SAR-1-1a-3-1", false, "", 0, 0},
  };
  for (const Case& c : cases) {
    SegmentName s;
    EXPECT_EQ(ParseSegmentName(c.name, s), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(s.key, c.key) << c.name;
    EXPECT_EQ(s.total, c.total) << c.name;
    EXPECT_EQ(s.number, c.number) << c.name;
  }
}

TEST(LongMessages, UdhWithoutConcatenation) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"0B05040B8423F000031A0301", "0605040B8423F0"},
      {"050003010201", ""},
      {"06080401020301", ""},
      {"0D0804010203010504162C0000", "060504162C0000"},
      {"0605040B8423F0", "0605040B8423F0"},
      {"0A05040B8423F00003", "0605040B8423F0"},  // a cut element is dropped
      {"zz", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UdhWithoutConcatenation(c.in), c.out) << c.in;
  }
}

struct FakeLink {
  std::vector<std::string> sent;  // gateway message ids in submit order
  std::vector<SmsMessageRecord> records;
  std::vector<int> statuses;
  QueueTransport Transport() {
    QueueTransport t;
    t.submit = [this](const SmsMessageRecord& m, const SubmitRequest& r) {
      records.push_back(m);
      size_t n = sent.size();
      sent.push_back(r.gatewayMessageId);
      SubmitResult result;
      result.status = n < statuses.size() ? statuses[n] : 0;
      if (result.status == 0) {
        result.smscMessageId = "ID" + std::to_string(n);
      } else {
        result.outcome = SubmitOutcome::Retry;
        result.errorText = "failed";
      }
      return result;
    };
    t.enquireLink = [] { return 0; };
    t.yield = [](int) { return 0; };
    t.linkUp = [] { return true; };
    return t;
  }
};

class LongMessageTest : public SmscTestHome {
 protected:
  SettingsOverride settings{SettingsBlock{}};
  void SetUp() override {
    SmscTestHome::SetUp();
    MessageRoutesClear();
    WriteConfig("[QARHUB]\nModem1=SMPP - a:1\nModem2=SMPP - b:1\n");
    BuildOutboundRoutingTables();
    fs::create_directories(OutboundQueueRoot());
    ProcessLongMessageLockDeletions(true);
  }
  void TearDown() override {
    LogsClose();
    CountersClose();
    SMSCMessageIdCloseAll();
    SmscTestHome::TearDown();
  }
  void QueueSegments(const std::string& key, unsigned total, std::vector<unsigned> numbers) {
    for (unsigned n : numbers) {
      std::string name = key + "-" + std::to_string(total) + "-" + std::to_string(n) + ".req";
      ASSERT_TRUE(PublishFile(OutboundQueueRoot() + name,
                              "[SMS]\r\nData=part " + std::to_string(n) + "\r\nPhoneNumber=4477\r\n",
                              PublishMode::CreateNew));
    }
  }
  QueueWorker Worker(const std::string& name) {
    QueueWorker w;
    w.connection = name;
    w.names = RouteNamesFor(OutboundRouting, name);
    w.settings.throttleErrorDelaySeconds = 0;
    w.settings.keepAliveSeconds = 0;
    return w;
  }
  std::string LockText(const std::string& key) { return ReadFileText(OutboundQueueRoot() + key + ".LCK"); }
};

TEST_F(LongMessageTest, SegmentsGoInOrderAndTheLockIsDeletedOnceTheyAreGone) {
  // Published last to first: the listing meets segment 3 first.
  QueueSegments("SAR-4477-1a", 3, {3, 2, 1});
  FakeLink link;
  QueueTransport t = link.Transport();
  QueueWorker w = Worker("SMPP - a:1");
  RunQueuePass(w, t);
  EXPECT_EQ(link.sent, (std::vector<std::string>{"SAR-4477-1a-3-1", "SAR-4477-1a-3-2", "SAR-4477-1a-3-3"}));
  EXPECT_EQ(LockText("SAR-4477-1a"), std::string("SMPP - a:1\0", 11));
  EXPECT_EQ(LongMessageLockDeletionsPending(), 1u);
  // Younger than five seconds: kept; at shutdown it goes.
  ProcessLongMessageLockDeletions(false);
  EXPECT_TRUE(fs::exists(OutboundQueueRoot() + "SAR-4477-1a.LCK"));
  ProcessLongMessageLockDeletions(true);
  EXPECT_FALSE(fs::exists(OutboundQueueRoot() + "SAR-4477-1a.LCK"));
  EXPECT_EQ(LongMessageLockDeletionsPending(), 0u);
}

TEST_F(LongMessageTest, OwnerKeepsTheMessageAndAGoneSenderIsTakenOver) {
  std::string root = OutboundQueueRoot();
  // Segment 1 went out through a; the rest belongs to a.
  QueueSegments("SAR-4477-2b", 3, {2, 3});
  WriteFileText(root + "SAR-4477-2b.LCK", std::string("SMPP - a:1\0", 11));
  FakeLink linkB;
  QueueTransport tb = linkB.Transport();
  QueueWorker b = Worker("SMPP - b:1");
  RunQueuePass(b, tb);
  EXPECT_TRUE(linkB.sent.empty());
  // A failed attempt by the owner leaves the owner in place.
  FakeLink linkA;
  linkA.statuses = {0x45};
  QueueTransport ta = linkA.Transport();
  QueueWorker a = Worker("SMPP - a:1");
  RunQueuePass(a, ta);
  EXPECT_EQ(linkA.sent, (std::vector<std::string>{"SAR-4477-2b-3-2"}));
  EXPECT_EQ(LockText("SAR-4477-2b"), std::string("SMPP - a:1\0", 11));
  RunQueuePass(b, tb);
  EXPECT_TRUE(linkB.sent.empty());

  // "Pending:" of a sender that still holds the lock: refused; once it let go: taken over.
  QueueSegments("SAR-4477-3c", 2, {1, 2});
  std::string lockPath = root + "SAR-4477-3c.LCK";
  WriteFileText(lockPath, std::string("Pending:SMPP - a:1\0", 19));
  {
    UniqueFd held(open(lockPath.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(flock(held.get(), LOCK_EX | LOCK_NB), 0);
    RunQueuePass(b, tb);
    EXPECT_TRUE(linkB.sent.empty());
  }
  RunQueuePass(b, tb);
  EXPECT_EQ(linkB.sent, (std::vector<std::string>{"SAR-4477-3c-2-1", "SAR-4477-3c-2-2"}));
  EXPECT_EQ(LockText("SAR-4477-3c"), std::string("SMPP - b:1\0", 11));
}

// The main loop deletes the lock of a finished message between a taker's open and its flock;
// a second connection may take the message's new lock meanwhile. Never two holders, and the
// holder's lock is the file the path names.
TEST_F(LongMessageTest, ALockDeletedBetweenOpenAndFlockIsNeverHeldTwice) {
  std::string root = OutboundQueueRoot();
  SegmentName segment;
  ASSERT_TRUE(ParseSegmentName("SAR-4477-4d-2-1.req", segment));
  std::string path = root + "SAR-4477-4d.LCK";
  for (bool secondTaker : {true, false}) {
    // An attempt without segments left puts the lock on the deletion list.
    LongMessageLock first;
    ASSERT_TRUE(AcquireLongMessageLock(root, segment, "SMPP - a:1", first));
    ReleaseLongMessageLock(first, "SMPP - a:1", false);
    ASSERT_EQ(LongMessageLockDeletionsPending(), 1u);

    LongMessageLock mine, other;
    bool otherTook = false;
    g_beforeFlock = [&] {
      ProcessLongMessageLockDeletions(true);
      EXPECT_FALSE(fs::exists(path)) << "the lock of the finished message is deleted";
      if (secondTaker) otherTook = AcquireLongMessageLock(root, segment, "SMPP - b:1", other);
    };
    g_beforeFlockArmed = true;
    bool mineTook = AcquireLongMessageLock(root, segment, "SMPP - a:1", mine);
    ASSERT_FALSE(g_beforeFlockArmed.load()) << "the race ran";
    EXPECT_EQ(otherTook, secondTaker);
    EXPECT_NE(mineTook, otherTook) << "exactly one holder; second taker: " << secondTaker;
    std::string holder = mineTook ? "SMPP - a:1" : "SMPP - b:1";
    EXPECT_EQ(LockText("SAR-4477-4d"), "Pending:" + holder + std::string(1, '\0'))
        << "the holder wrote to the file the path names; second taker: " << secondTaker;
    ReleaseLongMessageLock(mine, "SMPP - a:1", false);
    ReleaseLongMessageLock(other, "SMPP - b:1", false);
    ProcessLongMessageLockDeletions(true);
    ASSERT_FALSE(fs::exists(path));
  }
}

TEST_F(LongMessageTest, CombinedSubmissionSendsTheMessageOnce) {
  std::string root = OutboundQueueRoot();
  const char* data[] = {"AA", "BB", "CC"};
  for (unsigned n = 1; n <= 3; ++n) {
    ASSERT_TRUE(PublishFile(root + "SAR-4477-5e-3-" + std::to_string(n) + ".req",
                            "[SMS]\r\nData=" + std::string(data[n - 1]) + "\r\nUDH=0B05040B8423F000035E030" +
                                std::to_string(n) + "\r\nBinary=1\r\nPhoneNumber=4477\r\n",
                            PublishMode::CreateNew));
  }
  FakeLink link;
  QueueTransport t = link.Transport();
  QueueWorker w = Worker("SMPP - a:1");
  w.settings.combineSegments = true;
  RunQueuePass(w, t);
  ASSERT_EQ(link.records.size(), 1u);
  EXPECT_EQ(link.records[0].Data, "AABBCC");
  EXPECT_EQ(link.records[0].UDH, "0605040B8423F0");
  EXPECT_TRUE(link.records[0].Binary);
  for (unsigned n = 1; n <= 3; ++n) EXPECT_FALSE(fs::exists(root + "SAR-4477-5e-3-" + std::to_string(n) + ".req"));

  // A later segment held elsewhere: nothing goes out this pass, nothing is lost.
  for (unsigned n = 1; n <= 2; ++n) {
    ASSERT_TRUE(PublishFile(root + "SAR-4477-6f-2-" + std::to_string(n) + ".req",
                            "[SMS]\r\nData=t" + std::to_string(n) + "\r\nPhoneNumber=4477\r\n",
                            PublishMode::CreateNew));
  }
  {
    ClaimedFile held;
    ASSERT_TRUE(ClaimQueueFile(root + "SAR-4477-6f-2-2.req", held));
    RunQueuePass(w, t);
    EXPECT_EQ(link.records.size(), 1u);
    ReleaseClaim(held);
  }
  EXPECT_TRUE(fs::exists(root + "SAR-4477-6f-2-1.req"));
  RunQueuePass(w, t);
  ASSERT_EQ(link.records.size(), 2u);
  EXPECT_EQ(link.records[1].Data, "t1t2");
  EXPECT_EQ(link.records[1].UDH, "");
}

// Two connections racing over the same message: every segment once, in order, one link.
TEST_F(LongMessageTest, TwoWorkersNeverSplitAMessage) {
  for (int m = 0; m < 20; ++m) {
    char key[32];
    snprintf(key, sizeof key, "SAR-44%02d-%x", m, m + 1);
    QueueSegments(key, 4, {4, 3, 2, 1});
  }
  FakeLink la, lb;
  QueueTransport ta = la.Transport(), tb = lb.Transport();
  QueueWorker a = Worker("SMPP - a:1"), b = Worker("SMPP - b:1");
  // A segment the other worker is looking at when its turn comes waits for a later pass of
  // the owner, so both go on until the queue is empty (bounded: a stuck message fails).
  std::string root = OutboundQueueRoot();
  auto segmentsLeft = [&] {
    int left = 0;
    for (const auto& e : fs::directory_iterator(root)) left += e.path().extension() == ".req";
    return left;
  };
  auto run = [&](QueueWorker& w, QueueTransport& t) {
    for (int i = 0; i < 500 && segmentsLeft() > 0; ++i) RunQueuePass(w, t);
  };
  std::thread ra([&] { run(a, ta); });
  std::thread rb([&] { run(b, tb); });
  ra.join();
  rb.join();
  EXPECT_EQ(segmentsLeft(), 0);
  std::map<std::string, std::pair<int, std::vector<unsigned>>> byMessage;  // key -> link, numbers
  auto collect = [&](const std::vector<std::string>& ids, int link) {
    for (const std::string& id : ids) {
      SegmentName s;
      ASSERT_TRUE(ParseSegmentName(id + ".req", s)) << id;
      auto& entry = byMessage[s.key];
      if (entry.second.empty()) entry.first = link;
      EXPECT_EQ(entry.first, link) << s.key << " went out on two links";
      entry.second.push_back(s.number);
    }
  };
  collect(la.sent, 1);
  collect(lb.sent, 2);
  ASSERT_EQ(byMessage.size(), 20u);
  for (const auto& [key, entry] : byMessage) EXPECT_EQ(entry.second, (std::vector<unsigned>{1, 2, 3, 4})) << key;
}

}  // namespace
