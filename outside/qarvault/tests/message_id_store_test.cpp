#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"

namespace {

struct Found {
  std::string messageId, user, sender, recipient;
  int64_t submitTime = 0;
};

bool Get2(const char* connection, const char* smscId, Found& out) {
  char m[SMSC_MSGID_FIELD_SIZE], u[SMSC_MSGID_FIELD_SIZE], s[SMSC_MSGID_FIELD_SIZE],
      r[SMSC_MSGID_FIELD_SIZE];
  if (!SMSCMessageIdGet2(connection, smscId, m, u, s, r, &out.submitTime)) return false;
  out = Found{m, u, s, r, out.submitTime};
  return true;
}

class MessageIdStoreTest : public DataFolderTest {};

TEST_F(MessageIdStoreTest, AddsFindsAndReplaces) {
  int64_t before = std::time(nullptr);
  ASSERT_EQ(SMSCMessageIdAdd("SMPP - 10.0.0.1:2775", "AB12", "QAR0000001F", "alice", "4477",
                             "+447700900123"),
            1);
  EXPECT_TRUE(std::filesystem::exists(home_ + "SMPPData/MSGID.DB"));
  Found f;
  ASSERT_TRUE(Get2("SMPP - 10.0.0.1:2775", "AB12", f));
  EXPECT_EQ(f.messageId, "QAR0000001F");
  EXPECT_EQ(f.user, "alice");
  EXPECT_EQ(f.sender, "4477");
  EXPECT_EQ(f.recipient, "+447700900123");
  EXPECT_GE(f.submitTime, before);
  EXPECT_LE(f.submitTime, std::time(nullptr));

  char m[SMSC_MSGID_FIELD_SIZE], r[SMSC_MSGID_FIELD_SIZE];
  EXPECT_EQ(SMSCMessageIdGet("SMPP - 10.0.0.1:2775", "AB12", m, nullptr, nullptr, r), 1);
  EXPECT_STREQ(m, "QAR0000001F");
  EXPECT_STREQ(r, "+447700900123");

  // The key is case-sensitive in both parts.
  EXPECT_FALSE(Get2("SMPP - 10.0.0.1:2775", "ab12", f));
  EXPECT_FALSE(Get2("smpp - 10.0.0.1:2775", "AB12", f));
  EXPECT_FALSE(Get2("Modem - COM1:", "AB12", f));

  ASSERT_EQ(SMSCMessageIdAdd("SMPP - 10.0.0.1:2775", "AB12", "QAR00000020", "bob", "", "1"), 1);
  ASSERT_TRUE(Get2("SMPP - 10.0.0.1:2775", "AB12", f));
  EXPECT_EQ(f.messageId, "QAR00000020");
  EXPECT_EQ(f.user, "bob");
  EXPECT_EQ(f.sender, "");

  EXPECT_EQ(SMSCMessageIdAdd(nullptr, "x", "m", "", "", ""), 0);
  EXPECT_EQ(SMSCMessageIdAdd("c", "", "m", "", "", ""), 0);
  EXPECT_EQ(SMSCMessageIdAdd("c", "x", nullptr, nullptr, nullptr, nullptr), 1);
}

TEST_F(MessageIdStoreTest, LongFieldsAreCutToTheBuffers) {
  std::string longText(1000, 'z');
  ASSERT_EQ(SMSCMessageIdAdd("HTTP", "id", longText.c_str(), longText.c_str(), "s", "r"), 1);
  Found f;
  ASSERT_TRUE(Get2("HTTP", "id", f));
  EXPECT_EQ(f.messageId, std::string(SMSC_MSGID_FIELD_SIZE - 1, 'z'));
  EXPECT_EQ(f.user, std::string(SMSC_MSGID_FIELD_SIZE - 1, 'z'));
}

TEST_F(MessageIdStoreTest, UsesTheConfiguredTrackingDirectory) {
  std::string dir = home_ + "track";
  ASSERT_EQ(SMSIniWriteProfileString("QARHUB", "MessageIDTrackingDir", dir.c_str()), 1);
  char buf[512];
  ASSERT_GT(GetMessageIdTrackingDirectory(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), dir + "/");
  ASSERT_EQ(SMSCMessageIdAdd("HTTP", "1", "m", "u", "s", "r"), 1);
  EXPECT_TRUE(std::filesystem::exists(dir + "/MSGID.DB"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "SMPPData/MSGID.DB"));
  EXPECT_EQ(GetMessageIdTrackingDirectory(buf, 5), 0);
}

TEST_F(MessageIdStoreTest, ManyThreadsAndAnotherProcess) {
  constexpr int kThreads = 6, kEach = 60;
  SMSCMessageIdCloseAll();
  pid_t child = StartChild([] {
    for (int i = 0; i < kEach; ++i) {
      std::string id = "child-" + std::to_string(i);
      if (!SMSCMessageIdAdd("UCP - host:1", id.c_str(), id.c_str(), "u", "s", "r")) return false;
    }
    return true;
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kEach; ++i) {
        std::string id = std::to_string(t) + "-" + std::to_string(i);
        if (!SMSCMessageIdAdd("UCP - host:1", id.c_str(), id.c_str(), "u", "s", "r")) ++failures;
        Found f;
        if (!Get2("UCP - host:1", id.c_str(), f) || f.messageId != id) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(failures.load(), 0);
  Found f;
  for (int i = 0; i < kEach; ++i) {
    std::string id = "child-" + std::to_string(i);
    EXPECT_TRUE(Get2("UCP - host:1", id.c_str(), f)) << id;
  }
}

// The statements are kept between calls, yet a read holds no snapshot: each round's write,
// by this process or by another, is seen by both, and a write after a read never meets a
// stale snapshot.
TEST_F(MessageIdStoreTest, KeptStatementsFollowWritesOfAnotherProcess) {
  auto inChild = [](const std::function<bool()>& work) { return WaitChild(StartChild(work)) == 0; };
  for (int round = 0; round < 6; ++round) {
    std::string value = "v" + std::to_string(round);
    Found f;
    // The key is read first in every round, leaving a statement stepped to its row.
    ASSERT_EQ(Get2("SMPP - a:1", "key", f), round > 0) << round;
    auto add = [value] { return SMSCMessageIdAdd("SMPP - a:1", "key", value.c_str(), "u", "s", "r") == 1; };
    auto seen = [value] {
      Found g;
      return Get2("SMPP - a:1", "key", g) && g.messageId == value;
    };
    bool childWrites = round % 2 == 1;
    ASSERT_TRUE(childWrites ? inChild(add) : add()) << round;
    EXPECT_TRUE(seen()) << round;
    EXPECT_TRUE(inChild(seen)) << round;
    EXPECT_EQ(MMSNotificationExist("Modem - COM1:", value.c_str()), 0) << round;
    ASSERT_TRUE(childWrites ? inChild([value] { return MMSNotificationAdd("Modem - COM1:", value.c_str()) == 1; })
                            : MMSNotificationAdd("Modem - COM1:", value.c_str()) == 1);
    EXPECT_EQ(MMSNotificationExist("Modem - COM1:", value.c_str()), 1) << round;
  }
}

TEST_F(MessageIdStoreTest, BatchIsOneTransaction) {
  ASSERT_EQ(SMSCMessageIdAdd("HTTP", "before", "m0", "u", "s", "r"), 1);
  ASSERT_EQ(SMSCMessageIdBeginBatch(), 1);
  ASSERT_EQ(SMSCMessageIdAdd("HTTP", "in-batch", "m1", "u", "s", "r"), 1);
  Found f;
  EXPECT_TRUE(Get2("HTTP", "in-batch", f));  // this process sees its own batch
  auto seenElsewhere = [](const char* id) {
    pid_t pid = StartChild([id] {
      Found g;
      return Get2("HTTP", id, g);
    });
    return WaitChild(pid) == 0;
  };
  EXPECT_TRUE(seenElsewhere("before"));
  EXPECT_FALSE(seenElsewhere("in-batch"));
  ASSERT_EQ(SMSCMessageIdEndBatch(), 1);
  EXPECT_TRUE(seenElsewhere("in-batch"));
  EXPECT_EQ(SMSCMessageIdEndBatch(), 1);  // nothing pending
  ASSERT_EQ(SMSCMessageIdBeginBatch(), 1);
  ASSERT_EQ(SMSCMessageIdAdd("HTTP", "pending", "m2", "u", "s", "r"), 1);
  EXPECT_EQ(SMSCMessageIdCommitPending(), 1);
  EXPECT_TRUE(seenElsewhere("pending"));
}

TEST_F(MessageIdStoreTest, RemembersMMSNotifications) {
  EXPECT_EQ(MMSNotificationExist("Modem - COM1:", "http://mmsc/a"), 0);
  ASSERT_EQ(MMSNotificationAdd("Modem - COM1:", "http://mmsc/a"), 1);
  EXPECT_EQ(MMSNotificationExist("Modem - COM1:", "http://mmsc/a"), 1);
  EXPECT_EQ(MMSNotificationExist("Modem - COM2:", "http://mmsc/a"), 0);
  EXPECT_EQ(MMSNotificationExist("Modem - COM1:", "http://mmsc/b"), 0);
  EXPECT_EQ(MMSNotificationAdd("Modem - COM1:", "http://mmsc/a"), 1);
}

TEST_F(MessageIdStoreTest, DirectoriesEndInSlashAndAreCreated) {
  char buf[512];
  struct Case {
    int (*get)(char*, uint32_t);
    std::string want;
  } cases[] = {
      {GetProgramDataDirectory, home_},
      {GetPrivateDataDirectory, home_ + "PRIVATE/"},
      {GetLogDirectory, home_ + "LOGS/"},
      {GetDebugLogDirectory, home_ + "LOGS/"},
      {GetMMSCLogDirectory, home_ + "MMSCLOGS/"},
      {GetMMSCDataDirectory, home_ + "MMSCDATA/"},
      {GetMessageIdTrackingDirectory, home_ + "SMPPData/"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.get(buf, sizeof buf), static_cast<int>(c.want.size())) << c.want;
    EXPECT_EQ(std::string(buf), c.want);
    EXPECT_TRUE(std::filesystem::is_directory(c.want)) << c.want;
    EXPECT_EQ(c.get(buf, static_cast<uint32_t>(c.want.size())), 0) << "no room for the zero";
  }
  ASSERT_GT(GetRealProgramDirectory(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), BinDirectory());
  // Without a trailing "/" in $QARSMS_HOME one is added.
  std::string bare = home_.substr(0, home_.size() - 1);
  ::setenv("QARSMS_HOME", bare.c_str(), 1);
  ASSERT_GT(GetProgramDataDirectory(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), home_);
}

}  // namespace
