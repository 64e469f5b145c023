// The wait for a service's lock: it ends the moment the holder goes, and not before the
// limit while the holder stays.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "console/gateway_state.h"
#include "console/tests/console_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {
long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(WaitLockFree, EndsWhenTheHolderGoesAndOnlyAtTheLimitWhileItStays) {
  struct Case {
    const char* name;
    bool make;        // the lock file exists
    bool hold;        // a process holds it
    int killAfterMs;  // the holder is killed after this long; -1 never
    unsigned limitMs;
    bool free;
    long long atLeastMs, atMostMs;
  };
  const Case cases[] = {
      {"no lock file", false, false, -1, 5000, true, 0, 4000},
      {"nobody holds it", true, false, -1, 5000, true, 0, 4000},
      {"held throughout", true, true, -1, 1500, false, 1500, 60000},
      {"holder ends during the wait", true, true, 300, 60000, true, 300, 50000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string lock = dir.path() + "QAR_QARHUB.LCK";
    if (c.make) WriteFileText(lock, "");
    pid_t holder = c.hold ? HoldFileLock(lock, true) : 0;
    ASSERT_GE(holder, 0);
    std::thread killer;
    if (c.killAfterMs >= 0) {
      killer = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.killAfterMs));
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
      });
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitLockFree(lock, c.limitMs), c.free);
    long long ms = MsSince(start);
    EXPECT_GE(ms, c.atLeastMs);
    EXPECT_LE(ms, c.atMostMs);
    if (killer.joinable()) {
      killer.join();
    } else if (holder > 0) {
      kill(holder, SIGKILL);
      waitpid(holder, nullptr, 0);
    }
  }
}
}  // namespace
