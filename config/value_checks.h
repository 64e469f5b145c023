// Checks of values that an outside caller (provisioning, the console's "config set") may
// write into INI files, the account store or paths. Each answers only yes or no; the caller
// refuses the request and writes nothing on a no.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings_registry.h"

// A single-line INI value: no control byte (CR, LF, TAB, DEL ...) and no "=", "[" or "]",
// so that it can neither add keys or sections nor end its own line.
bool IsIniSafeValue(std::string_view value);
// An INI key or account name: non-empty, INI-safe, no ";" at its start, and no "/" or "\"
// or "." / ".." (it also names a directory).
bool IsSafeAccountName(std::string_view name);
// "+" (optional, first) and 1 to 20 digits.
bool IsPhoneNumberKey(std::string_view number);
// A literal IPv4 or IPv6 address (no host name, no port).
bool IsIpAddress(std::string_view address);
// A dotted IPv4 address (four decimal parts, nothing else); its binary form in out when
// given.
bool IsDottedIPv4(std::string_view text, struct in_addr* out = nullptr);
// A decimal port 1..65535 without sign or spaces.
bool IsPortNumber(std::string_view port);
// Decimal digits only (1 to 10 of them) whose value fits in 32 bits.
bool IsDecimalNumber(std::string_view text);
// A credit amount: "-"? digits ("." 1 to 3 digits)?, at most 15 digits before the point.
bool IsCreditAmount(std::string_view text);
// A list of address patterns separated by "," or ";": each a dotted quad of up to four
// parts, every part 0..255 or "*".
bool IsAddressPatternList(std::string_view list);

// A value for a key of the settings registry, as its form reads it (Yes/No, a decimal in
// range, a port 0..65535, one or two hexadecimal digits) within the key's length and
// without control bytes. Empty when it may be written, else why not (for the operator).
std::string CheckSettingValue(const SettingKey& k, std::string_view value);
