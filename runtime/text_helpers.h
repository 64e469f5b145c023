// Small text helpers used throughout; exact behaviour matters to configuration and file
// parsing. Pure functions with no process state (also linked into the outside libraries).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// True when text begins with "Y", "y" or "1", or equals "TRUE" or "On" ignoring case.
bool ConfigBool(std::string_view text);

// ":", "/" and "\" become "-".
std::string SanitizePathName(std::string_view text);
// CR -> "\r", LF -> "\n" (two characters each), and back.
std::string EscapeCrLf(std::string_view text);
std::string UnescapeCrLf(std::string_view text);

std::string_view SkipSpaces(std::string_view text);   // " " only
std::string_view SkipBlanks(std::string_view text);   // bytes <= 32
std::string_view TrimRight(std::string_view text);    // trailing bytes <= 32
std::string_view Trim(std::string_view text);

// The one list splitter: the items of text between any of separators, each trimmed (bytes
// <= 32 at both ends); empty items are left out.
std::vector<std::string> SplitList(std::string_view text, std::string_view separators = ",");
// The first item of such a list, trimmed; "" when it is empty.
std::string_view FirstListItem(std::string_view text, std::string_view separators = ",");

// The first CR or LF at or after from (npos when none): one scan per character kind, not
// one per character as find_first_of does.
size_t FindLineEnd(std::string_view text, size_t from = 0);
// Position just after the first case-insensitive match, or npos.
size_t FindNoCase(std::string_view text, std::string_view word);
// Position of the first case-insensitive match of a token (see the "@@" rule), or npos.
size_t FindToken(std::string_view text, std::string_view token);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);
int CompareNoCase(std::string_view a, std::string_view b);
std::string ToUpper(std::string_view text);

// Copies text to host; with ":" host ends there and port is the number after it (port
// unchanged otherwise). An IPv6 address is written in brackets ("[::1]:2775", brackets
// dropped from host); a bare one ("::1") is all host. False (host and port untouched) when
// the port is not a number in 0..65535 or the brackets are not closed.
bool SplitHostPort(std::string_view text, std::string& host, uint16_t& port);
// Drops "http://" or "https://" (any case), cuts at the first "\" and "/".
std::string HostFromUrl(std::string_view url);

// Maps a connection's display name to its configuration section and back.
std::string ConnectionSectionName(std::string_view displayName);
std::string ConnectionDisplayName(std::string_view sectionName);

// Decimal text as the settings read it: leading digits, anything else reads as 0.
uint32_t ParseDecimal(std::string_view text);
// Cuts text to at most maxLen bytes.
std::string CutTo(std::string_view text, size_t maxLen);

// Wildcard match ("*", "?") without regard to case.
bool WildcardMatchNoCase(std::string_view pattern, std::string_view name);

