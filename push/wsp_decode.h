// Reading WSP-encoded values (uintvars, integers, texts, value lengths, header fields),
// every read bounded by the end of its buffer, and the well-known names of content types
// and character sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A cursor over one buffer. A failed read leaves pos where it was.
struct WspReader {
  std::string_view data;
  size_t pos = 0;
  bool AtEnd() const { return pos >= data.size(); }
  size_t Left() const { return pos < data.size() ? data.size() - pos : 0; }
  uint8_t Peek() const { return static_cast<uint8_t>(data[pos]); }
};

// 7 bits per octet, high bit = more; at most 5 octets and 32 bits.
bool ReadUintvar(WspReader& r, uint32_t& value);
// One octet with the high bit set: its low seven bits. Otherwise a length octet (1..8)
// and that many big-endian octets; a longer integer fails (but is skipped).
bool ReadShortOrLongInteger(WspReader& r, uint64_t& value);
// Long integer only (length octet 1..8 and its octets).
bool ReadLongInteger(WspReader& r, uint64_t& value);
// 0..30 as itself, 31 followed by a uintvar. The length must fit in what is left.
bool ReadValueLength(WspReader& r, uint32_t& length);
// Text up to its NUL (a leading quote octet 0x7F or '"' dropped). Fails without a NUL.
bool ReadText(WspReader& r, std::string& text);
// Skips one field value: an octet >= 0x80, a NUL-terminated text, 0..30 + that many
// octets, or 31 + uintvar + that many octets.
bool SkipFieldValue(WspReader& r);

// "application/vnd.wap.mms-message" for 0x3E; "application/unknown" past the table. The
// other way (name to code, name to MIBenum) is push/wsp.h's ContentTypeCode and CharsetNumber.
std::string_view WellKnownContentType(uint32_t value);
// IANA MIBenum to name; "unknown" for any other number.
std::string_view CharsetName(uint64_t mib);

// One header field of a PDU: the code octet and the encoded value (without the code).
struct WspField {
  uint8_t code = 0;
  std::string_view value;
};
// The first field with code in the header block of pdu (which ends after the content type,
// 0x84). Values longer than maxValue are not taken. False when absent.
bool FindHeaderField(std::string_view pdu, uint8_t code, WspField& field, size_t maxValue = 2048);
// Reads the next field at r: a code octet >= 0x80 and its value, or an application header
// (name text + value text) with code 0 and name set. False at the end or on a malformed field.
bool ReadHeaderField(WspReader& r, WspField& field, std::string* name = nullptr);
