#include "runtime/broadcast_wake.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "runtime/clock.h"
#include "runtime/mutex.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"

struct BroadcastWaiter {
  std::string channel;
  UniqueFd eventFd;
};

namespace {
Mutex g_lock;
std::vector<std::shared_ptr<BroadcastWaiter>> g_waiters GUARDED_BY(g_lock);
}  // namespace

BroadcastWake::BroadcastWake(std::string channel) : waiter_(std::make_shared<BroadcastWaiter>()) {
  waiter_->channel = std::move(channel);
  waiter_->eventFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  MutexLock guard(g_lock);
  g_waiters.push_back(waiter_);
}

BroadcastWake::~BroadcastWake() {
  MutexLock guard(g_lock);
  g_waiters.erase(std::remove(g_waiters.begin(), g_waiters.end(), waiter_), g_waiters.end());
}

int BroadcastWake::Fd() const { return waiter_->eventFd.get(); }

void BroadcastWake::Rearm() {
  uint64_t count;
  while (read(waiter_->eventFd.get(), &count, sizeof count) > 0) {
  }
}

bool BroadcastWake::Wait(uint32_t ms) {
  pollfd fds[2] = {{waiter_->eventFd.get(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
  uint64_t start = TickMs();
  for (;;) {
    uint64_t spent = TickMs() - start;
    if (spent >= ms || ShutdownRequested.load() != 0) return false;
    // A stop set without an announcement (a signal handler) is still seen within a second.
    int r = poll(fds, 2, int(std::min<uint64_t>(ms - spent, 1000)));
    if (r > 0 && fds[0].revents) return true;
  }
}

void SignalBroadcast(std::string_view channel) {
  MutexLock guard(g_lock);
  for (const auto& w : g_waiters) {
    if (w->channel != channel) continue;
    uint64_t one = 1;
    if (write(w->eventFd.get(), &one, sizeof one) < 0) {
      // A full counter is readable anyway.
    }
  }
}
