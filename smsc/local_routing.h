// Local routing: a queued message that belongs to a local account (RouteToLocalUser, or
// the section "Inbound SMS Routing") is delivered there instead of to an SMS centre.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct SmsMessageRecord;

struct LocalRoutingLine {
  std::string user;
  std::vector<std::string> items;  // as written: pattern, "service_type=...", "!..."
};

// The best local user for the message under the given lines ("" for none).
std::string LocalUserFromLines(const std::vector<LocalRoutingLine>& lines, std::string_view recipient,
                               std::string_view serviceType);
std::vector<LocalRoutingLine> ParseLocalRoutingSection(const std::vector<std::pair<std::string, std::string>>& lines);

// The local user for m: RouteToLocalUser ("~SMSIN", "~SMSIN::ext", or an account with
// "RECV.FLG"), else the section, kept in memory and re-read within 15 s of a change.
// Names that would not be safe in a path are refused.
std::string LocalUserForMessage(const SmsMessageRecord& m);

// Forgets the section kept in memory (a new configuration file, tests).
void ResetLocalRoutingCache();

// Delivers m to user: "~SMSIN" (optionally "::" and an extension) writes an inbound file,
// any other user gets an "[SMS]" file with extension "req" in its queue directory.
// connection names the worker for the logs. False when the file could not be written.
bool DeliverToLocalUser(const SmsMessageRecord& m, std::string_view user, std::string_view messageFile,
                        std::string_view connection);
// The text of the delivered file.
std::string LocalDeliveryFileText(const SmsMessageRecord& m, bool inbound);
