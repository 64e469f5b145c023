// Between the gateway's view of a message (sender, recipient, PID, DCS, UDH in hex, UTF-8
// text or hex data, flags, "a=b; c=d" extra parameters) and the fields of an SMPP PDU.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "outside/qarpeer/qarpeer.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/call_arguments.h"

namespace peer {

struct OutboundMessage : OutgoingMessage {
  std::string extraParams;
  int version = 0x34;
  bool deliver = false;  // server side: a deliver_sm (report flag honoured)
};

// 0, or the SMPP status that explains why the message cannot be encoded (invalid
// address, length or optional parameter); nothing is cut silently.
int BuildShortMessage(const OutboundMessage& in, smpp::ShortMessage& out, std::string& why);

// The value of one "Key=value" item of an extra-parameter text, key compared without case.
bool ExtraParam(std::string_view params, std::string_view key, std::string& value);
// Validity text (a number and d, h or m) as an SMPP relative time; empty when it does not parse.
std::string RelativeValidity(std::string_view text);

// A received message, holding the texts that the callback structure points into.
struct ReceivedMessage {
  std::string sender, recipient, udhHex, data, serviceType, validity, extraParams;
  SMPPReceivedMessage view{};
  void Fill(uint32_t commandId, uint32_t sequence, const smpp::ShortMessage& m);
};
// False (with the SMPP status to answer) when the content does not hold together.
bool DecodeReceived(uint32_t commandId, uint32_t sequence, const smpp::ShortMessage& m, ReceivedMessage& out,
                    uint32_t& status);

}  // namespace peer
