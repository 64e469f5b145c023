#include "store/durable_writes.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/queue_file.h"
#include "store/tests/store_home.h"

namespace {
size_t OpenDescriptors() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}
}  // namespace

// What a scope flushes: only its own files, only when on and outermost, with either way of
// flushing; what it does not wait for is let go, descriptors included. The steps that wait
// for the files (WhenDurable) run once they are settled: at once when nothing collects,
// after the outermost scope's flush, or as not flushed when that scope is never awaited.
TEST(DurableWritesTest, FlushesWhatTheOutermostScopePublished) {
  const struct {
    const char* name;
    bool on, nested, await;
    FlushMethod method;
    size_t files;     // published inside
    size_t flushed;   // files counted as flushed
    size_t flushes;
    bool stepsAtOnce;  // each step ran as its file was published
    bool stepsSeeFlushed;
  } cases[] = {
      {"off", false, false, true, FlushMethod::SyncFs, 3, 0, 0, true, true},
      {"on, syncfs", true, false, true, FlushMethod::SyncFs, 3, 3, 1, false, true},
      {"on, per file", true, false, true, FlushMethod::PerFile, 3, 3, 1, false, true},
      {"on, nothing published", true, false, true, FlushMethod::SyncFs, 0, 0, 0, false, true},
      {"inner scope waits for nothing", true, true, true, FlushMethod::SyncFs, 2, 2, 1, false, true},
      {"on, never awaited", true, false, false, FlushMethod::PerFile, 4, 0, 0, false, false},
      // Never more than 256 descriptors held: flushed on the way, the rest at the end.
      {"on, 600 files", true, false, true, FlushMethod::SyncFs, 600, 600, 3, false, true},
  };
  StoreHome home;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetFlushMethod(c.method);
    size_t fdsBefore = OpenDescriptors();
    FlushCounts before = DurableFlushCounts();
    std::vector<bool> settled;
    auto step = [&settled](bool flushed) { settled.push_back(flushed); };
    {
      DurableWrites outer(c.on);
      EXPECT_EQ(outer.collecting(), c.on);
      for (size_t i = 0; i < c.files; ++i) {
        std::string path = home.path() + "Q/" + c.name + "/" + std::to_string(i) + ".req";
        if (c.nested) {
          DurableWrites inner(true);
          EXPECT_FALSE(inner.collecting());
          ASSERT_TRUE(PublishFile(path, "x", PublishMode::CreateNew));
          WhenDurable(step);
          EXPECT_TRUE(inner.Await());  // the outer scope answers for it
        } else {
          ASSERT_TRUE(PublishFile(path, "x", PublishMode::CreateNew));
          WhenDurable(step);
        }
      }
      EXPECT_EQ(settled.size(), c.stepsAtOnce ? c.files : 0u);
      if (c.on && c.await) {
        size_t held = c.files == 0 ? 0 : (c.files - 1) % 256 + 1;  // those not yet flushed
        EXPECT_EQ(OpenDescriptors(), fdsBefore + held);
      }
      if (c.await) {
        EXPECT_TRUE(outer.Await());
      }
    }
    FlushCounts after = DurableFlushCounts();
    EXPECT_EQ(after.files - before.files, c.flushed);
    EXPECT_EQ(after.flushes - before.flushes, c.flushes);
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
    EXPECT_EQ(settled, std::vector<bool>(c.files, c.stepsSeeFlushed));
  }
  SetFlushMethod(FlushMethod::SyncFs);
}

// Threads waiting at the same time share flushes, and every one of them is answered.
TEST(DurableWritesTest, ConcurrentWaitersShareFlushes) {
  StoreHome home;
  const int kThreads = 16, kEach = 25;
  FlushCounts before = DurableFlushCounts();
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        DurableWrites scope(true);
        std::string path = home.path() + "Q/" + std::to_string(t) + "-" + std::to_string(i) + ".req";
        if (!PublishFile(path, "x", PublishMode::CreateNew) || !scope.Await()) failed.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  FlushCounts after = DurableFlushCounts();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(after.files - before.files, static_cast<size_t>(kThreads * kEach));
  EXPECT_LT(after.flushes - before.flushes, static_cast<size_t>(kThreads * kEach));  // some were shared
  EXPECT_GE(after.flushes - before.flushes, static_cast<size_t>(kEach));
}

// A flush handed off: the thread goes on at once; the event is signalled when the flush is
// done, and FinishFlush then runs the steps waiting for its files. Groups handed off one
// after another each end, in any order of finishing, with their own steps.
TEST(DurableWritesTest, HandedOffFlushesSignalAndSettle) {
  StoreHome home;
  const struct {
    const char* name;
    bool on;
    std::vector<size_t> groups;  // files published before each hand-off
    bool doneAtOnce;             // every handle is done when handed back
    size_t flushed;
  } cases[] = {
      {"off", false, {2}, true, 0},
      {"nothing published", true, {0}, true, 0},
      {"one group", true, {3}, false, 3},
      {"three groups, one empty", true, {2, 0, 5}, false, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UniqueFd event(eventfd(0, EFD_CLOEXEC));
    ASSERT_TRUE(event.valid());
    FlushCounts before = DurableFlushCounts();
    size_t fdsBefore = OpenDescriptors();
    std::vector<FlushHandle> handles;
    std::vector<std::vector<bool>> settled(c.groups.size());
    {
      DurableWrites scope(c.on);
      for (size_t g = 0; g < c.groups.size(); ++g) {
        for (size_t i = 0; i < c.groups[g]; ++i) {
          std::string path = home.path() + "Q/" + c.name + "/" + std::to_string(g) + "-" + std::to_string(i) + ".req";
          ASSERT_TRUE(PublishFile(path, "x", PublishMode::CreateNew));
          WhenDurable([&settled, g](bool flushed) { settled[g].push_back(flushed); });
        }
        handles.push_back(scope.HandOff(event.get()));
        if (c.doneAtOnce) {
          EXPECT_TRUE(FlushDone(handles.back()));
        }
      }
    }
    bool expectSignal = false;
    for (size_t g = 0; g < handles.size(); ++g) {
      if (!FlushDone(handles[g])) expectSignal = true;
      EXPECT_TRUE(FinishFlush(handles[g]));
      EXPECT_TRUE(FlushDone(handles[g]));
      // Off, a step runs as its file is published; on, once its group's flush is finished.
      EXPECT_EQ(settled[g], std::vector<bool>(c.groups[g], true));
    }
    if (expectSignal) {
      pollfd p{event.get(), POLLIN, 0};
      EXPECT_EQ(poll(&p, 1, 5000), 1) << "the flusher never signalled";
    }
    FlushCounts after = DurableFlushCounts();
    EXPECT_EQ(after.files - before.files, c.flushed);
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
  }
}
