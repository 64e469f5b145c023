// The daily message logs (SMSOUT-, SMSIN-, SMSWEB-YYYYMMDD.LOG in the log directory) and the
// per-user logs (SMS-YYYYMMDD.LOG in each user's log directory): comma-separated lines for
// operators and billing. Every field is kept on its line: CR and LF in message text are
// escaped, other control bytes dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/message_file.h"

// The content of a message as the logs show it.
struct LogContent {
  bool binary = false;
  uint8_t pid = 0;
  uint8_t dcs = 0;
  std::string udh;   // hexadecimal
  std::string data;  // text, or hexadecimal when binary
};

// The content of a message record.
LogContent LogContentOf(const SmsMessageRecord& m);

// Binary content whose DCS selects GSM 7-bit (septets aligned after the header) or UCS-2 is
// logged as its text, in UTF-8.
std::string LogContentText(const LogContent& content, bool& binary);

void OpenOutboundLog();
void LogOutbound(std::string_view messageFile, std::string_view submittedBy, std::string_view recipient,
                 std::string_view status, const LogContent& content, std::string_view submitUser,
                 std::string_view smscMessageId, std::string_view sender);
void LogInbound(std::string_view sender, std::string_view connection, std::string_view recipient,
                const LogContent& content, std::string_view receiptMessageId, std::string_view receiptMessageIdOrig);
void LogWeb(std::string_view clientAddress, std::string_view user, std::string_view messageFile, std::string_view type);
void LogUser(std::string_view user, std::string_view kind, std::string_view recipient, std::string_view client,
             std::string_view messageFile, std::string_view type, const LogContent& content, std::string_view sender);
void LogsClose();

// The detail parts (without the leading ",") of the lines, for tests.
std::string OutboundLogDetails(const LogContent& content, std::string_view submitUser, std::string_view smscMessageId,
                               std::string_view sender);
