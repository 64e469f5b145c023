// The session an old link leaves behind when its descriptor number is reused or forgotten.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "outside/qarkite/kite_session.h"
#include "runtime/unique_fd.h"

namespace {

using namespace std::chrono_literals;

// A replaced or forgotten session waits for the call in progress on it, then sends nothing
// more on the descriptor, which may carry another link by then.
TEST(KiteSessions, AnEndedSessionWaitsForItsCallAndNeverSendsAgain) {
  int savedTimeout = kite::LibrarySettings.responseTimeoutMs.load();
  kite::LibrarySettings.responseTimeoutMs = 300;  // bounds the wait should a result be awaited
  enum class End { Replaced, Forgotten };
  for (End end : {End::Replaced, End::Forgotten}) {
    SCOPED_TRACE(end == End::Replaced ? "replaced" : "forgotten");
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd ours(fds[0]), centre(fds[1]);
    auto old = kite::SessionFor(ours.get(), true);
    std::atomic<bool> callEnded{false};
    {
      MutexLock call(old->lock);
      std::thread ender([&] {
        if (end == End::Replaced) {
          kite::SessionFor(ours.get(), true);
        } else {
          kite::ForgetSession(ours.get());
        }
        EXPECT_TRUE(callEnded.load());
      });
      // Room for an ender that does not wait to get ahead of the call; one that waits
      // passes however long this takes.
      std::this_thread::sleep_for(50ms);
      callEnded = true;
      call.Unlock();
      ender.join();
    }
    {
      MutexLock call(old->lock);
      ucp::Result result;
      EXPECT_EQ(kite::Transact(*old, 31, {"", "0539"}, result), UCP_ERROR_LINK);
    }
    char byte;
    EXPECT_EQ(recv(centre.get(), &byte, 1, MSG_DONTWAIT), -1) << "the old session sent on the descriptor";
    kite::ForgetSession(ours.get());
  }
  kite::LibrarySettings.responseTimeoutMs = savedTimeout;
}

}  // namespace
