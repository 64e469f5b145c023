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
// The channel of kind's wake-ups: the workers poll a BroadcastWake of it with their other waits.
const char* InboundWakeChannel(InboundWakeKind kind);
