// The one writer of message files: the text of a record in the key order of its producer.
// Every Key=value line passes AppendKeyValueLine (control bytes stripped); Data is escaped
// with EscapeCrLf. The header is "[SMS-IN]" when the record is Inbound, else "[SMS]".
#pragma once

#include <string>

#include "store/message_file.h"

enum class MessageLayout {
  // HTTP submission, one part (also the bulk template, which has no PhoneNumber): SubmitUser,
  // SubmittedBy, Sender, ReplyRequested, ReceiptRequested, ReceiptDelivered, ReceiptFailed,
  // ReceiptIntransit ("Yes"), ReceiptMessageID, RouteToLocalUser, Validity, ServiceType,
  // BillingInfo, AcctInfo, SMPPOptions, Data, UDH, pid, dcs ("%02X"), Binary=1, PhoneNumber,
  // SMSCRoute, ModemName, the extra arguments; each line only when set.
  Submission,
  // A segment of a submission: PhoneNumber right after SubmittedBy, the route lines before
  // SMPPOptions.
  SubmissionSegment,
  // A received message stored by the receive path (inbound or a local user's queue):
  // ModemName, Sender, PhoneNumber, UDH, pid, dcs ("%X" when not 0), Data, Binary=1, UTF8=1,
  // ReceiptRequested, NonDelReceiptRequested, for a report its first outcome and
  // ReceiptMessageId, then ServiceType, SMPPOptions, RouteToLocalUser, ReceivedSMSC.
  Received,
  // A received message re-routed to the outbound queue: as Received with SMSCRoute (when
  // set) in place of ModemName.
  ReRouted,
  // A queued message delivered to a local user by a sender: Sender, PhoneNumber, Data, UDH,
  // pid, dcs ("%02X" always), Binary ("1" or "0"), the request flags, the report lines,
  // then ServiceType, ModemName, ReceivedSMSC, BillingInfo, AcctInfo, SMPPOptions.
  LocalDelivery,
  // The failure report of a message given up: ModemName, RouteToLocalUser, Sender,
  // PhoneNumber, Data, Binary ("1" or "0"), the report outcome, ReceiptMessageId.
  FailureReport,
  // A long message put together from its received segments: Sender, PhoneNumber, ModemName,
  // UDH (what is left of it), pid and dcs ("%X" always), Binary=1, UTF8=1,
  // RecombineFlag=Yes, ReceivedSMSC, ServiceType, SMPPOptions, the request and report flags,
  // ReceiptMessageId, then Data.
  Recombined,
  // A WAP push datagram: Sender, UDH, DCS ("%X"), Data.
  WapPush,
  // Every key in the order of the format, each only when set, then "[ErrorDetail]" when
  // RetryCount is not 0.
  Complete,
};

std::string MessageFileText(const SmsMessageRecord& m, MessageLayout layout);
