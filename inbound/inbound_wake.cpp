#include "inbound/inbound_wake.h"

#include <chrono>
#include <condition_variable>

#include "inbound/inbound_file_queue.h"
#include "runtime/broadcast_wake.h"
#include "runtime/mutex.h"

namespace {
Mutex g_lock;
std::condition_variable g_changed;
uint64_t g_counts[3] GUARDED_BY(g_lock) = {0, 0, 0};
}  // namespace

const char* InboundWakeChannel(InboundWakeKind kind) {
  static const char* const kChannels[] = {"inbound messages", "inbound reports", "inbound receipts"};
  return kChannels[int(kind)];
}

void WakeInboundWorkers(InboundWakeKind kind) {
  {
    MutexLock guard(g_lock);
    ++g_counts[int(kind)];
  }
  SignalBroadcast(InboundWakeChannel(kind));
  g_changed.notify_all();
}

void WakeAllInboundWorkers() {
  {
    MutexLock guard(g_lock);
    for (uint64_t& c : g_counts) ++c;
  }
  for (int kind = 0; kind < 3; ++kind) SignalBroadcast(InboundWakeChannel(InboundWakeKind(kind)));
  g_changed.notify_all();
  WakeIdleInboundWorkers();
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
