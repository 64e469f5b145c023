// The one validator for names that become part of a path, and the one writer of
// "Key=value" lines. Every file the gateway writes goes through these.
#pragma once

#include <string>
#include <string_view>

// A name that becomes part of a path (user, route, recipient, list, extension): refused
// when empty, "." or "..", or holding "/", "\" or a control byte.
bool IsSafePathName(std::string_view name);

// A temporary file of the store's publishing (".~*.tmp"): walkers, movers and the folder
// watch pass it by until it gets its name.
bool IsTempFileName(std::string_view name);

// A single-line value with every CR, LF and other control byte (below 32, and 127)
// removed, so that it cannot inject lines or keys.
std::string StripControlBytes(std::string_view value);
bool HasControlBytes(std::string_view value);

// Appends "key=value" CR LF to out; the value is stripped of control bytes.
void AppendKeyValueLine(std::string& out, std::string_view key, std::string_view value);
