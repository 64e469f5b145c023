// Escapes for values written into the status documents. Every function first makes the
// text valid UTF-8 (a stray byte becomes U+FFFD), so that no peer's reply or connection
// name can make a document unreadable.
#pragma once

#include <string>
#include <string_view>

std::string ValidUtf8(std::string_view text);
// XML character data and attribute values of valid UTF-8 (the push documents' escape).
std::string StatusXmlEscape(std::string_view text);
// A JSON string's content (without the quotes).
std::string JsonEscape(std::string_view text);
// A metrics label value: backslash, double quote and line feed escaped, CR dropped.
std::string MetricsLabelEscape(std::string_view text);
