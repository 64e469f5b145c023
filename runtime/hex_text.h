// Hexadecimal text as messages, headers, PDUs, chunk lengths and settings carry it: two digits
// an octet, written in upper case, read in either case. The one hexadecimal helper (also
// linked into the outside libraries).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// 0..15; any character that is not a hex digit gives 0.
int HexDigitValue(char c);
// Value of the leading run of hex digits (0 when there is none); stops growing at 32 bits.
uint32_t HexToInt(std::string_view text);
// One octet from the next two characters of cursor, advancing past each one that is
// present; a missing second digit counts as 0.
uint8_t HexOctet(std::string_view& cursor);
// '0'..'9', 'A'..'F' for the high or the low nibble of value.
char HexNibbleChar(unsigned value, bool highNibble);
// Appends one octet as two upper-case digits.
void AppendHexOctet(std::string& out, uint8_t octet);
bool IsHexDigit(char c);
// True for an even number of hex digits and nothing else (the empty text included).
bool IsHexText(std::string_view text);
// Octets of hex text read pair by pair up to the first character that is not a hex digit.
std::string HexDecodeLeading(std::string_view text, size_t maxOctets);
// Upper-case hexadecimal, two digits per octet.
std::string HexEncode(std::string_view bytes);
