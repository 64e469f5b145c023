// Wakes every waiting inbound worker at once when a file is stored: several workers share
// the folder, and a one-waiter event would leave the others asleep until their fallback
// rescan.
#pragma once

#include <cstdint>
#include <memory>

enum class InboundWakeKind { Messages = 0, Reports = 1, Receipts = 2 };

// Called by whatever stored a file for that kind of worker.
void WakeInboundWorkers(InboundWakeKind kind);
// Wakes all kinds (shutdown, a configuration change).
void WakeAllInboundWorkers();
// The number of wake-ups of kind so far; pass it to WaitInboundWake.
uint64_t InboundWakeCount(InboundWakeKind kind);
// Returns once kind was woken after seen was read, or after timeoutMs. True when woken.
bool WaitInboundWake(InboundWakeKind kind, uint64_t seen, unsigned timeoutMs);

struct InboundWaiter;

// One worker's wake as a descriptor, for a wait that polls it with others (its folders,
// the stop): readable once kind was woken since the last Rearm.
class InboundWakeFd {
 public:
  explicit InboundWakeFd(InboundWakeKind kind);
  ~InboundWakeFd();
  InboundWakeFd(const InboundWakeFd&) = delete;
  InboundWakeFd& operator=(const InboundWakeFd&) = delete;
  int Fd() const;
  // Call before looking at the files: a wake-up from now on makes Fd readable again.
  void Rearm();

 private:
  std::shared_ptr<InboundWaiter> waiter_;
};
