#include "inbound/inbound_wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <vector>

#include "runtime/mutex.h"
#include "runtime/unique_fd.h"

struct InboundWaiter {
  InboundWakeKind kind;
  UniqueFd eventFd;
};

namespace {
Mutex g_lock;
std::condition_variable g_changed;
uint64_t g_counts[3] GUARDED_BY(g_lock) = {0, 0, 0};
std::vector<std::shared_ptr<InboundWaiter>> g_waiters GUARDED_BY(g_lock);

void Signal(const InboundWaiter& w) {
  uint64_t one = 1;
  if (write(w.eventFd.get(), &one, sizeof one) < 0) {
    // A full counter is readable anyway.
  }
}

// Wakes the descriptors of kind (all kinds when all).
void SignalWaiters(InboundWakeKind kind, bool all) REQUIRES(g_lock) {
  for (const auto& w : g_waiters) {
    if (all || w->kind == kind) Signal(*w);
  }
}
}  // namespace

InboundWakeFd::InboundWakeFd(InboundWakeKind kind) : waiter_(std::make_shared<InboundWaiter>()) {
  waiter_->kind = kind;
  waiter_->eventFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  MutexLock guard(g_lock);
  g_waiters.push_back(waiter_);
}

InboundWakeFd::~InboundWakeFd() {
  MutexLock guard(g_lock);
  g_waiters.erase(std::remove(g_waiters.begin(), g_waiters.end(), waiter_), g_waiters.end());
}

int InboundWakeFd::Fd() const { return waiter_->eventFd.get(); }

void InboundWakeFd::Rearm() {
  uint64_t count;
  while (read(waiter_->eventFd.get(), &count, sizeof count) > 0) {
  }
}

void WakeInboundWorkers(InboundWakeKind kind) {
  {
    MutexLock guard(g_lock);
    ++g_counts[int(kind)];
    SignalWaiters(kind, false);
  }
  g_changed.notify_all();
}

void WakeAllInboundWorkers() {
  {
    MutexLock guard(g_lock);
    for (uint64_t& c : g_counts) ++c;
    SignalWaiters(InboundWakeKind::Messages, true);
  }
  g_changed.notify_all();
}

uint64_t InboundWakeCount(InboundWakeKind kind) {
  MutexLock guard(g_lock);
  return g_counts[int(kind)];
}

bool WaitInboundWake(InboundWakeKind kind, uint64_t seen, unsigned timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  MutexLock guard(g_lock);
  while (g_counts[int(kind)] == seen) {
    if (!guard.WaitUntil(g_changed, until)) return g_counts[int(kind)] != seen;
  }
  return true;
}
