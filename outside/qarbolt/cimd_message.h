// What a submission puts into operation 03, and what operations 20 and 23 carry for the
// receive callbacks.
#pragma once

#include <string>

#include "outside/qarbolt/cimd_packet.h"
#include "runtime/call_arguments.h"

namespace cimd {

using OutboundMessage = OutgoingMessage;

// The parameters of operation 03. False (why set, nothing to send) when a value cannot be
// encoded: an address that is not one, text outside the character set, bad hex, too long.
bool BuildSubmit(const OutboundMessage& message, Packet& packet, std::string& why);

// Parameter 056 for the message flags (0 when no report is asked for).
int StatusReportRequestFor(int flags);

// The id of a submission as the centre names it: destination and time stamp.
std::string MessageIdOf(const std::string& destination, const std::string& timestamp);

struct ReceivedMessage {
  std::string sender;
  std::string recipient;
  std::string udhHex;
  std::string data;  // UTF-8 text, or upper-case hex when binary
  int pid = 0;
  int dcs = 0;
  int flags = 0;
  bool binary = false;
  bool report = false;
  std::string receiptMessageId;
  std::string extraParams;
};

// Operation 20 or 23 into a received message; false (why set) when a required parameter is
// missing or the content does not fit together.
bool DecodeDelivery(const Packet& packet, ReceivedMessage& out, std::string& why);

}  // namespace cimd
