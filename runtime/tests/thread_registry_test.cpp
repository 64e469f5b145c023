#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "tests/support/temp_dir.h"

TEST(ThreadRegistryTest, NumbersAreUniqueUnderConcurrency) {
  ClearThreadTable();
  constexpr int kThreads = 64;
  std::vector<uint32_t> numbers(kThreads);
  std::atomic<int> ready{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      numbers[i] = AssignThreadNumber("worker " + std::to_string(i));
      EXPECT_EQ(CurrentThreadNumber(), numbers[i]);
      EXPECT_EQ(ThreadDescription(numbers[i]), "worker " + std::to_string(i));
      ready.fetch_add(1);
      while (!release.load()) std::this_thread::yield();
      EXPECT_EQ(ReleaseThreadNumber(), numbers[i]);
      EXPECT_EQ(CurrentThreadNumber(), 0u);
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  std::set<uint32_t> unique(numbers.begin(), numbers.end());
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads));
  EXPECT_EQ(unique.count(0), 0u);
  release = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(ReleaseThreadNumber(), 0u);  // this thread never had one
}

TEST(ThreadRegistryTest, DescriptionIsCutTo99Characters) {
  std::thread t([] {
    uint32_t n = AssignThreadNumber(std::string(150, 'd'));
    EXPECT_EQ(ThreadDescription(n), std::string(99, 'd'));
    char buf[200];
    CurrentThreadDescription(buf, sizeof buf);
    EXPECT_EQ(std::string(buf), std::string(99, 'd'));
    ReleaseThreadNumber();
  });
  t.join();
}

namespace {
struct FullTableShared {
  std::atomic<int> assigned{0};
  std::atomic<int> zeroes{0};
  int releasePipe[2];  // holders block reading it until the write end closes
};

void* HoldSlot(void* arg) {
  auto* shared = static_cast<FullTableShared*>(arg);
  if (AssignThreadNumber("holder") == 0) shared->zeroes.fetch_add(1);
  shared->assigned.fetch_add(1);
  char c;
  while (read(shared->releasePipe[0], &c, 1) < 0) {
  }
  ReleaseThreadNumber();
  return nullptr;
}
}  // namespace

TEST(ThreadRegistryTest, The4097thThreadGetsNumberZero) {
  ClearThreadTable();
  FullTableShared shared;
  ASSERT_EQ(pipe(shared.releasePipe), 0);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  std::vector<pthread_t> threads(kThreadSlots + 1);
  for (auto& t : threads) ASSERT_EQ(pthread_create(&t, &attr, HoldSlot, &shared), 0);
  while (shared.assigned.load() < static_cast<int>(threads.size())) usleep(1000);
  EXPECT_EQ(shared.zeroes.load(), 1);
  close(shared.releasePipe[1]);
  for (auto& t : threads) pthread_join(t, nullptr);
  close(shared.releasePipe[0]);
  pthread_attr_destroy(&attr);
}

TEST(ThreadFrameTest, ShutdownWaitsForEveryFramedThread) {
  ShutdownRequested.store(0);
  std::atomic<int> finished{0};
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(StartServiceThread("ThreadTest", [&] {
      while (ShutdownRequested.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      finished.fetch_add(1);
    }));
  }
  EXPECT_EQ(ActiveThreadCount(), 10);
  ShutdownRequested.store(1);
  WaitForServiceThreads();
  EXPECT_EQ(finished.load(), 10);
  EXPECT_EQ(ActiveThreadCount(), 0);
  ThreadFinished();  // never below zero
  EXPECT_EQ(ActiveThreadCount(), 0);
  ShutdownRequested.store(0);
}

// top -H and ps show what each thread is: the label without "Thread", cut to the kernel's 15.
TEST(ThreadFrameTest, ServiceThreadsCarryTheirLabelAsName) {
  struct Case {
    const char* label;
    const char* shown;
  } cases[] = {
      {"ThreadProcessModem", "ProcessModem"},
      {"ThreadListenForConnections", "ListenForConnec"},
      {"Thread", "Thread"},  // nothing left after the prefix: kept whole
      {"ProcessMMSRetrieval", "ProcessMMSRetri"},
  };
  for (const Case& c : cases) {
    std::promise<std::string> seen;
    std::future<std::string> name = seen.get_future();
    ASSERT_TRUE(StartServiceThread(c.label, [&seen] {
      char buffer[32] = {0};
      pthread_getname_np(pthread_self(), buffer, sizeof buffer);
      seen.set_value(buffer);
    }));
    EXPECT_EQ(name.get(), c.shown) << c.label;
  }
  WaitForServiceThreads();
}

// A thread that misses the stop holds the shutdown; the wait names it while it waits and
// ends as soon as it is gone.
TEST(ThreadFrameTest, ShutdownWaitNamesTheThreadsThatHoldIt) {
  TempDir dir;
  DebugSettings.Debug = true;
  DebugSettings.CopyToStderr = false;
  SetDebugLogDirectory(dir.path());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(StartServiceThread("ThreadDeafToStops", [released] { released.wait(); }));
  ShutdownRequested.store(1);
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    WaitForServiceThreads(50);
    returned.store(true);
  });
  std::string log;
  for (int i = 0; i < 200 && log.find("ThreadDeafToStops") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log.clear();
    ReadWholeFile(dir.path() + "SMSDEBUG.LOG", log);
  }
  EXPECT_NE(log.find("Shutdown:  still waiting for 1 thread(s): ThreadDeafToStops"), std::string::npos) << log;
  EXPECT_FALSE(returned.load());
  release.set_value();
  waiter.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(ActiveThreadCount(), 0);
  ShutdownRequested.store(0);
  CloseDebugLog();
  DebugSettings.Debug = false;
  DebugSettings.CopyToStderr = true;
}
