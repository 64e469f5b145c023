// The steps every received message file goes through once a worker has claimed it: local
// delivery, segments, ports, the two-way command and what is kept of it.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "inbound/udh_facts.h"
#include "store/message_file.h"

// The file a message came from.
struct InboundFileFacts {
  std::string path;       // full path
  std::string name;       // file name
  std::string messageId;  // the name without its extension
  std::string extension;  // "in", "rec", "rct" as found
  std::string text;       // the file as read
  time_t fileTime = 0;    // its modification time
};

enum class InboundCopy { None, Sms, Bad };

struct InboundResult {
  bool complete = true;             // false: the file stays for the next scan
  InboundCopy copy = InboundCopy::None;  // what is kept beside it for other applications
};

// Processes m (read from f). receiptFile: it came through receipt resolution, which keeps
// nothing beside the file but hands copies to "~SMSIN::SMS"/"~SMSIN::BAD" and kept messages
// to "~SMSIN".
InboundResult ProcessInboundMessage(SmsMessageRecord& m, const InboundFileFacts& f, bool receiptFile);

// A WAP push for the MMS port (2948) received on a connection ("" for the main settings)
// with ReceiveMMS on.
bool IsMmsNotification(const UdhFacts& udh, const std::string& connection);

// The hand-over of a WAP push for port 2948 while ReceiveMMS is on: true when taken, false
// leaves the file in place for the next scan. While none is set, such a message is kept as
// ".SMS".
using InboundMmsHandler = bool (*)(const SmsMessageRecord& m, const InboundFileFacts& f);
void SetInboundMmsHandler(InboundMmsHandler handler);

// A report's text "id:<centre id> ..." with the id token replaced by id ("" unchanged).
std::string ReportTextWithId(std::string_view text, std::string_view id);

// The reply's SMPP options: "SMPPOption_<name>=<value>" of each name listed (",", ";")
// taken from the message's options, joined by ";".
std::string CopiedSmppOptions(std::string_view messageOptions, std::string_view names);
