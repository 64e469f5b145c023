#include "inbound/inbound_wake.h"

#include "inbound/inbound_file_queue.h"
#include "runtime/broadcast_wake.h"

const char* InboundWakeChannel(InboundWakeKind kind) {
  static const char* const kChannels[] = {"inbound messages", "inbound reports", "inbound receipts"};
  return kChannels[int(kind)];
}

void WakeInboundWorkers(InboundWakeKind kind) { SignalBroadcast(InboundWakeChannel(kind)); }

void WakeAllInboundWorkers() {
  for (int kind = 0; kind < 3; ++kind) SignalBroadcast(InboundWakeChannel(InboundWakeKind(kind)));
  WakeIdleInboundWorkers();
}
