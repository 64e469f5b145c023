#include "store/queue_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "store/tests/store_home.h"

namespace {
unsigned CountEntries(const std::string& dir) {
  unsigned n = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) {
    (void)e;
    ++n;
  }
  return n;
}
}  // namespace

TEST(QueueFileTest, PublishCreateNewNeverReplacesAndLeavesNoTempFiles) {
  StoreHome home;
  std::string dir = home.path() + "Q/sub/";
  ASSERT_TRUE(PublishFile(dir + "A.req", "first", PublishMode::CreateNew));  // directory created
  EXPECT_FALSE(PublishFile(dir + "A.req", "second", PublishMode::CreateNew));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadTestFile(dir + "A.req"), "first");
  ASSERT_TRUE(PublishFile(dir + "A.req", "third", PublishMode::Replace));
  EXPECT_EQ(ReadTestFile(dir + "A.req"), "third");
  EXPECT_EQ(CountEntries(dir), 1u);
  ASSERT_TRUE(PublishFile(dir + "B.req", "kept time", PublishMode::CreateNew, 1000000000));
  EXPECT_EQ(FileCreationTime(dir + "B.req"), 1000000000);
  EXPECT_TRUE(IsTempFileName(".~123-4.tmp"));
  EXPECT_FALSE(IsTempFileName("A.req"));
}

TEST(QueueFileTest, ClaimIsExclusiveAndSurvivesRewrite) {
  StoreHome home;
  std::string path = home.path() + "Q/M1.req";
  ASSERT_TRUE(PublishFile(path, "[SMS]\r\nPhoneNumber=1\r\n", PublishMode::CreateNew));
  SetMTime(path, 1500000000);
  ClaimedFile a, b;
  ASSERT_TRUE(ClaimQueueFile(path, a));
  EXPECT_FALSE(ClaimQueueFile(path, b));
  ASSERT_TRUE(RewriteClaimedFile(a, "[SMS]\r\nPhoneNumber=2\r\n"));
  EXPECT_FALSE(ClaimQueueFile(path, b)) << "the claim moves to the rewritten file";
  EXPECT_EQ(FileCreationTime(path), 1500000000) << "a rewrite keeps the creation time";
  std::string content;
  ASSERT_TRUE(ReadClaimedFile(a, content, 1000));
  EXPECT_EQ(content, "[SMS]\r\nPhoneNumber=2\r\n");
  EXPECT_FALSE(ReadClaimedFile(a, content, 5)) << "larger than the limit";
  ReleaseClaim(a);
  ASSERT_TRUE(ClaimQueueFile(path, b));
  ASSERT_TRUE(DeleteClaimedFile(b));
  EXPECT_FALSE(FileCreationTime(path) != 0);
  EXPECT_FALSE(ClaimQueueFile(path, b));
}

TEST(QueueFileTest, ClaimOfAFileReplacedAfterOpenFails) {
  StoreHome home;
  std::string path = home.path() + "Q/M2.req";
  ASSERT_TRUE(PublishFile(path, "one", PublishMode::CreateNew));
  ClaimedFile a;
  ASSERT_TRUE(ClaimQueueFile(path, a));
  // Another writer replaces the name: our claim no longer names the file, so a delete must
  // not remove the new one.
  ASSERT_TRUE(PublishFile(path, "two", PublishMode::Replace));
  EXPECT_FALSE(DeleteClaimedFile(a));
  EXPECT_EQ(ReadTestFile(path), "two");
}

TEST(QueueFileTest, LockFilesMeanHeldNotExists) {
  StoreHome home;
  std::string path = home.path() + "BULKQ/J/LOCK.LCK";
  HeldLock first, second;
  ASSERT_TRUE(AcquireLockFile(path, first));
  EXPECT_TRUE(LockFileHeld(path));
  EXPECT_FALSE(AcquireLockFile(path, second));
  EXPECT_FALSE(RemoveLockFileIfFree(path));
  ReleaseLockFile(first, false);
  EXPECT_FALSE(LockFileHeld(path)) << "a stale file left behind is not held";
  ASSERT_TRUE(AcquireLockFile(path, second));
  ReleaseLockFile(second, true);
  EXPECT_EQ(FileCreationTime(path), 0);
  EXPECT_TRUE(RemoveLockFileIfFree(path)) << "a missing lock file is free";
}

TEST(QueueFileTest, MoveNeverReplaces) {
  StoreHome home;
  std::string from = home.path() + "Q/DELAYQ/A.req", to = home.path() + "Q/x/A.req";
  WriteTestFile(from, "a");
  WriteTestFile(home.path() + "Q/DELAYQ/B.req", "b");
  WriteTestFile(home.path() + "Q/B.req", "old");
  ASSERT_TRUE(MoveQueueFile(from, to));
  EXPECT_EQ(ReadTestFile(to), "a");
  EXPECT_FALSE(MoveQueueFile(home.path() + "Q/DELAYQ/B.req", home.path() + "Q/B.req"));
  EXPECT_EQ(ReadTestFile(home.path() + "Q/B.req"), "old");
}
