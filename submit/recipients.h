// The recipient list of a submission: entries, distribution lists, normalisation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The distribution-list directory of a user ("" for requests without a login): DLists of
// the program data directory, or its sub-directory named after the user. "" when the user
// name cannot be part of a path.
std::string DistributionListDir(std::string_view user);
// The list file of name in dir (its name with ".TXT", matched without case), or "" when
// there is none or name cannot be part of a path.
std::string FindListFile(const std::string& dir, std::string_view name);

// A leading "+" kept, a ":port" suffix taken off into port (when port is 0), every other
// non-digit removed. Dotted IPv4 addresses and (with AllowAlphaRecip) everything else are
// kept as they are.
std::string NormaliseRecipient(std::string_view entry, uint16_t& port);

// The entries of a recipient list: split at ",", ";" and bytes up to the space, each
// trimmed and cut to 100 characters; empty ones dropped.
std::vector<std::string> SplitRecipientList(std::string_view list);
// Each entry naming a distribution list of the user expands to its lines; every recipient
// normalised, empty ones dropped. The first port found becomes destinationPort.
std::vector<std::string> ExpandRecipientEntries(const std::vector<std::string>& entries, std::string_view user,
                                                uint16_t& destinationPort);
// Both steps on a list text.
std::vector<std::string> ExpandRecipients(std::string_view list, std::string_view user, uint16_t& destinationPort);
