// The inbound listener of a UCP or CIMD connection: the port the centre connects to for
// delivering messages and reports, one thread per accepted connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "smsc/ucpcimd/link_calls.h"

struct ListenerShared;

// Runs while it lives: started by the worker's driver, stopped (the listener and every
// connection thread ended) when the driver goes.
class InboundListener {
 public:
  InboundListener(const LinkCalls& calls, const std::string& connection, const std::string& bindIP, uint16_t port);
  ~InboundListener();
  InboundListener(const InboundListener&) = delete;
  InboundListener& operator=(const InboundListener&) = delete;

 private:
  std::shared_ptr<ListenerShared> shared_;
};
