// Messages and delivery reports received from an SMS centre: the SMPP receive callback and
// ProcessInboundSMS, which stores one received message as a file (inbound directory, a local
// user's queue, or the outbound queue when received messages are re-routed).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "outside/qarpeer/qarpeer.h"

// Message flag bits as in the message record: 0x02 receipt requested, 0x40 non-delivery
// receipt requested, 0x04 delivery report with 0x08 delivered, 0x10 in transit, 0x20 failed.
struct ReceivedSms {
  std::string connection;
  std::string sender, recipient;
  std::string udhHex;
  std::string data;  // text (UTF-8), or hexadecimal when binary
  uint8_t pid = 0, dcs = 0;
  uint32_t flags = 0;
  bool binary = false;
  std::string receiptMessageId;
  std::string extraParams;  // "name=value" items separated by ";"
};

enum class InboundStore {
  Stored,   // a file holds it
  Dropped,  // refused on purpose (accounting pre-authorisation)
  Failed,   // no file could be written: the sender must deliver it again
};

// Stores m. For a re-route, "SMSCMsgId=<id of the new file>" is appended to m.extraParams.
InboundStore ProcessInboundSMS(ReceivedSms& m);

// The file text of the inbound case (header "[SMS-IN]", "ModemName=" first) or the local-user
// case ("[SMS]"); exposed for tests.
std::string InboundFileText(const ReceivedSms& m, bool localUser, std::string_view serviceType,
                            std::string_view smppOptions, std::string_view routeToLocalUser,
                            std::string_view receivedSmsc);

// The value of a "name=value" item of an extra-parameter text (name without case), cut to
// maxLength characters and stripped of control bytes; false when absent.
bool ExtraParamValue(std::string_view extra, std::string_view name, size_t maxLength, std::string& value);

// What a delivery report says: its message-centre id and its state, from the
// receipted_message_id / message_state options or else from an "id:... stat:..." text.
struct ReportContent {
  std::string messageId;
  uint32_t stateFlags = 0;  // 0x08, 0x10 or 0x20; 0 when unknown
};
ReportContent ParseDeliveryReport(std::string_view text, std::string_view extraParams);

// A message or report received on an SMPP connection, handed on by the SMPP driver: false
// when it could not be stored (the centre must deliver it again).
bool ReceiveSmppMessage(const char* connectionName, const SMPPReceivedMessage* message);

// The wake-ups of the inbound workers (the service's inbound and report events), set after a
// message (message) or a delivery report with a receipt id (receipt) was stored.
void SetInboundReceiveWakeHooks(void (*message)(), void (*receipt)());
