// Wakes every waiting inbound worker at once when a file is stored: several workers share
// the folder, and a one-waiter event would leave the others asleep until their fallback
// rescan.
#pragma once

#include <cstdint>

enum class InboundWakeKind { Messages = 0, Reports = 1, Receipts = 2 };

// Called by whatever stored a file for that kind of worker.
void WakeInboundWorkers(InboundWakeKind kind);
// Wakes all kinds (shutdown, a configuration change).
void WakeAllInboundWorkers();
// The number of wake-ups of kind so far; pass it to WaitInboundWake.
uint64_t InboundWakeCount(InboundWakeKind kind);
// Returns once kind was woken after seen was read, or after timeoutMs. True when woken.
bool WaitInboundWake(InboundWakeKind kind, uint64_t seen, unsigned timeoutMs);

// The channel of kind's wake-ups, for a wait that polls them with others (a BroadcastWake).
const char* InboundWakeChannel(InboundWakeKind kind);
