// Two-way commands: the keyword table "ReceiveSMSCommand<n>", the choice of a command for a
// received message, its tokens, and running it (a program, an HTTP request or a mail file);
// what it printed or answered becomes the reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/message_file.h"

struct TwoWayCommandLine {
  std::string keyword;     // pattern, up to 250
  std::string command;     // up to 2048
  bool capture = false;    // the output is sent back
  std::string recipients;  // patterns of the receiving number; "" or "*": any
};
// One configured value: tab-separated fields, or the older space form (the last space, then
// the last remaining one, taken as tabs when there are fewer than two tabs).
TwoWayCommandLine ParseCommandLine(std::string_view value);
// "ReceiveSMSCommand1".. up to the first empty one.
std::vector<TwoWayCommandLine> ConfiguredCommands();

struct CommandChoice {
  bool found = false;
  std::string command;
  bool capture = false;
};
// The keyword is the text up to the first character of code 32 or less (at most 199).
std::string KeywordOf(std::string_view text);
CommandChoice ChooseCommand(const std::vector<TwoWayCommandLine>& table, std::string_view keyword,
                            std::string_view receivingNumber, bool binary);

// The values of the "@@...@@" tokens.
struct TokenValues {
  std::string sender, recipient, keyword, text, rest, udh, messageId, receiptMessageId, serviceType, receivedSmsc,
      route, date, time;
  bool binary = false;
  uint8_t pid = 0, dcs = 0;
};
enum class TokenEscape { None, Url };
// Replaces every known token (without regard to case) in one pass: an inserted value is
// never read again for tokens. The result is cut to 8192 characters.
std::string ReplaceTokens(std::string_view pattern, const TokenValues& values, TokenEscape escape);

// A program's command line split into arguments: blanks separate, double quotes group
// (and are removed).
std::vector<std::string> SplitCommandArguments(std::string_view line);

// The mail file of a "mailto:" command: "" when the address part holds no "@".
std::string MailFileText(std::string_view mailto, std::string_view sender, std::string_view text,
                         std::string_view domain);

struct CommandOutcome {
  bool ran = false;         // a command applied
  bool incomplete = false;  // it failed before it ran: the file stays
  bool bad = false;         // an HTTP status not beginning with 2
  std::string reply;        // sent back when not empty
};
// Runs the command chosen for m (step by step as configured); ran is false when none applies.
struct TwoWayContext {
  std::string messageId, date, time, route;
};
CommandOutcome RunTwoWayCommand(const SmsMessageRecord& m, const TwoWayContext& context);

// Sends reply back to the sender of m as a submission of "localsystem-2way".
bool SendTwoWayReply(const SmsMessageRecord& m, std::string_view reply, std::string_view route,
                     std::string_view smppOptions);
