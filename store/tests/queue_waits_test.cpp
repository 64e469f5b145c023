// The bulk-queue and queue-cache threads sleep while nothing is written, take a job or a
// message file as soon as it is written or dropped in, wake the queue's workers once the
// cache holds a new file, and end at once at the stop.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/file_io.h"
#include "runtime/folder_wake.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/bulk_queue.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"
#include "store/tests/store_home.h"
#include "tests/support/gateway_process.h"

namespace {

namespace fs = std::filesystem;

unsigned CountReq(const std::string& root) {
  unsigned n = 0;
  if (!fs::exists(root)) return 0;
  for (auto& e : fs::recursive_directory_iterator(root)) n += e.path().extension() == ".req";
  return n;
}

// The files of the root as the cache lists them.
bool CacheHolds(const std::string& name) {
  QueueFind find;
  std::string file;
  for (bool more = QueueFileFindFirst(find, ".", file); more; more = QueueFileFindNext(find, file)) {
    if (file == name) return true;
  }
  return false;
}

// A job as another program writes it: plain files, no lock held.
void DropJob(const std::string& name, const std::string& recipient) {
  std::string hidden = BulkQueueDir() + "." + name + "/";
  fs::create_directories(hidden);
  WriteFileText(hidden + "M1.REQ", "[SMS]\r\nData=dropped\r\n");
  WriteFileText(hidden + "R0000001.BLK", BulkTargetName() + "=" + recipient + "\r\n");
  fs::rename(hidden.substr(0, hidden.size() - 1), BulkQueueDir() + name);
}

class QueueWaitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    DisableFolderWatch(false);
    settings->UseQCache = true;
  }
  void TearDown() override {
    if (started) {
      uint64_t start = TickMs();
      AnnounceShutdown();
      // Every thread's wait ends at the announced stop.
      EXPECT_TRUE(WaitUntil(10000, [] { return ActiveThreadCount() == 0; }));
      EXPECT_LT(TickMs() - start, 3000u);
    }
    DisableFolderWatch(false);
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
  }
  void StartThreads() {
    ASSERT_TRUE(StartServiceThread("ThreadProcessQCache", ThreadProcessQCache));
    ASSERT_TRUE(StartServiceThread("ThreadProcessBulkQ", ThreadProcessBulkQ));
    started = true;
    ASSERT_TRUE(WaitUntil(10000, QCacheFirstScanComplete));
  }
  SettingsOverride settings;
  StoreHome home;
  bool started = false;
};

TEST_F(QueueWaitsTest, IdleThreadsWakeRarely) {
  StartThreads();
  // Both threads made their first pass and wait.
  ASSERT_TRUE(WaitUntil(10000, [] { return QCacheWaits.scans.load() > 0; }));
  SleepUnlessShutdown(200, TickMs());
  uint64_t scans = QCacheWaits.scans.load();
  uint64_t bulkWakes = BulkQueueWaits.written.load() + BulkQueueWaits.looks.load();
  SleepUnlessShutdown(5000, TickMs());
  // The old threads scanned the cache every 250 ms (20 times) and the bulk queue every
  // second (5 times); now each looks every 3 s.
  EXPECT_LE(QCacheWaits.scans.load() - scans, 3u);
  EXPECT_LE(BulkQueueWaits.written.load() + BulkQueueWaits.looks.load() - bulkWakes, 3u);
}

TEST_F(QueueWaitsTest, WrittenAndDroppedWorkIsTakenOnItsWrite) {
  StartThreads();
  std::string root = OutboundQueueRoot();
  struct Case {
    const char* name;
    std::function<void()> write;
    unsigned expectedReq;  // message files in the queue afterwards
  } cases[] = {
      {"a bulk job through the writer",
       [] {
         BulkJobWriter job;
         ASSERT_TRUE(BulkJobBegin(job, {"[SMS]\r\n"}));
         ASSERT_TRUE(BulkJobAddRecipients(job, {{BulkTargetName(), "+1", ""}, {BulkTargetName(), "+2", ""}}));
         BulkJobFinish(job);
       },
       2},
      {"a bulk job dropped in by another program", [] { DropJob("GWDROP0001", "+3"); }, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t written = BulkQueueWaits.written.load();
    c.write();
    EXPECT_TRUE(WaitUntil(10000, [&] { return CountReq(root) == c.expectedReq; })) << CountReq(root);
    // Woken by the write, not found by the periodic look.
    EXPECT_GT(BulkQueueWaits.written.load(), written);
  }
}

// Workers list the queue from the cache: a file the cache did not hold when they were woken
// is announced again by the cache once it does, also when only the cache's own look finds it.
TEST_F(QueueWaitsTest, CacheWakesTheWorkersOnceItHoldsANewFile) {
  StartThreads();
  std::string root = OutboundQueueRoot();
  struct Case {
    const char* name;
    bool inotify;
    std::string file;
  } cases[] = {
      {"dropped in, seen through inotify", true, "GW00000A.REQ"},
      {"dropped in without inotify, seen by the cache's look", false, "GW00000B.REQ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisableFolderWatch(!c.inotify);
    // The cache's own wake-ups for the previous case are over.
    SleepUnlessShutdown(500, TickMs());
    uint64_t scans = QCacheWaits.scans.load();
    FolderWake worker({root});
    worker.Rearm();
    WriteFileText(root + c.file, "[SMS]\r\nPhoneNumber=+1\r\n");
    bool cachedAtWake = false;
    // The file's own events (create, close) wake it too; the cache's wake-up follows.
    for (int i = 0; i < 10 && !cachedAtWake; ++i) {
      // Each wake-up is a pass of the worker over the cache.
      ASSERT_TRUE(worker.Wait(10000));
      worker.Rearm();
      cachedAtWake = CacheHolds(c.file);
    }
    EXPECT_TRUE(cachedAtWake);
    EXPECT_GT(QCacheWaits.scans.load(), scans);
  }
}

// A job larger than the queue folder may hold is expanded as the workers take files out: the
// bulk thread wakes for their removals, not on a clock, and goes on when inotify is missing.
TEST_F(QueueWaitsTest, ExpansionPacedAgainstAFullFolderGoesOnAsFilesAreTaken) {
  settings->MaxQDirEntries = 4;  // lists of 4; a folder of 2 files or more is full
  ASSERT_TRUE(StartServiceThread("ThreadProcessBulkQ", ThreadProcessBulkQ));
  started = true;
  std::string root = OutboundQueueRoot();
  struct Case {
    const char* name;
    bool inotify;
  } cases[] = {
      {"removals seen through inotify", true},
      {"inotify unavailable: counted again on a clock", false},
  };
  int job = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisableFolderWatch(!c.inotify);
    uint64_t waits = BulkQueueWaits.paceWaits.load(), removals = BulkQueueWaits.paceRemovals.load();
    std::vector<BulkRecipient> recipients;
    for (int i = 0; i < 6; ++i) recipients.push_back({BulkTargetName(), "+" + std::to_string(++job), ""});
    BulkJobWriter writer;
    ASSERT_TRUE(BulkJobBegin(writer, {"[SMS]\r\n"}));
    ASSERT_TRUE(BulkJobAddRecipients(writer, recipients));
    BulkJobFinish(writer);
    // The workers' part: once the thread waits on a full folder, take out what is there.
    unsigned taken = 0;
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(WaitUntil(20000, [&] { return BulkQueueWaits.paceWaits.load() > waits; })) << "round " << round;
      waits = BulkQueueWaits.paceWaits.load();
      for (auto& e : fs::recursive_directory_iterator(root)) {
        if (e.path().extension() == ".req" && fs::remove(e.path())) ++taken;
      }
    }
    // Lists of 4 and 2: every file was written, and the folder waits never ended the thread.
    EXPECT_TRUE(WaitUntil(20000, [&] { return taken + CountReq(root) == 6; })) << taken + CountReq(root);
    // The job is removed once its last wait ended: the next case counts only its own.
    EXPECT_TRUE(WaitUntil(20000, [] { return fs::is_empty(BulkQueueDir()); }));
    if (c.inotify) {
      EXPECT_GT(BulkQueueWaits.paceRemovals.load(), removals);
    } else {
      EXPECT_EQ(BulkQueueWaits.paceRemovals.load(), removals);
    }
    for (auto& e : fs::recursive_directory_iterator(root)) {
      if (e.path().extension() == ".req") fs::remove(e.path());
    }
  }
}

}  // namespace
