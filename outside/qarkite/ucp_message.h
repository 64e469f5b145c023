// Between the gateway's view of a message (sender, recipient, PID, DCS, UDH in hex, UTF-8
// text or hex data, flags) and the fields of UCP operations 51, 52 and 53 and their results.
#pragma once

#include <string>
#include <vector>

#include "runtime/call_arguments.h"

namespace ucp {

using OutboundMessage = OutgoingMessage;

// The 33 fields of an operation 51, or false (with the reason) when a value cannot be
// encoded: nothing is cut or replaced silently.
bool BuildSubmitFields(const OutboundMessage& in, std::vector<std::string>& fields, std::string& why);

// What an operation 52 or 53 carries, as the receive callback takes it.
struct InboundMessage {
  std::string sender, recipient, udhHex, data, receiptId;
  int pid = 0, dcs = 0, flags = 0;
  bool binary = false;
};
// False (with the reason) when the fields do not hold together; the peer gets a syntax
// error then. fields are the operation's 33 fields.
bool DecodeDelivery(int ot, const std::vector<std::string>& fields, InboundMessage& out, std::string& why);

// A result frame: ACK with the system message (for 51: "AdC:SCTS"), or NACK with its error
// code. False when the fields are not a result of either kind.
struct Result {
  bool ack = false;
  int errorCode = 0;
  std::string systemMessage;
};
bool DecodeResult(int ot, const std::vector<std::string>& fields, Result& out);

// Fields of the results the library sends.
std::vector<std::string> AckFields(int ot, const std::string& systemMessage);
std::vector<std::string> NackFields(int ot, int errorCode, const std::string& systemMessage);

}  // namespace ucp
