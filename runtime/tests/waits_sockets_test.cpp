#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/socket_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"

TEST(WaitsTest, SleepEndsOnTimeOrOnTheStopFlag) {
  ShutdownRequested.store(0);
  uint64_t start = TickMs();
  EXPECT_EQ(SleepUnlessShutdown(0, start) - start < 5, true);
  uint64_t end = SleepUnlessShutdown(120, start);
  EXPECT_GE(end - start, 120u);
  EXPECT_LT(end - start, 1000u);

  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    AnnounceShutdown();
  });
  start = TickMs();
  end = SleepUnlessShutdown(10000, start);
  stopper.join();
  EXPECT_LT(end - start, 2000u);
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();

  uint64_t last = TickMs();
  EXPECT_FALSE(IntervalElapsed(10000, last));
  EXPECT_TRUE(IntervalElapsed(0, last));
  last = TickMs() - 20;
  EXPECT_TRUE(IntervalElapsed(10, last));
  EXPECT_GE(last + 5, TickMs());
}

// Every sleeper, whatever its time, ends when the stop is announced, not at its next
// look at the flag (a second apart for a stop nobody announces).
TEST(WaitsTest, AnnouncedStopEndsEverySleepAtOnce) {
  ShutdownRequested.store(0);
  std::vector<uint64_t> slept(4, 0);
  std::vector<std::thread> sleepers;
  for (size_t i = 0; i < slept.size(); ++i) {
    sleepers.emplace_back([&slept, i] {
      uint64_t start = TickMs();
      slept[i] = SleepUnlessShutdown(600000, start) - start;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  uint64_t announced = TickMs();
  AnnounceShutdown();
  for (auto& t : sleepers) t.join();
  uint64_t ended = TickMs() - announced;
  EXPECT_LT(ended, 900u) << "woken, not found by a later look at the flag";
  for (uint64_t s : slept) EXPECT_LT(s, 60000u);
  EXPECT_EQ(ShutdownRequested.load(), 1);
  ShutdownRequested.store(0);
}

TEST(SocketHelpersTest, GracefulCloseDrainsUntilThePeerCloses) {
  ListenResult listener = OpenTcpListener("127.0.0.1", 0, 4);
  ASSERT_EQ(listener.failedAt, ListenStage::Ok);
  uint16_t port = BoundPort(listener.socket.get());
  ASSERT_NE(port, 0);

  UniqueFd client(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  UniqueFd server(accept(listener.socket.get(), nullptr, nullptr));
  ASSERT_TRUE(server);

  // The peer still sends 3000 bytes, then sees our end of stream and closes.
  std::thread peer([fd = client.get()] {
    std::string data(3000, 'x');
    send(fd, data.data(), data.size(), 0);
    char buf[100];
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
    shutdown(fd, SHUT_RDWR);
  });
  uint64_t start = TickMs();
  CloseSocketGracefully(server);
  peer.join();
  EXPECT_FALSE(server);
  EXPECT_LT(TickMs() - start, 5000u);

  // A listener (never connected) is simply closed.
  CloseSocketGracefully(listener.socket);
  EXPECT_FALSE(listener.socket);
}

TEST(SocketHelpersTest, ListenerFailuresNameTheStage) {
  ListenResult first = OpenTcpListener("127.0.0.1", 0, 4);
  ASSERT_EQ(first.failedAt, ListenStage::Ok);
  ListenResult second = OpenTcpListener("127.0.0.1", BoundPort(first.socket.get()), 4);
  EXPECT_EQ(second.failedAt, ListenStage::Bind);
  EXPECT_EQ(second.error, EADDRINUSE);
  EXPECT_EQ(ResolveListenAddress(""), "");
  EXPECT_EQ(ResolveListenAddress("203.0.113.99"), "");  // not one of this host's addresses
}
