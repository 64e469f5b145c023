// The inbound listener over a stand-in protocol library: a connected centre that says
// nothing costs no library calls beyond a look a second, its frames are served when they
// arrive, and the stop ends the listener and its connection threads at once.
#include "smsc/ucpcimd/inbound_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "runtime/clock.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"

namespace {

std::atomic<int> g_yields{0};
std::atomic<int> g_linkChecks{0};
std::atomic<int> g_bytesRead{0};

// Reads what has arrived, as the library does; a closed peer is a lost link.
int StandInYield(int sock, const char*, int) {
  ++g_yields;
  char buffer[256];
  ssize_t n = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0) return 1;
  if (n > 0) g_bytesRead += int(n);
  return 0;
}

bool StandInLinkUp(int, const char*) {
  ++g_linkChecks;
  return true;
}

LinkCalls StandInCalls() {
  LinkCalls c = UcpCalls();
  c.yield = StandInYield;
  c.linkUp = StandInLinkUp;
  c.endSession = [](int) {};
  return c;
}

UniqueFd ConnectTo(uint16_t port) {
  for (int i = 0; i < 100; ++i) {
    UniqueFd s(ConnectLoopback(port));
    if (s) return s;
    SleepUnlessShutdown(50, TickMs());
  }
  return UniqueFd();
}

class InboundListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    g_yields = 0;
    g_linkChecks = 0;
    g_bytesRead = 0;
  }
  void TearDown() override {
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
  }
  LinkCalls calls = StandInCalls();
};

TEST_F(InboundListenerTest, IdleCentreCostsOneLookASecondAndFramesAreServedOnArrival) {
  uint16_t port = FreeTcpPort();
  InboundListener listener(calls, "UCP centre", "127.0.0.1", port);
  UniqueFd centre = ConnectTo(port);
  ASSERT_TRUE(centre);
  ASSERT_TRUE(WaitUntil(10000, [] { return g_linkChecks.load() > 0; }));
  int yieldsBefore = g_yields.load(), checksBefore = g_linkChecks.load();
  SleepUnlessShutdown(5000, TickMs());
  // The old loop called the library's yield every 500 ms and checked the link as often.
  EXPECT_EQ(g_yields.load() - yieldsBefore, 0);
  EXPECT_LT(g_linkChecks.load() - checksBefore + g_yields.load() - yieldsBefore, 20);

  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {{"one frame", "\x02" "01/00045/O/52/X\x03"}, {"a second burst", std::string(100, 'x')}};
  int expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expected += int(c.bytes.size());
    ASSERT_EQ(send(centre.get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), ssize_t(c.bytes.size()));
    EXPECT_TRUE(WaitUntil(5000, [&] { return g_bytesRead.load() == expected; })) << g_bytesRead.load();
  }
}

TEST_F(InboundListenerTest, StopEndsTheListenerAndItsConnectionsAtOnce) {
  struct Case {
    const char* name;
    bool connected;  // a centre holds a connection open
    bool announced;  // the service's stop (else only the worker's: the listener goes)
  } cases[] = {
      {"listening, service stop", false, true},
      {"connected, service stop", true, true},
      {"connected, worker restart", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    uint16_t port = FreeTcpPort();
    auto listener = std::make_unique<InboundListener>(calls, "UCP centre", "127.0.0.1", port);
    UniqueFd centre = ConnectTo(port);
    ASSERT_TRUE(centre);
    if (!c.connected) centre.reset();
    if (c.connected) {
      ASSERT_TRUE(WaitUntil(10000, [] { return g_linkChecks.load() > 0; }));
    }
    SleepUnlessShutdown(300, TickMs());
    auto start = std::chrono::steady_clock::now();
    if (c.announced) AnnounceShutdown();
    listener.reset();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    // The bound of a thread's stop is a second; the drain of a closing connection adds
    // its own short wait only when the centre keeps sending.
    EXPECT_LT(took.count(), 3000);
    if (c.connected) {
      // The connection was closed from our side.
      char byte;
      EXPECT_EQ(recv(centre.get(), &byte, 1, 0), 0);
    }
    TearDown();
  }
}

}  // namespace
