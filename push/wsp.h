// The encoding primitives of push PDUs: variable-length integers, short and long integers,
// texts, content types and their parameters, and the binary form of header lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Octet strings are std::string holding raw bytes.
void AppendUintvar(std::string& out, uint32_t value);
// A short integer (value | 0x80) for values up to 127, else a long integer.
void AppendInteger(std::string& out, uint64_t value);
// Length octet (1 to 8) and the big-endian octets without leading zeros.
void AppendLongInteger(std::string& out, uint64_t value);
// A text and its NUL; a text beginning with an octet of 0x80 or more is quoted with 0x7F.
void AppendText(std::string& out, std::string_view text);
// The value-length of a general form: one octet below 31, else 0x1F and a uintvar.
void AppendValueLength(std::string& out, size_t length);

// The well-known code of a content type (0..0x7F), or none.
std::optional<uint8_t> ContentTypeCode(std::string_view type);
// The IANA MIBenum of a character set name, or none.
std::optional<uint32_t> CharsetNumber(std::string_view name);
// An application id given as a name from the push table, "0x..." or a number: its number;
// none for any other text (sent as text).
std::optional<uint64_t> ApplicationIdNumber(std::string_view id);

// The content-type field: the code or the text, and the parameters (already encoded) in
// the general form when there are any or when general is asked.
std::string ContentTypeField(std::string_view media, std::string_view parameters, bool general = false);
// The parameters of "type; name=value; ..." text: charset, type, name, filename, start and
// any other as a text parameter.
std::string ContentTypeParameters(std::string_view parameterText);

// One header line "Name: value" in its binary form; empty for a Content-type line (the
// content type comes from elsewhere) and for a blank line.
std::string EncodeHeaderLine(std::string_view line);
// The X-Wap-Application-Id header for an id (empty for an id 0 or an empty one).
std::string ApplicationIdHeader(std::string_view id);

// The security parameters' key for NETWPIN and USERNETWPIN: the IMSI (before any ":")
// packed in semi-octets, then the user PIN after the ":" as text.
std::string NetworkPinKey(std::string_view pin);
