#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "config/settings.h"
#include "config/settings_override.h"
#include "runtime/clock.h"
#include "runtime/file_io.h"
#include "store/bulk_queue.h"
#include "store/counters.h"
#include "store/delay_queue.h"
#include "store/queue_dirs.h"
#include "store/tests/store_home.h"

namespace {
// Relative path (from the outbound root) -> content, of every "*.req" file.
std::map<std::string, std::string> QueueFiles() {
  std::map<std::string, std::string> out;
  std::string root = OutboundQueueRoot();
  if (!FileExists(root)) return out;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.is_regular_file() && e.path().extension() == ".req") {
      out[e.path().string().substr(root.size())] = ReadFileText(e.path().string());
    }
  }
  return out;
}

std::string NameOf(const std::string& relative) { return relative.substr(relative.rfind('/') + 1); }
}  // namespace

TEST(BulkQueueTest, TwoSegmentJobExpandsOneFilePerRecipientAndSegment) {
  SettingsOverride settings;
  StoreHome home;
  settings->MessageIDPrefix = "GW";
  CounterResetQueueSizes();
  BulkJobWriter job;
  ASSERT_TRUE(BulkJobBegin(job, {"[SMS]\r\nData=part one\r\n", "[SMS]\r\nData=part two\r\n"}));
  std::string t1 = BulkSegmentTargetName("+111", 0x2A, 2);
  std::string t2 = BulkSegmentTargetName("+222", 0x2B, 2);
  EXPECT_EQ(t1, "SAR-GW+111-2a-2-@@CTR@@.req");
  ASSERT_TRUE(BulkJobAddRecipients(job, {{t1, "+111", "Fast"}, {t2, "+222", ""}}));
  EXPECT_FALSE(BulkJobAddRecipients(job, {{"../evil-@@CTR@@.req", "+333", ""}}));
  EXPECT_FALSE(BulkJobAddRecipients(job, {{"x.req", "+3\r\nSMSCRoute=evil", ""}}));
  ProcessBulkQueueOnce();
  auto files = QueueFiles();
  ASSERT_EQ(files.size(), 4u);
  std::map<std::string, std::string> byName;
  for (auto& [rel, content] : files) {
    EXPECT_EQ(rel.substr(0, 4), "####") << "each list lands in its own subdirectory";
    byName[NameOf(rel)] = content;
  }
  EXPECT_EQ(byName["SAR-GW+111-2a-2-1.req"], "[SMS]\r\nData=part one\r\nPhoneNumber=+111\r\nSMSCRoute=Fast\r\n");
  EXPECT_EQ(byName["SAR-GW+111-2a-2-2.req"], "[SMS]\r\nData=part two\r\nPhoneNumber=+111\r\nSMSCRoute=Fast\r\n");
  EXPECT_EQ(byName["SAR-GW+222-2b-2-1.req"], "[SMS]\r\nData=part one\r\nPhoneNumber=+222\r\n");
  EXPECT_EQ(byName["SAR-GW+222-2b-2-2.req"], "[SMS]\r\nData=part two\r\nPhoneNumber=+222\r\n");
  EXPECT_EQ(CounterValue(kSmsQSize), 4u);
  // Still being built: the job stays although its lists are consumed.
  EXPECT_TRUE(FileExists(job.directory));
  ProcessBulkQueueOnce();
  EXPECT_TRUE(FileExists(job.directory));
  BulkJobFinish(job);
  ProcessBulkQueueOnce();
  EXPECT_FALSE(FileExists(job.directory));
}

TEST(BulkQueueTest, DelayFlagLockAndListsWithoutTemplates) {
  SettingsOverride settings;
  StoreHome home;
  settings->MaxQDirEntries = 10000;
  SetClockOverride(LocalAt(2026, 12, 7, 20, 14, 59));
  BulkJobWriter job;
  ASSERT_TRUE(BulkJobBegin(job, {"[SMS]\r\nData=x\r\n"}, LocalAt(2026, 12, 7, 20, 15, 30)));
  EXPECT_TRUE(FileExists(job.directory + "QDelay-202612072015.FLG"));
  std::string target = BulkTargetName();
  ASSERT_TRUE(BulkJobAddRecipients(job, {{target, "+1", ""}}));
  BulkJobFinish(job);
  ProcessBulkQueueOnce();
  EXPECT_TRUE(QueueFiles().empty()) << "left alone at 20:14";
  SetClockOverride(LocalAt(2026, 12, 7, 20, 15, 0));
  HeldLock other;
  ASSERT_TRUE(AcquireLockFile(job.directory + "LOCK.LCK", other));
  ProcessBulkQueueOnce();
  EXPECT_TRUE(QueueFiles().empty()) << "another bulk thread holds the job";
  ReleaseLockFile(other, false);
  ProcessBulkQueueOnce();
  auto files = QueueFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(NameOf(files.begin()->first), target);
  EXPECT_FALSE(FileExists(job.directory));

  // A job directory whose templates are gone counts as finished.
  std::string orphan = BulkQueueDir() + "GWORPHAN/";
  WriteFileText(orphan + "R0000001.BLK", "A.req=+1\r\n");
  ProcessBulkQueueOnce();
  EXPECT_FALSE(FileExists(orphan));
  EXPECT_EQ(QueueFiles().size(), 1u);
}

TEST(BulkQueueTest, ListsAreSplitAtMaxQDirEntries) {
  SettingsOverride settings;
  StoreHome home;
  settings->MaxQDirEntries = 3;
  BulkJobWriter job;
  ASSERT_TRUE(BulkJobBegin(job, {"[SMS]\r\n"}));
  std::vector<BulkRecipient> recipients;
  for (int i = 0; i < 7; ++i) recipients.push_back({BulkTargetName(), "+" + std::to_string(i), ""});
  ASSERT_TRUE(BulkJobAddRecipients(job, recipients));
  EXPECT_TRUE(FileExists(job.directory + "R0000003.BLK"));
  EXPECT_FALSE(FileExists(job.directory + "R0000004.BLK"));
  BulkJobFinish(job);
  // Expanded under a larger limit, so that the pacing (half of it per directory) never waits.
  settings->MaxQDirEntries = 100;
  ProcessBulkQueueOnce();
  EXPECT_EQ(QueueFiles().size(), 7u);
  std::set<std::string> dirs;
  for (auto& [rel, c] : QueueFiles()) dirs.insert(rel.substr(0, rel.find('/')));
  EXPECT_EQ(dirs.size(), 3u);
}

TEST(DelayQueueTest, DueFilesMoveToTheSamePlaceInTheLiveQueue) {
  StoreHome home;
  CounterResetQueueSizes();
  std::string root = OutboundQueueRoot();
  WriteFileText(root + "DELAYQ/20261207/0930/RT_-_Fast_-_/GW1.req", "a");
  WriteFileText(root + "DELAYQ/20261207/0930/GW2.req", "b");
  WriteFileText(root + "DELAYQ/20261207/0931/GW3.req", "c");
  WriteFileText(root + "DELAYQ/20261206/2359/GW4.req", "d");
  WriteFileText(root + "DELAYQ/20261208/0000/GW5.req", "e");
  WriteFileText(root + "DELAYQ/2026120/0000/GW6.req", "f");
  WriteFileText(root + "GW2.req", "existing");
  SetClockOverride(LocalAt(2026, 12, 7, 9, 29, 59));
  EXPECT_EQ(ProcessDelayQueueOnce(), 1u);  // yesterday's file only
  EXPECT_EQ(ReadFileText(root + "GW4.req"), "d");
  EXPECT_FALSE(FileExists(root + "DELAYQ/20261206"));
  SetClockOverride(LocalAt(2026, 12, 7, 9, 30, 0));
  EXPECT_EQ(ProcessDelayQueueOnce(), 1u);
  EXPECT_EQ(ReadFileText(root + "RT_-_Fast_-_/GW1.req"), "a");
  EXPECT_EQ(ReadFileText(root + "GW2.req"), "existing") << "a move replaces nothing";
  EXPECT_TRUE(FileExists(root + "DELAYQ/20261207/0930/GW2.req"));
  EXPECT_FALSE(FileExists(root + "GW3.req"));
  EXPECT_FALSE(FileExists(root + "GW5.req"));
  EXPECT_EQ(CounterValue(kSmsQSize), 2u);
}
