#include "gsm/gsm_alphabet.h"

#include <array>

#include "runtime/hex_text.h"
#include "runtime/debug_log.h"

namespace {

// The default alphabet as code points; 0x1B (the escape) has none.
constexpr char16_t kDefaultAlphabet[128] = {
    u'@',    u'\u00A3', u'$',    u'\u00A5', u'\u00E8', u'\u00E9', u'\u00F9', u'\u00EC',
    u'\u00F2', u'\u00C7', u'\n', u'\u00D8', u'\u00F8', u'\r',   u'\u00C5', u'\u00E5',
    u'\u0394', u'_',    u'\u03A6', u'\u0393', u'\u039B', u'\u03A9', u'\u03A0', u'\u03A8',
    u'\u03A3', u'\u0398', u'\u039E', 0,      u'\u00C6', u'\u00E6', u'\u00DF', u'\u00C9',
    u' ',    u'!',    u'"',    u'#',    u'\u00A4', u'%',    u'&',    u'\'',
    u'(',    u')',    u'*',    u'+',    u',',    u'-',    u'.',    u'/',
    u'0',    u'1',    u'2',    u'3',    u'4',    u'5',    u'6',    u'7',
    u'8',    u'9',    u':',    u';',    u'<',    u'=',    u'>',    u'?',
    u'\u00A1', u'A',  u'B',    u'C',    u'D',    u'E',    u'F',    u'G',
    u'H',    u'I',    u'J',    u'K',    u'L',    u'M',    u'N',    u'O',
    u'P',    u'Q',    u'R',    u'S',    u'T',    u'U',    u'V',    u'W',
    u'X',    u'Y',    u'Z',    u'\u00C4', u'\u00D6', u'\u00D1', u'\u00DC', u'\u00A7',
    u'\u00BF', u'a',  u'b',    u'c',    u'd',    u'e',    u'f',    u'g',
    u'h',    u'i',    u'j',    u'k',    u'l',    u'm',    u'n',    u'o',
    u'p',    u'q',    u'r',    u's',    u't',    u'u',    u'v',    u'w',
    u'x',    u'y',    u'z',    u'\u00E4', u'\u00F6', u'\u00F1', u'\u00FC', u'\u00E0',
};

struct ExtensionEntry {
  uint8_t code;
  uint8_t cp1252;
};
// 0x80 is the euro sign in Windows-1252.
constexpr ExtensionEntry kExtensionEntries[] = {
    {0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'}, {0x3C, '['},
    {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}, {0x65, 0x80},
};

struct Fallback {
  uint8_t first;
  uint8_t last;
  uint8_t septet;
};
// Characters outside the alphabet that have a near twin in it.
constexpr Fallback kFallbacks[] = {
    {0x60, 0x60, 0x27}, {0x82, 0x82, 0x27}, {0x8B, 0x8B, 0x27}, {0x91, 0x92, 0x27},
    {0x9B, 0x9B, 0x27}, {0xB4, 0xB4, 0x27}, {0x84, 0x84, 0x22}, {0x93, 0x94, 0x22},
    {0xAB, 0xAB, 0x22}, {0xBB, 0xBB, 0x22}, {0x85, 0x85, 0x2E}, {0x95, 0x95, 0x2E},
    {0xB7, 0xB7, 0x2E}, {0x83, 0x83, 'f'},  {0x86, 0x86, 't'},  {0x8A, 0x8A, 'S'},
    {0x8C, 0x8C, 'O'},  {0x8E, 0x8E, 'Z'},  {0x9A, 0x9A, 's'},  {0x9C, 0x9C, 'o'},
    {0x9E, 0x9E, 'z'},  {0x9F, 0x9F, 'Y'},  {0xA0, 0xA0, ' '},  {0xA2, 0xA2, 'c'},
    {0xA9, 0xA9, 'c'},  {0xAA, 0xAA, 'a'},  {0xAE, 0xAE, 'R'},  {0xB0, 0xB0, 'o'},
    {0xB2, 0xB2, '2'},  {0xB3, 0xB3, '3'},  {0xB9, 0xB9, '1'},  {0xB5, 0xB5, 'u'},
    {0xBA, 0xBA, '0'},  {0xC0, 0xC3, 'A'},  {0xC8, 0xC8, 'E'},  {0xCA, 0xCB, 'E'},
    {0xCC, 0xCF, 'I'},  {0xD0, 0xD0, 'D'},  {0xD2, 0xD5, 'O'},  {0xD7, 0xD7, 'x'},
    {0xD9, 0xDB, 'U'},  {0xDD, 0xDD, 'Y'},  {0xE1, 0xE3, 'a'},  {0xE7, 0xE7, 0x09},
    {0xEA, 0xEB, 'e'},  {0xED, 0xEF, 'i'},  {0xF0, 0xF0, 'd'},  {0xF3, 0xF5, 'o'},
    {0xFA, 0xFB, 'u'},  {0xFD, 0xFD, 'y'},  {0xFF, 0xFF, 'y'},
};

struct WideEntry {
  char16_t unit;
  uint8_t septet;
};
// Code points above U+00FF that have a septet: the Greek capitals of the alphabet.
constexpr WideEntry kGreekSeptets[] = {
    {u'\u0393', 0x13}, {u'\u0394', 0x10}, {u'\u0398', 0x19}, {u'\u039B', 0x14},
    {u'\u039E', 0x1A}, {u'\u03A0', 0x16}, {u'\u03A3', 0x18}, {u'\u03A6', 0x12},
    {u'\u03A8', 0x17}, {u'\u03A9', 0x15},
};

constexpr std::array<uint8_t, 128> MakeDefaultToCp1252() {
  std::array<uint8_t, 128> t{};
  for (size_t i = 0; i < 128; ++i) {
    char16_t cp = kDefaultAlphabet[i];
    t[i] = (cp == 0 || cp > 0xFF) ? '-' : static_cast<uint8_t>(cp);
  }
  return t;
}

constexpr std::array<uint8_t, 128> MakeExtensionToCp1252() {
  std::array<uint8_t, 128> t{};
  for (auto& v : t) v = '-';
  for (const auto& e : kExtensionEntries) t[e.code] = e.cp1252;
  return t;
}

constexpr std::array<uint8_t, 256> MakeReverseDefault() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = '-';
  for (size_t i = 0; i < 128; ++i) {
    char16_t cp = kDefaultAlphabet[i];
    if (cp != 0 && cp <= 0xFF) t[cp] = static_cast<uint8_t>(i);
  }
  for (const auto& e : kExtensionEntries) t[e.cp1252] = kGsmEscape;
  t[0x98] = kGsmEscape;  // Windows-1252 small tilde
  t[0xA6] = kGsmEscape;  // broken bar
  for (const auto& f : kFallbacks) {
    for (unsigned c = f.first; c <= f.last; ++c) t[c] = f.septet;
  }
  return t;
}

constexpr std::array<uint8_t, 256> MakeReverseExtension() {
  std::array<uint8_t, 256> t{};
  for (const auto& e : kExtensionEntries) t[e.cp1252] = e.code;
  t[0x98] = 0x3D;
  t[0xA6] = 0x40;
  return t;
}


bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Septets of one character (one code unit, or a surrogate pair counted as one character).
// Returns the number of septets (1 or 2) placed in s.
int SeptetsForUnit(char16_t unit, uint8_t s[2]) {
  if (unit <= 0xFF) {
    s[0] = kGsmReverseDefault[unit];
    if (s[0] == kGsmEscape) {
      s[1] = kGsmReverseExtension[unit];
      return 2;
    }
    return 1;
  }
  if (unit == 0x20AC) {
    s[0] = kGsmEscape;
    s[1] = 0x65;
    return 2;
  }
  for (const auto& g : kGreekSeptets) {
    if (g.unit == unit) {
      s[0] = g.septet;
      return 1;
    }
  }
  s[0] = '-';
  return 1;
}

template <typename Emit>
void WalkSeptets(std::string_view septets, size_t count, Emit emit) {
  if (count > septets.size()) count = septets.size();
  for (size_t i = 0; i < count; ++i) {
    uint8_t s = static_cast<uint8_t>(septets[i]);
    if (s > 0x7F) continue;
    if (s == kGsmEscape) {
      if (i + 1 >= count) {
        emit(false, kGsmEscape);
        return;
      }
      ++i;
      emit(true, static_cast<uint8_t>(septets[i]) & 0x7F);
      continue;
    }
    emit(false, s);
  }
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

const std::array<uint8_t, 128> kGsmDefaultToCp1252 = MakeDefaultToCp1252();
const std::array<uint8_t, 128> kGsmExtensionToCp1252 = MakeExtensionToCp1252();
const std::array<uint8_t, 256> kGsmReverseDefault = MakeReverseDefault();
const std::array<uint8_t, 256> kGsmReverseExtension = MakeReverseExtension();

std::u16string Utf8ToUcs2(std::string_view utf8, size_t capacity) {
  std::u16string out;
  if (capacity == 0) return out;
  const size_t maxUnits = capacity - 1;
  size_t i = 0;
  while (i < utf8.size() && out.size() < maxUnits) {
    uint8_t lead = static_cast<uint8_t>(utf8[i]);
    size_t length;
    uint32_t value;
    if (lead >= 0xFC) {
      length = 6, value = lead & 0x01;
    } else if (lead >= 0xF8) {
      length = 5, value = lead & 0x03;
    } else if (lead >= 0xF0) {
      length = 4, value = lead & 0x07;
    } else if (lead >= 0xE0) {
      length = 3, value = lead & 0x0F;
    } else if (lead >= 0xC0) {
      length = 2, value = lead & 0x1F;
    } else {
      length = 1, value = lead;
    }
    if (i + length > utf8.size()) {
      value = 0;  // cut inside a sequence
      i = utf8.size();
    } else {
      for (size_t k = 1; k < length; ++k) {
        value = (value << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
      }
      i += length;
    }
    if (value == 0 || value > 0x10FFFF) {
      out += u'-';
    } else if (value > 0xFFFF) {
      if (out.size() + 2 > maxUnits) break;
      value -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (value >> 10));
      out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
    } else {
      out += static_cast<char16_t>(value);
    }
  }
  return out;
}

std::string Ucs2ToUtf8(std::u16string_view units, size_t bufferSize) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    if (bufferSize < 8 || bufferSize - out.size() < 8) break;
    char16_t u = units[i];
    if (u == 0) break;
    if (IsHighSurrogate(u) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      uint32_t cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) +
                    (static_cast<uint32_t>(units[i + 1]) - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::string Utf8ToUcs2Hex(std::string_view utf8) {
  std::string hex;
  for (char16_t unit : Utf8ToUcs2(utf8)) {
    AppendHexOctet(hex, static_cast<uint8_t>(unit >> 8));
    AppendHexOctet(hex, static_cast<uint8_t>(unit & 0xFF));
  }
  return hex;
}

std::string Ucs2OctetsToUtf8(std::string_view octets) {
  std::u16string units;
  for (size_t i = 0; i + 1 < octets.size(); i += 2) {
    units += static_cast<char16_t>(static_cast<uint8_t>(octets[i]) << 8 | static_cast<uint8_t>(octets[i + 1]));
  }
  return Ucs2ToUtf8(units);
}

size_t Ucs2UnitCount(std::string_view utf8) { return Utf8ToUcs2(utf8).size(); }

size_t Utf8ToGsm(std::string_view utf8, std::string& out, size_t maxSeptets) {
  out.clear();
  std::u16string units = Utf8ToUcs2(utf8);
  for (size_t i = 0; i < units.size(); ++i) {
    uint8_t s[2];
    int n;
    if (IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      s[0] = '-';
      n = 1;
      ++i;
    } else {
      n = SeptetsForUnit(units[i], s);
    }
    if (maxSeptets != 0 && out.size() + static_cast<size_t>(n) > maxSeptets) break;
    out.append(reinterpret_cast<const char*>(s), static_cast<size_t>(n));
  }
  return out.size();
}

size_t GsmSeptetCount(std::string_view utf8) {
  std::string scratch;
  return Utf8ToGsm(utf8, scratch, kGsmSeptetCountLimit);
}

std::string GsmDecodeToLocal(std::string_view septets, size_t count) {
  std::string out;
  WalkSeptets(septets, count, [&](bool extension, uint8_t code) {
    if (!extension && code == kGsmEscape) {
      out += '-';
    } else {
      out += static_cast<char>(extension ? kGsmExtensionToCp1252[code] : kGsmDefaultToCp1252[code]);
    }
  });
  return out;
}

std::string GsmDecodeToUtf8(std::string_view septets, size_t count) {
  std::string out;
  WalkSeptets(septets, count, [&](bool extension, uint8_t code) {
    if (!extension) {
      char16_t cp = kDefaultAlphabet[code];
      AppendUtf8(out, cp == 0 ? u'-' : cp);
    } else if (code == 0x65) {
      AppendUtf8(out, 0x20AC);
    } else {
      out += static_cast<char>(kGsmExtensionToCp1252[code]);
    }
  });
  return out;
}

int UTF8StringRequiresUnicodeEncoding(std::string_view utf8) {
  std::string septets;
  size_t count = Utf8ToGsm(utf8, septets, kGsmSeptetCountLimit + 1);
  std::string roundTrip = GsmDecodeToUtf8(septets, count);
  if (roundTrip == utf8) return 0;
  WriteDebugLog("UTF8StringRequiresUnicodeEncoding", "Translate to/from GSM string results in loss of data");
  WriteDebugLog("UTF8StringRequiresUnicodeEncoding", utf8);
  WriteDebugLog("UTF8StringRequiresUnicodeEncoding", roundTrip);
  return 1;
}

void ReplaceGreekLookalikes(std::string& utf8, size_t bufferSize) {
  static constexpr struct {
    char16_t greek;
    char16_t latin;
  } kTwins[] = {
      {u'\u0391', u'A'}, {u'\u0392', u'B'}, {u'\u0395', u'E'}, {u'\u0396', u'Z'},
      {u'\u0397', u'H'}, {u'\u0399', u'I'}, {u'\u039A', u'K'}, {u'\u039C', u'M'},
      {u'\u039D', u'N'}, {u'\u039F', u'O'}, {u'\u03A1', u'P'}, {u'\u03A4', u'T'},
      {u'\u03A5', u'Y'}, {u'\u03A7', u'X'},
  };
  std::u16string units = Utf8ToUcs2(utf8);
  bool replaced = false;
  for (auto& u : units) {
    for (const auto& t : kTwins) {
      if (u == t.greek) {
        u = t.latin;
        replaced = true;
        break;
      }
    }
  }
  if (replaced) utf8 = Ucs2ToUtf8(units, bufferSize);
}
