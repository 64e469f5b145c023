// The one way into the queues for every producer (HTTP today; the SMPP server, push, MMS
// and two-way replies later): a message for a list of recipients becomes message files,
// with quota, pre-authorisation and credit reserved before writing and given back for what
// was not written.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/message_file.h"
#include "submit/message_parts.h"

inline constexpr const char* kLocalInbound = "~SMSIN";  // the inbound queue itself, no local user

// A message waiting indication instead of the content.
struct VoiceMailRequest {
  std::string kind;    // a boolean, or FaxOn, FaxOff, EMailOn, ... VideoOff
  uint32_t count = 0;  // messages waiting ("On" kinds; 0 counts as 1, at most 255)
  std::string text;    // the visible text, as given
};

struct RecipientResult;

struct Submission {
  // Content, sender and options; who submits in SubmitUser ("" without a login) and
  // SubmittedBy (the client's address); SMSCRoute the requested route; Inbound for the
  // inbound store. The recipient and the route of each file are set when it is written.
  SmsMessageRecord message;
  // Numbers, or names of the submitting user's distribution lists, which expand to their
  // members.
  std::vector<std::string> recipients;
  // Application ports as given, 0 when not: then a ":port" at the end of the sender, or of
  // the first recipient that has one, gives them. Either one makes the port header.
  uint16_t sourcePort = 0, destPort = 0;
  bool contentIsText = false;           // Data holds a text as given, not hexadecimal data
  std::string charset;                  // of that text, "" for UTF-8
  std::string forcedSender;             // the account's allowed senders, comma-separated
  std::string localUser;                // inbound: the local user, or kLocalInbound
  std::optional<time_t> delayUntil;
  std::string specialContent;           // what selected other content than text or binary
  VoiceMailRequest voiceMail;           // with specialContent "VoiceMail"
  bool recipientsOptional = false;      // a settings request that only shows its document
  std::string receiptLink = "HTTP";     // message-id table link name for ReceiptMessageId
  // Content its producer cut itself (a push: its ports in every segment, up to 255 of
  // them): written as given instead of the parts of the record's content.
  std::vector<MessagePart> presetParts;
  std::string logType;                  // the web-log type when not "Text" or "Binary"
  // Recipients the producer reaches itself (a push datagram to an address) once the files
  // are written: each is one part for quota, pre-authorisation and credit, and keeps its
  // charge only when sendDirect(index, result) fills in the result and returns true.
  std::vector<std::string> directRecipients;
  std::function<bool(size_t index, RecipientResult& result)> sendDirect;
};

enum class SubmissionStatus {
  Accepted,      // see the per-recipient results
  Invalid,       // the submission is malformed; nothing written
  Refused,       // quota, pre-authorisation or credit; nothing written
  NotSupported,  // special content this gateway does not build
};

struct RecipientResult {
  std::string recipient;
  std::vector<std::string> messageIds;  // one per file written (one per recipient in a bulk job)
  std::string error;                    // why not every part was written
};

struct SubmissionResult {
  SubmissionStatus status = SubmissionStatus::Accepted;
  std::string error;          // the text for the submitter when not accepted
  int accountingCode = 0;     // refused by the accounting callback: its SMPP error code
  std::vector<RecipientResult> recipients;
};

// Settles the sender, expands the lists, sets the port header and decodes the text;
// resolves an injected receipt, checks the submission, builds its parts, reserves quota
// and credit, writes the files (logs, counters, accounting notices) and gives back what
// was not written.
SubmissionResult SubmitMessage(Submission submission);

// Called after an inbound file was written (start-up installs the inbound wake-up).
void SetInboundWakeHook(void (*wake)());

// The text of an injected delivery receipt.
std::string ReceiptText(std::string_view storedId, bool delivered, bool intransit, time_t submitted, time_t now);
