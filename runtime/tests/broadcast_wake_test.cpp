#include "runtime/broadcast_wake.h"

#include <poll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "runtime/thread_registry.h"
#include "runtime/waits.h"

namespace {

bool Readable(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// A signal wakes every waiter of its channel, and none of another; it stays readable
// until the waiter looks again, however many signals came.
TEST(BroadcastWake, SignalsWakeEveryWaiterOfTheirChannelOnly) {
  BroadcastWake a1("alpha"), a2("alpha"), b("beta");
  struct Case {
    const char* channel;
    int signals;
    bool wakesAlpha, wakesBeta;
  } cases[] = {
      {"alpha", 1, true, false},
      {"alpha", 5, true, false},
      {"beta", 1, false, true},
      {"alph", 1, false, false},
      {"", 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.channel) + " x" + std::to_string(c.signals));
    a1.Rearm();
    a2.Rearm();
    b.Rearm();
    for (int i = 0; i < c.signals; ++i) SignalBroadcast(c.channel);
    EXPECT_EQ(Readable(a1.Fd()), c.wakesAlpha);
    EXPECT_EQ(Readable(a2.Fd()), c.wakesAlpha);
    EXPECT_EQ(Readable(b.Fd()), c.wakesBeta);
  }
  a1.Rearm();
  EXPECT_FALSE(Readable(a1.Fd()));
  // A waiter that is gone is no longer signalled (nor does the signal fail).
  { BroadcastWake gone("gamma"); }
  SignalBroadcast("gamma");
}

// Wait returns true for a signal from another thread, false at the announced stop.
TEST(BroadcastWake, WaitEndsAtTheSignalOrTheStop) {
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  BroadcastWake w("delta");
  std::thread signaller([] { SignalBroadcast("delta"); });
  EXPECT_TRUE(w.Wait(10000));
  signaller.join();
  w.Rearm();
  std::thread stopper([] { AnnounceShutdown(); });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(w.Wait(60000));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
}

}  // namespace
