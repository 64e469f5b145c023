#include "store/queue_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/names.h"
#include "store/tests/store_home.h"
#include "tests/support/test_files.h"

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
  EXPECT_EQ(ReadFileText(dir + "A.req"), "first");
  ASSERT_TRUE(PublishFile(dir + "A.req", "third", PublishMode::Replace));
  EXPECT_EQ(ReadFileText(dir + "A.req"), "third");
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

// Sizes around the first read's buffer and the later reads' steps, each at its limit and
// one byte over it: the whole file or a refusal, never a part.
TEST(QueueFileTest, ReadClaimedFileIsWholeOrRefusedAtEverySize) {
  StoreHome home;
  for (size_t size : {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(4097), size_t(8193),
                      size_t(65536 + 4096), size_t(65536 + 4097), size_t(300000)}) {
    std::string path = home.path() + "Q/S" + std::to_string(size) + ".req";
    std::string bytes(size, 'x');
    for (size_t i = 0; i < size; ++i) bytes[i] = char('a' + (i * 7 + i / 4096) % 26);
    ASSERT_TRUE(PublishFile(path, bytes, PublishMode::CreateNew));
    // A fresh empty file is left to its writer; an old one is taken.
    if (size == 0) SetMTime(path, NowSeconds() - 120);
    ClaimedFile claim;
    ASSERT_TRUE(ClaimQueueFile(path, claim));
    std::string read = "left over";
    EXPECT_TRUE(ReadClaimedFile(claim, read, size)) << size;
    EXPECT_TRUE(read == bytes) << size << " bytes read as " << read.size();
    EXPECT_TRUE(ReadClaimedFile(claim, read, size + 1)) << size;
    EXPECT_TRUE(read == bytes) << size;
    if (size == 0) continue;
    read = "left over";
    EXPECT_FALSE(ReadClaimedFile(claim, read, size - 1)) << size;
    EXPECT_TRUE(read.empty()) << size << ": nothing of a refused file";
  }
}

// Another program that makes a file in place and writes it later: while the file is empty
// and young nobody claims it (its content would otherwise go to a deleted file); written, or
// empty for a minute, it is claimed.
TEST(QueueFileTest, AFileStillBeingWrittenIsNotClaimed) {
  StoreHome home;
  const struct {
    const char* name;
    const char* content;
    int ageSeconds;
    bool claimed;
  } cases[] = {
      {"empty, just made", "", 0, false},
      {"empty, 50 s old", "", 50, false},
      {"empty, 70 s old", "", 70, true},
      {"written, just made", "[SMS]\r\n", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = home.path() + "Q/" + std::to_string(c.ageSeconds) + (*c.content ? "w" : "e") + ".req";
    WriteFileText(path, c.content);
    if (c.ageSeconds > 0) SetMTime(path, NowSeconds() - c.ageSeconds);
    ClaimedFile claim;
    EXPECT_EQ(ClaimQueueFile(path, claim), c.claimed);
    EXPECT_TRUE(std::filesystem::exists(path));
  }
}

TEST(QueueFileTest, ClaimEndsWithItsScopeUnlessHandedOver) {
  StoreHome home;
  std::string path = home.path() + "Q/M2.req";
  ASSERT_TRUE(PublishFile(path, "[SMS]\r\nPhoneNumber=1\r\n", PublishMode::CreateNew));
  ClaimedFile other;
  {
    ClaimedFile scoped;
    ASSERT_TRUE(ClaimQueueFile(path, scoped));
    EXPECT_FALSE(ClaimQueueFile(path, other));
  }
  ASSERT_TRUE(ClaimQueueFile(path, other)) << "released where its scope ended";
  ClaimedFile holder;
  {
    ClaimedFile scoped = std::move(other);
    holder = std::move(scoped);
  }
  ClaimedFile third;
  EXPECT_FALSE(ClaimQueueFile(path, third)) << "the one it was handed to holds it";
  holder = ClaimedFile();
  EXPECT_TRUE(ClaimQueueFile(path, third));
  ASSERT_TRUE(DeleteClaimedFile(third));
  EXPECT_FALSE(third.valid()) << "a deleted file leaves nothing to release";
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
  EXPECT_EQ(ReadFileText(path), "two");
  ClaimedFile b;
  EXPECT_TRUE(ClaimQueueFile(path, b)) << "a failed delete still ends the claim";
}

// Threads of one process are told a file is held without locking it; every way a claim
// ends makes the file claimable again, and of many racing threads exactly one wins.
TEST(QueueFileTest, ThreadsOfOneProcessSeeEachOthersClaims) {
  StoreHome home;
  std::string path = home.path() + "Q/M3.req";
  ASSERT_TRUE(PublishFile(path, "[SMS]\r\nPhoneNumber=1\r\n", PublishMode::CreateNew));
  struct Case {
    const char* name;
    std::function<void(ClaimedFile&)> end;
  } cases[] = {
      {"released", [](ClaimedFile& c) { ReleaseClaim(c); }},
      {"assigned over", [](ClaimedFile& c) { c = ClaimedFile(); }},
      {"claimed again into the same record", [&](ClaimedFile& c) {
         EXPECT_TRUE(ClaimQueueFile(path, c)) << "the record's own claim ends first";
         ReleaseClaim(c);
       }},
      {"rewritten, then released", [](ClaimedFile& c) {
         ASSERT_TRUE(RewriteClaimedFile(c, "[SMS]\r\nPhoneNumber=2\r\n"));
         ClaimedFile other;
         EXPECT_FALSE(ClaimQueueFile(c.path, other));
         ReleaseClaim(c);
       }},
      {"moved, then destroyed", [](ClaimedFile& c) { ClaimedFile moved = std::move(c); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClaimedFile held;
    ASSERT_TRUE(ClaimQueueFile(path, held));
    std::atomic<int> won{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 8; ++i) {
      racers.emplace_back([&] {
        ClaimedFile mine;
        if (ClaimQueueFile(path, mine)) ++won;
      });
    }
    for (auto& t : racers) t.join();
    EXPECT_EQ(won.load(), 0);
    c.end(held);
    for (int i = 0; i < 8; ++i) racers[size_t(i)] = std::thread([&] {
      ClaimedFile mine;
      if (ClaimQueueFile(path, mine)) {
        ++won;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    for (auto& t : racers) t.join();
    EXPECT_GE(won.load(), 1) << "claimable again";
    ClaimedFile last;
    EXPECT_TRUE(ClaimQueueFile(path, last)) << "every racer's claim ended with it";
  }
}

// A listing followed after another thread of ours sent and deleted one of its files: the
// name is gone without a look. A name made again after the deletion, a file deleted before
// the listing, a file only rewritten or released, and a name not from a listing are not.
TEST(QueueFileTest, NamesDeletedHereSinceTheListingAreGone) {
  StoreHome home;
  const std::string content = "[SMS]\r\nPhoneNumber=1\r\n";
  auto claimAndDelete = [](const std::string& path) {
    ClaimedFile c;
    return ClaimQueueFile(path, c) && DeleteClaimedFile(c);
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> before;  // before the listing
    std::function<void(const std::string& path)> after;   // after it
    bool fromListing;
    bool gone;
  } cases[] = {
      {"deleted since", nullptr, [&](const std::string& p) { EXPECT_TRUE(claimAndDelete(p)); }, true, true},
      {"deleted since, the name made again", nullptr,
       [&](const std::string& p) {
         EXPECT_TRUE(claimAndDelete(p));
         EXPECT_TRUE(PublishFile(p, content, PublishMode::CreateNew));
       },
       true, true},
      {"deleted and made again before the listing", [&](const std::string& p) {
         EXPECT_TRUE(claimAndDelete(p));
         EXPECT_TRUE(PublishFile(p, content, PublishMode::CreateNew));
       },
       nullptr, true, false},
      {"rewritten since", nullptr,
       [&](const std::string& p) {
         ClaimedFile c;
         ASSERT_TRUE(ClaimQueueFile(p, c));
         EXPECT_TRUE(RewriteClaimedFile(c, content + "Data=x\r\n"));
       },
       true, false},
      {"released since", nullptr,
       [&](const std::string& p) {
         ClaimedFile c;
         ASSERT_TRUE(ClaimQueueFile(p, c));
         ReleaseClaim(c);
       },
       true, false},
      {"deleted, but not from a listing", nullptr, [&](const std::string& p) { EXPECT_TRUE(claimAndDelete(p)); },
       false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = home.path() + "Q/G" + std::to_string(++n) + ".req";
    ASSERT_TRUE(PublishFile(path, content, PublishMode::CreateNew));
    if (c.before) c.before(path);
    uint64_t listedAt = c.fromListing ? ClaimedDeleteCount() : 0;
    if (c.fromListing) {
      EXPECT_NE(listedAt, 0u);
    }
    if (c.after) c.after(path);
    EXPECT_EQ(DeletedHereSince(path, listedAt), c.gone);
    // A later listing holds what is there now.
    EXPECT_FALSE(DeletedHereSince(path, ClaimedDeleteCount()));
  }
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
  WriteFileText(from, "a");
  WriteFileText(home.path() + "Q/DELAYQ/B.req", "b");
  WriteFileText(home.path() + "Q/B.req", "old");
  ASSERT_TRUE(MoveQueueFile(from, to));
  EXPECT_EQ(ReadFileText(to), "a");
  EXPECT_FALSE(MoveQueueFile(home.path() + "Q/DELAYQ/B.req", home.path() + "Q/B.req"));
  EXPECT_EQ(ReadFileText(home.path() + "Q/B.req"), "old");
}

namespace {
ino_t InodeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
}  // namespace

// Deleted files come back as new ones: same inode, exact new content, no tail of the old.
TEST(QueueFileTest, SpareFilesAreReusedWholeAndBounded) {
  StoreHome home;
  std::string q = home.path() + "Q/", spare = home.path() + "PRIVATE/SPARE/";
  // A file left from an earlier run is taken over; a second link is not a spare.
  ASSERT_TRUE(PublishFile(spare + "old", "left over", PublishMode::CreateNew));
  ASSERT_EQ(EnableSpareFiles(spare, 2), 1u);
  ASSERT_TRUE(PublishFile(q + "A.req", "short", PublishMode::CreateNew));
  EXPECT_EQ(SpareFileCount(), 0u);
  EXPECT_EQ(ReadFileText(q + "A.req"), "short");

  ASSERT_TRUE(PublishFile(q + "B.req", "a much longer message text", PublishMode::CreateNew));
  ino_t b = InodeOf(q + "B.req");
  ClaimedFile claim;
  ASSERT_TRUE(ClaimQueueFile(q + "B.req", claim));
  ASSERT_TRUE(DeleteClaimedFile(claim));
  EXPECT_EQ(InodeOf(q + "B.req"), 0u);
  EXPECT_EQ(SpareFileCount(), 1u);
  ASSERT_TRUE(PublishFile(q + "C.req", "tiny", PublishMode::CreateNew, 1000000000));
  EXPECT_EQ(InodeOf(q + "C.req"), b) << "the deleted file came back";
  EXPECT_EQ(ReadFileText(q + "C.req"), "tiny");
  EXPECT_EQ(FileCreationTime(q + "C.req"), 1000000000);

  // Create-new still refuses a taken name, and the spare stays for the next one.
  ASSERT_TRUE(ClaimQueueFile(q + "C.req", claim));
  ASSERT_TRUE(DeleteClaimedFile(claim));
  EXPECT_FALSE(PublishFile(q + "A.req", "other", PublishMode::CreateNew));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFileText(q + "A.req"), "short");
  EXPECT_EQ(SpareFileCount(), 1u);

  // A file with a second name is deleted, not kept; beyond the bound files are deleted.
  ASSERT_EQ(link((q + "A.req").c_str(), (home.path() + "A.link").c_str()), 0);
  ASSERT_TRUE(ClaimQueueFile(q + "A.req", claim));
  ASSERT_TRUE(DeleteClaimedFile(claim));
  EXPECT_EQ(ReadFileText(home.path() + "A.link"), "short") << "the other name keeps its content";
  EXPECT_EQ(SpareFileCount(), 1u);
  for (const char* name : {"D.req", "E.req", "F.req"}) {
    ASSERT_TRUE(PublishFile(q + name, name, PublishMode::CreateNew));
  }
  for (const char* name : {"D.req", "E.req", "F.req"}) {
    ASSERT_TRUE(ClaimQueueFile(q + name, claim));
    ASSERT_TRUE(DeleteClaimedFile(claim));
    EXPECT_EQ(InodeOf(q + name), 0u);
  }
  EXPECT_EQ(SpareFileCount(), 2u);
  EXPECT_EQ(CountEntries(spare), 2u);
  DisableSpareFiles();
  ASSERT_TRUE(PublishFile(q + "G.req", "after", PublishMode::CreateNew));
  EXPECT_EQ(CountEntries(spare), 2u) << "off: spares are neither used nor deleted";
}

// Deleting with the last reference kept: the name goes at once either way; the descriptor
// is handed over only for a file removed for good, never for one kept as a spare (which must
// be claimable as soon as it is reused).
TEST(QueueFileTest, LastReferenceOfADeletedFileIsKeptOnlyWhenItIsGone) {
  StoreHome home;
  std::string q = home.path() + "Q/", spare = home.path() + "PRIVATE/SPARE/";
  struct Case {
    const char* name;
    size_t spares;  // 0: no spare files
    bool kept;      // the descriptor is handed over
  };
  const Case cases[] = {{"H.req", 0, true}, {"I.req", 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisableSpareFiles();
    if (c.spares != 0) {
      ASSERT_EQ(EnableSpareFiles(spare, c.spares), 0u);
    }
    ASSERT_TRUE(PublishFile(q + c.name, "to be sent", PublishMode::CreateNew));
    ino_t inode = InodeOf(q + c.name);
    ClaimedFile claim;
    ASSERT_TRUE(ClaimQueueFile(q + c.name, claim));
    UniqueFd last;
    ASSERT_TRUE(DeleteClaimedFile(claim, &last));
    EXPECT_EQ(InodeOf(q + c.name), 0u) << "the name is gone before the caller goes on";
    EXPECT_FALSE(claim.valid());
    EXPECT_EQ(last.valid(), c.kept);
    if (last.valid()) {
      struct stat st;
      ASSERT_EQ(fstat(last.get(), &st), 0);
      EXPECT_EQ(st.st_ino, inode);
      EXPECT_EQ(st.st_nlink, 0u) << "unlinked, only the descriptor holds it";
    } else {
      EXPECT_EQ(SpareFileCount(), 1u);
      // The spare is reused by the next file and that file can be claimed at once.
      ASSERT_TRUE(PublishFile(q + "J.req", "next", PublishMode::CreateNew));
      EXPECT_EQ(InodeOf(q + "J.req"), inode);
      ClaimedFile next;
      EXPECT_TRUE(ClaimQueueFile(q + "J.req", next));
    }
  }
  DisableSpareFiles();
}

// Threads publishing and deleting through the spares never share a file.
TEST(QueueFileTest, SpareFilesUnderConcurrentWritersAndSenders) {
  StoreHome home;
  std::string q = home.path() + "Q/";
  EnableSpareFiles(home.path() + "PRIVATE/SPARE/", 50);
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        std::string name = q + "T" + std::to_string(t) + "-" + std::to_string(i) + ".req";
        std::string content = "[SMS]\r\nData=" + std::string(size_t(i % 40), char('a' + t)) + "\r\n";
        if (!PublishFile(name, content, PublishMode::CreateNew)) ++bad;
        ClaimedFile claim;
        if (!ClaimQueueFile(name, claim)) {
          ++bad;
          continue;
        }
        std::string read;
        if (!ReadClaimedFile(claim, read, 1000) || read != content) ++bad;
        if (i % 3 != 0 && !DeleteClaimedFile(claim)) ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  DisableSpareFiles();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(CountEntries(q), 400u) << "every third file stays";
}
