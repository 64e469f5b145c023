#include "runtime/hex_text.h"

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

uint32_t HexToInt(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    if (!IsHexDigit(c)) break;
    if (value > 0x0FFFFFFFu) break;
    value = value * 16 + static_cast<uint32_t>(HexDigitValue(c));
  }
  return value;
}

uint8_t HexOctet(std::string_view& cursor) {
  unsigned value = 0;
  if (!cursor.empty()) {
    value = static_cast<unsigned>(HexDigitValue(cursor[0])) << 4;
    cursor.remove_prefix(1);
  }
  if (!cursor.empty()) {
    value |= static_cast<unsigned>(HexDigitValue(cursor[0]));
    cursor.remove_prefix(1);
  }
  return static_cast<uint8_t>(value);
}

char HexNibbleChar(unsigned value, bool highNibble) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return kDigits[(highNibble ? value >> 4 : value) & 0x0F];
}

void AppendHexOctet(std::string& out, uint8_t octet) {
  out += HexNibbleChar(octet, true);
  out += HexNibbleChar(octet, false);
}

bool IsHexText(std::string_view text) {
  if (text.size() % 2 != 0) return false;
  for (char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

std::string HexDecodeLeading(std::string_view text, size_t maxOctets) {
  std::string out;
  while (text.size() >= 2 && out.size() < maxOctets && IsHexDigit(text[0]) && IsHexDigit(text[1])) {
    out += static_cast<char>(HexOctet(text));
  }
  return out;
}

std::string HexEncode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) AppendHexOctet(out, c);
  return out;
}
