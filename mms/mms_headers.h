// The text form of MMS header fields: one line ("Name: value", no line end) per binary field,
// and the content type with its parameters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "push/wsp_decode.h"

// The line of one field (code >= 0x80), or "" when the field is unknown or its value cannot
// be shown (no text, an unknown token, an integer over 8 octets, an unprintable date). No
// line carries a control byte.
std::string MmsFieldLine(const WspField& field);
// "name: value" of an application header whose name and text value were read; "" when
// either holds nothing printable.
std::string MmsApplicationHeaderLine(std::string_view name, std::string_view value);

// A content-type value (well-known short value, text, or value-length general form).
struct MmsContentType {
  std::string type;        // "" when the value could not be read
  std::string parameters;  // "; name=value" ...
  std::string name;        // the name parameter (text only)
  std::string charset;     // the charset parameter's name, "" when none or unknown
  std::string start;       // the start parameter
};
bool DecodeMmsContentType(WspReader& r, MmsContentType& out);

// Seconds since 1970 in the gateway's HTTP date form; "" when the year is outside 1970-9999.
std::string MmsDateText(uint64_t seconds);
// The text name of a field code ("Subject" for 0x96), null when it has none.
const char* MmsFieldName(uint8_t code);
// Field value names used by both the decoder and the packer.
std::string_view MmsMessageTypeName(uint32_t value);  // 0x80.. "m-send-req" ...; "" when unknown
