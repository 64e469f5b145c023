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
  EmptyEventFd(waiter_->eventFd.get());
}

bool BroadcastWake::Wait(uint32_t ms) { return WaitForAnyBroadcast({this}, ms) == 0; }

int WaitForAnyBroadcast(std::initializer_list<BroadcastWake*> wakes, uint32_t ms) {
  std::vector<pollfd> fds;
  for (BroadcastWake* w : wakes) fds.push_back({w->Fd(), POLLIN, 0});
  fds.push_back({ShutdownWakeFd(), POLLIN, 0});
  uint64_t start = TickMs();
  for (;;) {
    uint64_t spent = TickMs() - start;
    if (ShutdownRequested.load() != 0) return -1;
    if (spent >= ms) return -2;
    if (poll(fds.data(), fds.size(), PollTimeout(ms - spent)) <= 0) continue;
    if (fds.back().revents) ClearStaleShutdownWake();
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if (fds[i].revents) return int(i);
    }
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
