// The session an old link leaves behind when its descriptor number is reused or forgotten.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "outside/qarbolt/bolt_session.h"
#include "runtime/unique_fd.h"

namespace {

using namespace std::chrono_literals;

// A call holds the session of a descriptor while another thread gives the descriptor to a
// new link or ends the session: that thread waits for the call, and the old session sends
// nothing afterwards.
TEST(BoltSessions, AnEndedSessionWaitsForItsCallAndNeverSendsAgain) {
  struct Case {
    const char* what;
    std::function<void(int)> end;
  };
  const Case cases[] = {
      {"a new link on the same number", [](int sock) { bolt::SessionFor(sock, "new link", true); }},
      {"the session forgotten", [](int sock) { bolt::ForgetSession(sock); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd ours(fds[0]), centre(fds[1]);
    auto old = bolt::SessionFor(ours.get(), "old link", true);
    std::atomic<bool> callEnded{false};
    MutexLock call(old->callLock);
    std::thread other([&] {
      c.end(ours.get());
      EXPECT_TRUE(callEnded.load()) << "returned while the call still held the session";
    });
    // Lets a thread that does not wait get ahead of the call; one that waits passes however
    // the threads are scheduled.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(old->linkUp.load()) << "marked down under a running call";
    callEnded = true;
    call.Unlock();
    other.join();
    call.Lock();
    cimd::Packet alive, answer;
    alive.op = cimd::kAlive;
    EXPECT_EQ(bolt::Transact(*old, alive, answer, 300), CIMD_ERROR_LINK);
    call.Unlock();
    char byte;
    EXPECT_EQ(recv(centre.get(), &byte, 1, MSG_DONTWAIT), -1) << "the old session sent on the descriptor";
    bolt::ForgetSession(ours.get());
  }
}

}  // namespace
