// The shared queue of the inbound workers: one walk serves every worker, each file goes to one
// worker, a file being worked on is not queued again, and an idle worker is handed a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "inbound/inbound_file_queue.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/queue_dirs.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_files.h"

namespace {

class InboundFileQueueTest : public SmscTestHome {
 protected:
  void TearDown() override {
    // Nothing of this test stays queued for the next.
    for (InboundFileKind kind : {InboundFileKind::Messages, InboundFileKind::Reports, InboundFileKind::Receipts}) {
      RequestInboundListing(kind);
      for (std::string p; !(p = TakeInboundFile(kind)).empty();) {
        unlink(p.c_str());
        ReleaseInboundFile(kind, p);
      }
    }
    SmscTestHome::TearDown();
    ReloadStoreDirectories();
  }
  void Put(const std::string& relative) { WriteFileText(InboundDir() + relative, "[SMS-IN]\r\nData=x\r\n"); }
  std::string Name(const std::string& path) { return path.substr(InboundDir().size()); }
};

TEST_F(InboundFileQueueTest, OneWalkServesEveryWorkerAndEachFileGoesToOne) {
  std::set<std::string> want[3];
  for (int i = 0; i < 60; ++i) want[0].insert("m" + std::to_string(i) + (i % 2 ? ".in" : ".IN"));
  for (int i = 0; i < 10; ++i) want[0].insert("sub/s" + std::to_string(i) + ".in");
  for (int i = 0; i < 15; ++i) want[1].insert("r" + std::to_string(i) + ".rec");
  for (int i = 0; i < 5; ++i) want[2].insert("t" + std::to_string(i) + ".RCT");
  for (const auto& names : want)
    for (const std::string& n : names) Put(n);
  Put("other.SMS");
  Put("in.txt");

  const InboundFileKind kinds[] = {InboundFileKind::Messages, InboundFileKind::Reports, InboundFileKind::Receipts};
  size_t walksBefore[3];
  for (int k = 0; k < 3; ++k) {
    walksBefore[k] = InboundListingCount(kinds[k]);
    RequestInboundListing(kinds[k]);
  }
  Mutex lock;
  std::map<std::string, int> seen[3];
  std::vector<std::thread> workers;
  // Four workers of messages, four of reports, two of receipts, as with four threads.
  for (int w = 0; w < 10; ++w) {
    int k = w < 4 ? 0 : w < 8 ? 1 : 2;
    workers.emplace_back([&, k] {
      for (std::string p; !(p = TakeInboundFile(kinds[k])).empty();) {
        {
          MutexLock guard(lock);
          ++seen[k][Name(p)];
        }
        unlink(p.c_str());
        ReleaseInboundFile(kinds[k], p);
      }
    });
  }
  for (std::thread& t : workers) t.join();
  for (int k = 0; k < 3; ++k) {
    std::set<std::string> got;
    for (const auto& [name, count] : seen[k]) {
      EXPECT_EQ(count, 1) << name;
      got.insert(name);
    }
    EXPECT_EQ(got, want[k]) << k;
  }
  // Messages and reports shared one walk (two asked), receipts had their own.
  EXPECT_EQ(InboundListingCount(kinds[0]) - walksBefore[0], 1u);
  EXPECT_EQ(InboundListingCount(kinds[2]) - walksBefore[2], 1u);
  EXPECT_TRUE(FileExists(InboundDir() + "other.SMS"));
}

TEST_F(InboundFileQueueTest, FilesInWorkAreNotQueuedTwice) {
  const InboundFileKind k = InboundFileKind::Messages;
  Put("a.in");
  Put("b.in");
  RequestInboundListing(k);
  std::string first = TakeInboundFile(k);
  ASSERT_FALSE(first.empty());
  struct Step {
    const char* what;
    bool release;   // the worker is done with the first file (it stays in place)
    size_t expect;  // files a new walk hands out
  } steps[] = {
      {"in work: only the other one", false, 1},
      {"both in work: nothing new", false, 0},
      {"left in place: queued again", true, 1},
  };
  std::string other;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.release) ReleaseInboundFile(k, first);
    RequestInboundListing(k);
    std::vector<std::string> got;
    // The other file stays taken (not released) through the first two steps.
    for (std::string p; got.size() < 3 && !(p = TakeInboundFile(k)).empty();) got.push_back(p);
    ASSERT_EQ(got.size(), s.expect);
    if (!s.release && s.expect == 1) {
      EXPECT_NE(got[0], first);
      other = got[0];
    }
    if (s.release) {
      EXPECT_EQ(got[0], first);
    }
  }
  ReleaseInboundFile(k, first);
  ReleaseInboundFile(k, other);
  // Nothing asked for: no walk, nothing handed out.
  EXPECT_EQ(TakeInboundFile(k), "");
}

TEST_F(InboundFileQueueTest, OneWatchesAndAnIdleWorkerIsHandedItsFile) {
  const InboundFileKind messages = InboundFileKind::Messages, reports = InboundFileKind::Reports;
  ASSERT_TRUE(BecomeInboundWatcher(messages));
  EXPECT_FALSE(BecomeInboundWatcher(reports));  // one watch for both
  // Watched, nothing queued: the wait runs out.
  EXPECT_FALSE(WaitForInboundFile(reports, 50));
  std::atomic<bool> handed{false};
  std::string got;
  std::thread idle([&] {
    if (WaitForInboundFile(reports, 60000)) got = TakeInboundFile(reports);
    handed = true;
  });
  Put("late.rec");
  // The watcher's walk (asked for by a message worker) hands the report to the idle worker.
  RequestInboundListing(messages);
  EXPECT_EQ(TakeInboundFile(messages), "");
  idle.join();
  EXPECT_TRUE(handed.load());
  EXPECT_EQ(Name(got), "late.rec");
  ReleaseInboundFile(reports, got);
  // The stop ends an idle wait at once, files or not.
  std::atomic<bool> ended{false}, returned{false};
  std::thread stopping([&] {
    ended = WaitForInboundFile(messages, 60000);
    returned = true;
  });
  // Told again until it returns: nothing says when the thread has begun its wait.
  EXPECT_TRUE(WaitUntil(60000, [&] {
    WakeIdleInboundWorkers();
    return returned.load();
  }));
  stopping.join();
  EXPECT_TRUE(ended.load());
  // The watch falls free: a waiting worker is told at once, and can take it.
  EndInboundWatch(messages);
  EXPECT_TRUE(WaitForInboundFile(reports, 60000));
  EXPECT_TRUE(BecomeInboundWatcher(reports));
  EndInboundWatch(reports);
}

}  // namespace
