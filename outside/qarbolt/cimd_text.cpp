#include "outside/qarbolt/cimd_text.h"

#include <array>
#include <cstdint>

#include "gsm/gsm_alphabet.h"

namespace cimd {
namespace {

struct Character {
  char32_t codePoint;  // 0 for the escape
  const char* form;    // "" when the character is written as itself
};

constexpr Character kAlphabet[128] = {
    {U'@', "_Oa"},      {U'\u00A3', "_L-"}, {U'$', ""},         {U'\u00A5', "_Y-"}, {U'\u00E8', "_e`"},
    {U'\u00E9', "_e'"}, {U'\u00F9', "_u`"}, {U'\u00EC', "_i`"}, {U'\u00F2', "_o`"}, {U'\u00C7', "_C,"},
    {U'\n', ""},        {U'\u00D8', "_O/"}, {U'\u00F8', "_o/"}, {U'\r', ""},        {U'\u00C5', "_A*"},
    {U'\u00E5', "_a*"}, {U'\u0394', "_gd"}, {U'_', "_--"},      {U'\u03A6', "_gf"}, {U'\u0393', "_gg"},
    {U'\u039B', "_gl"}, {U'\u03A9', "_go"}, {U'\u03A0', "_gp"}, {U'\u03A8', "_gi"}, {U'\u03A3', "_gs"},
    {U'\u0398', "_gt"}, {U'\u039E', "_gx"}, {0, "_XX"},         {U'\u00C6', "_AE"}, {U'\u00E6', "_ae"},
    {U'\u00DF', "_ss"}, {U'\u00C9', "_E'"}, {U' ', ""},         {U'!', ""},         {U'"', ""},
    {U'#', ""},         {U'\u00A4', "_ox"}, {U'%', ""},         {U'&', ""},         {U'\'', ""},
    {U'(', ""},         {U')', ""},         {U'*', ""},         {U'+', ""},         {U',', ""},
    {U'-', ""},         {U'.', ""},         {U'/', ""},         {U'0', ""},         {U'1', ""},
    {U'2', ""},         {U'3', ""},         {U'4', ""},         {U'5', ""},         {U'6', ""},
    {U'7', ""},         {U'8', ""},         {U'9', ""},         {U':', ""},         {U';', ""},
    {U'<', ""},         {U'=', ""},         {U'>', ""},         {U'?', ""},         {U'\u00A1', "_!!"},
    {U'A', ""},         {U'B', ""},         {U'C', ""},         {U'D', ""},         {U'E', ""},
    {U'F', ""},         {U'G', ""},         {U'H', ""},         {U'I', ""},         {U'J', ""},
    {U'K', ""},         {U'L', ""},         {U'M', ""},         {U'N', ""},         {U'O', ""},
    {U'P', ""},         {U'Q', ""},         {U'R', ""},         {U'S', ""},         {U'T', ""},
    {U'U', ""},         {U'V', ""},         {U'W', ""},         {U'X', ""},         {U'Y', ""},
    {U'Z', ""},         {U'\u00C4', "_A\""}, {U'\u00D6', "_O\""}, {U'\u00D1', "_N~"}, {U'\u00DC', "_U\""},
    {U'\u00A7', "_so"}, {U'\u00BF', "_??"}, {U'a', ""},         {U'b', ""},         {U'c', ""},
    {U'd', ""},         {U'e', ""},         {U'f', ""},         {U'g', ""},         {U'h', ""},
    {U'i', ""},         {U'j', ""},         {U'k', ""},         {U'l', ""},         {U'm', ""},
    {U'n', ""},         {U'o', ""},         {U'p', ""},         {U'q', ""},         {U'r', ""},
    {U's', ""},         {U't', ""},         {U'u', ""},         {U'v', ""},         {U'w', ""},
    {U'x', ""},         {U'y', ""},         {U'z', ""},         {U'\u00E4', "_a\""}, {U'\u00F6', "_o\""},
    {U'\u00F1', "_n~"}, {U'\u00FC', "_u\""}, {U'\u00E0', "_a`"},
};

struct Extension {
  uint8_t code;
  char32_t codePoint;
};
constexpr Extension kExtensions[] = {
    {0x0A, U'\f'}, {0x14, U'^'}, {0x28, U'{'}, {0x29, U'}'}, {0x2F, U'\\'},
    {0x3C, U'['},  {0x3D, U'~'}, {0x3E, U']'}, {0x40, U'|'}, {0x65, U'\u20AC'},
};

constexpr uint8_t kNone = 0xFF;
constexpr uint8_t kEscape = 0x1B;

// Code point -> GSM code, for the code points the set has; extension characters map to the
// code after the escape with the high bit set.
uint8_t CodeOf(char32_t cp) {
  static const std::array<uint8_t, 256> latin = [] {
    std::array<uint8_t, 256> t{};
    t.fill(kNone);
    for (size_t i = 0; i < 128; ++i) {
      if (kAlphabet[i].codePoint != 0 && kAlphabet[i].codePoint < 256) t[kAlphabet[i].codePoint] = uint8_t(i);
    }
    for (const Extension& e : kExtensions) {
      if (e.codePoint < 256) t[e.codePoint] = uint8_t(0x80 | e.code);
    }
    return t;
  }();
  if (cp < 256) return latin[cp];
  if (cp == U'\u20AC') return 0x80 | 0x65;
  for (size_t i = 16; i < 27; ++i) {
    if (kAlphabet[i].codePoint == cp) return uint8_t(i);
  }
  return kNone;
}

void AppendForm(std::string& out, uint8_t code) {
  const Character& c = kAlphabet[code];
  if (*c.form) {
    out += c.form;
  } else {
    out += char(c.codePoint);
  }
}

// The code point of one element at value[i] (a combination or a single byte); i advances.
// escape is set for "_XX".
char32_t NextElement(std::string_view value, size_t& i, bool& escape) {
  escape = false;
  unsigned char c = static_cast<unsigned char>(value[i]);
  if (c == '_' && i + 2 < value.size()) {
    std::string_view three = value.substr(i, 3);
    for (size_t code = 0; code < 128; ++code) {
      if (*kAlphabet[code].form && three == kAlphabet[code].form) {
        i += 3;
        if (code == kEscape) escape = true;
        return kAlphabet[code].codePoint;
      }
    }
  }
  if (value.substr(i, 3) == "_qq") {  // the quotation mark's combination, read but never written
    i += 3;
    return U'"';
  }
  ++i;
  return c;  // ASCII as itself, a byte above 0x7F as Latin-1
}

}  // namespace

bool DecodeUtf8(std::string_view utf8, std::u32string& out) {
  out.clear();
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    size_t length;
    char32_t cp;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > utf8.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      unsigned char c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    out.push_back(cp);
    i += length;
  }
  return true;
}

bool EncodeText(std::string_view utf8, std::string& out, size_t& septets) {
  out.clear();
  septets = 0;
  std::u32string cps;
  if (!DecodeUtf8(utf8, cps)) return false;
  for (char32_t cp : cps) {
    uint8_t code = CodeOf(cp);
    if (code == kNone) return false;
    if (code & 0x80) {
      out += kAlphabet[kEscape].form;
      AppendForm(out, code & 0x7F);
      septets += 2;
    } else {
      AppendForm(out, code);
      septets += 1;
    }
  }
  return true;
}

std::string DecodeText(std::string_view value) {
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    bool escape = false;
    char32_t cp = NextElement(value, i, escape);
    if (!escape) {
      AppendUtf8(out, cp);
      continue;
    }
    if (i >= value.size()) {
      out += ' ';  // an escape with nothing after it shows as a space
      break;
    }
    bool again = false;
    char32_t base = NextElement(value, i, again);
    uint8_t code = again ? kEscape : CodeOf(base);
    char32_t shown = base;
    for (const Extension& e : kExtensions) {
      if (e.code == code) shown = e.codePoint;
    }
    if (again) shown = U' ';
    AppendUtf8(out, shown);
  }
  return out;
}

}  // namespace cimd
