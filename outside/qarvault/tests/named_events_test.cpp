#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "outside/qarvault/qarvault.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(NamedEventsTest, CreateSharesOpenFindsAndCloseCounts) {
  EXPECT_EQ(OpenEventForInterface("SmppSubmitAsync", "link1"), nullptr);
  QarEvent* a = CreateEventForInterface("SmppSubmitAsync", "link1");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(CreateEventForInterface("SMPPSUBMITASYNC", "LINK1"), a);  // without case
  EXPECT_EQ(OpenEventForInterface("smppsubmitasync", "Link1"), a);
  EXPECT_NE(CreateEventForInterface("SmppReceiveAsync", "link1"), a);
  EXPECT_EQ(OpenEventForInterface("SmppSubmitAsync", "link2"), nullptr);
  CloseEventForInterface(a);
  CloseEventForInterface(a);
  EXPECT_EQ(OpenEventForInterface("SmppSubmitAsync", "link1"), a);  // one reference left
  CloseEventForInterface(a);
  CloseEventForInterface(a);
  EXPECT_EQ(OpenEventForInterface("SmppSubmitAsync", "link1"), nullptr);
  CloseEventForInterface(OpenEventForInterface("SmppReceiveAsync", "link1"));
  CloseEventForInterface(OpenEventForInterface("SmppReceiveAsync", "link1"));
  EXPECT_EQ(SetEventForInterface(nullptr), 0);
  EXPECT_EQ(WaitEventForInterface(nullptr, 0), 0);
}

TEST(NamedEventsTest, ResetsAutomaticallyAndTimesOut) {
  QarEvent* ev = CreateEventForInterface("Test", "auto");
  EXPECT_EQ(WaitEventForInterface(ev, 0), 0);
  EXPECT_EQ(SetEventForInterface(ev), 1);
  EXPECT_EQ(SetEventForInterface(ev), 1);  // setting twice still releases one wait
  EXPECT_EQ(WaitEventForInterface(ev, 0), 1);
  auto start = Clock::now();
  EXPECT_EQ(WaitEventForInterface(ev, 80), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
  CloseEventForInterface(ev);
}

TEST(NamedEventsTest, WakesAWaiterInAnotherThread) {
  QarEvent* ev = CreateEventForInterface("Test", "threads");
  std::atomic<int> woke{0};
  std::thread waiter([&] {
    QarEvent* mine = OpenEventForInterface("TEST", "THREADS");
    if (WaitEventForInterface(mine, 0xFFFFFFFFu) == 1) ++woke;
    CloseEventForInterface(mine);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  SetEventForInterface(ev);
  waiter.join();
  EXPECT_EQ(woke.load(), 1);

  // One set releases exactly one of two waiters.
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] { released += WaitEventForInterface(ev, 400); });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SetEventForInterface(ev);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released.load(), 1);
  CloseEventForInterface(ev);
}

}  // namespace
