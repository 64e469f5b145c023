// Messages and delivery reports received from an SMS centre: the SMPP receive callback and
// ProcessInboundSMS, which stores one received message as a file (inbound directory, a local
// user's queue, or the outbound queue when received messages are re-routed).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "outside/qarpeer/qarpeer.h"
#include "smsc/ucpcimd/ucpcimd_driver.h"
#include "store/message_file.h"

// A message or delivery report received from an SMS centre: its record (ModemName: the
// receiving connection; MessageFlags: 0x02, 0x40, and for a report 0x04 with 0x08, 0x10 or
// 0x20; Data: text (UTF-8), or hexadecimal when Binary) and the library's extra parameters.
struct ReceivedSms {
  SmsMessageRecord message;
  std::string extraParams;  // "name=value" items separated by ";"
  // Set by ProcessInboundSMS: the file the message became, and the queue-size counter that
  // counts it (-1: none).
  std::string storedPath;
  int queueCounter = -1;
  // Something waits for the store (the centre's acknowledgement, a modem's delete): with
  // DurableAccept it follows the flush. False for a message whose sender already forgot it.
  bool awaited = true;
};

enum class InboundStore {
  Stored,   // a file holds it
  Dropped,  // refused on purpose (accounting pre-authorisation)
  Failed,   // no file could be written: the sender must deliver it again
};

// Stores r (its record cut to the field limits first). For a re-route,
// "SMSCMsgId=<id of the new file>" is appended to r.extraParams.
InboundStore ProcessInboundSMS(ReceivedSms& r);

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

// A message or report received on a UCP or CIMD connection, handed on by their callbacks
// (label: the callback's name, for its debug line): false when it could not be stored.
bool ReceiveCentreMessage(const char* label, const CentreMessage& message);

// A message or report whose report id is already the gateway's own (a modem matched it by
// its reference): the debug line under label, stored, the SMS-IN log line and the accounting
// notice. False when it could not be stored.
bool StoreReceivedMessage(const char* label, ReceivedSms& r);

// The wake-ups of the inbound workers (the service's inbound and report events), set after a
// message (message), a delivery report with a receipt id (report) or one left for receipt
// resolution (receipt) was stored.
void SetInboundReceiveWakeHooks(void (*message)(), void (*report)(), void (*receipt)());
