#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "runtime/clock.h"
#include "runtime/waits.h"
#include "runtime/file_io.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "store/bulk_queue.h"
#include "store/store_service.h"
#include "store/tests/store_home.h"

namespace {
std::atomic<int> g_flushes{0};
void CountFlush() { ++g_flushes; }

unsigned CountReq(const std::string& root) {
  unsigned n = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) n += e.path().extension() == ".req";
  return n;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  for (int i = 0; i < ms / 10; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}
}  // namespace

TEST(StoreThreadsTest, ThreadsWorkAndEndOnShutdown) {
  SettingsOverride settings;
  StoreHome home;
  settings->UseQCache = true;
  std::string root = OutboundQueueRoot();
  WriteFileText(root + "DELAYQ/20000101/0000/GW1.req", "[SMS]\r\n");
  BulkJobWriter job;
  ASSERT_TRUE(BulkJobBegin(job, {"[SMS]\r\n"}));
  ASSERT_TRUE(BulkJobAddRecipients(job, {{BulkTargetName(), "+1", ""}, {BulkTargetName(), "+2", ""}}));
  BulkJobFinish(job);
  SetUserUsageFlusher(CountFlush);
  ASSERT_TRUE(StartServiceThread("ThreadFlushCounters", ThreadFlushCounters));
  ASSERT_TRUE(StartServiceThread("ThreadProcessQCache", ThreadProcessQCache));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(StartServiceThread("ThreadProcessBulkQ", ThreadProcessBulkQ));
  ASSERT_TRUE(StartServiceThread("ThreadProcessDelayQ", ThreadProcessDelayQ));
  EXPECT_TRUE(WaitFor([&] { return CountReq(root) == 3 && !FileExists(job.directory); }, 5000));
  EXPECT_TRUE(FileExists(root + "GW1.req"));
  EXPECT_TRUE(WaitFor(QCacheFirstScanComplete, 10000));
  EXPECT_TRUE(WaitFor([] { return g_flushes.load() > 0; }, 10000));
  AnnounceShutdown();
  EXPECT_TRUE(WaitFor([] { return ActiveThreadCount() == 0; }, 10000));
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  SetUserUsageFlusher(nullptr);
}

// The usage write-back runs 500 ms after a change, once more to close what it left open,
// and not at all while nothing changes.
TEST(StoreThreadsTest, UsageIsWrittenBackAfterAChangeOnly) {
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  g_flushes = 0;
  SetUserUsageFlusher(CountFlush);
  ASSERT_TRUE(StartServiceThread("ThreadFlushCounters", ThreadFlushCounters));
  EXPECT_TRUE(WaitFor([] { return g_flushes.load() == 2; }, 5000)) << "the rounds of the start";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    int before = g_flushes.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(g_flushes.load(), before) << "nothing changed, nothing written";
    uint64_t start = TickMs();
    for (int i = 0; i < 50; ++i) NoteUserUsageChanged();
    EXPECT_TRUE(WaitFor([&] { return g_flushes.load() >= before + 1; }, 5000));
    EXPECT_GE(TickMs() - start, 400u) << "changes are gathered for half a second";
    EXPECT_TRUE(WaitFor([&] { return g_flushes.load() >= before + 2; }, 5000));
    // The thread may take the change while the burst still runs: a later note of the burst
    // is then a change of its own, taken after the first write-back, and earns one more.
    bool settled = false;
    for (int i = 0; i < 6 && !settled; ++i) {
      int seen = g_flushes.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(1200));
      settled = g_flushes.load() == seen;
    }
    EXPECT_TRUE(settled) << "the write-back ends once the changes stop";
    EXPECT_LE(g_flushes.load(), before + 3);
  }
  AnnounceShutdown();
  EXPECT_TRUE(WaitFor([] { return ActiveThreadCount() == 0; }, 5000));
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  SetUserUsageFlusher(nullptr);
}

TEST(StoreThreadsTest, BulkExpansionWaitsForTheQueueToDrain) {
  SettingsOverride settings;
  StoreHome home;
  settings->MaxQDirEntries = 4;  // pace at 2 files per directory
  BulkJobWriter job;
  ASSERT_TRUE(BulkJobBegin(job, {"[SMS]\r\n"}));
  ASSERT_TRUE(BulkJobAddRecipients(job, {{BulkTargetName(), "+1", ""}, {BulkTargetName(), "+2", ""},
                                         {BulkTargetName(), "+3", ""}, {BulkTargetName(), "+4", ""},
                                         {BulkTargetName(), "+5", ""}}));
  BulkJobFinish(job);
  std::atomic<bool> returned{false};
  std::thread bulk([&] {
    ProcessBulkQueueOnce();
    returned = true;
  });
  std::string root = OutboundQueueRoot();
  ASSERT_TRUE(WaitFor([&] { return FileExists(root) && CountReq(root) == 4; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(returned.load()) << "the first list waits while its directory is full";
  EXPECT_EQ(CountReq(root), 4u) << "the second list is not expanded meanwhile";
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.path().extension() == ".req") std::filesystem::remove(e.path());
  }
  EXPECT_TRUE(WaitFor([&] { return returned.load(); }, 5000));
  bulk.join();
  EXPECT_EQ(CountReq(root), 1u);
}
