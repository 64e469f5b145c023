#include "gsm/gsm_alphabet.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The default alphabet in UTF-8, one entry per septet ("" for the escape).
const std::vector<std::string> kAlphabet = {
    "@", "£", "$", "¥", "è", "é", "ù", "ì", "ò", "Ç", "\n", "Ø", "ø", "\r", "Å", "å",
    "Δ", "_", "Φ", "Γ", "Λ", "Ω", "Π", "Ψ", "Σ", "Θ", "Ξ", "",  "Æ", "æ", "ß", "É",
    " ", "!", "\"", "#", "¤", "%", "&", "'", "(", ")", "*", "+", ",", "-", ".", "/",
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", ":", ";", "<", "=", ">", "?",
    "¡", "A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O",
    "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z", "Ä", "Ö", "Ñ", "Ü", "§",
    "¿", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o",
    "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z", "ä", "ö", "ñ", "ü", "à",
};

struct ExtensionCase {
  const char* utf8;
  uint8_t code;
  uint8_t cp1252;
};
const ExtensionCase kExtension[] = {
    {"^", 0x14, '^'}, {"{", 0x28, '{'}, {"}", 0x29, '}'}, {"\\", 0x2F, '\\'}, {"[", 0x3C, '['},
    {"~", 0x3D, '~'}, {"]", 0x3E, ']'}, {"|", 0x40, '|'}, {"€", 0x65, 0x80},
};

std::string Septets(std::string_view utf8, size_t max = 0) {
  std::string out;
  Utf8ToGsm(utf8, out, max);
  return out;
}

std::string Utf8Of(uint32_t cp) { return Ucs2ToUtf8(std::u16string(1, static_cast<char16_t>(cp))); }

}  // namespace

TEST(GsmAlphabet, EveryDefaultCharacterBothWays) {
  ASSERT_EQ(kAlphabet.size(), 128u);
  for (size_t i = 0; i < 128; ++i) {
    if (i == 0x1B) continue;
    const std::string septet(1, static_cast<char>(i));
    EXPECT_EQ(Septets(kAlphabet[i]), septet) << i;
    EXPECT_EQ(GsmDecodeToUtf8(septet, 1), kAlphabet[i]) << i;
    EXPECT_EQ(UTF8StringRequiresUnicodeEncoding(kAlphabet[i]), 0) << i;
    // Windows-1252: the Greek capitals have no form there.
    const uint8_t local = static_cast<uint8_t>(GsmDecodeToLocal(septet, 1)[0]);
    if (i >= 0x10 && i <= 0x1A && i != 0x11) {
      EXPECT_EQ(local, '-') << i;
    } else {
      std::u16string unit = Utf8ToUcs2(kAlphabet[i]);
      EXPECT_EQ(local, unit[0]) << i;
    }
  }
  EXPECT_EQ(GsmDecodeToLocal("\x10", 1), "-");
  EXPECT_EQ(GsmDecodeToUtf8("\x10", 1), "\xCE\x94");
}

TEST(GsmAlphabet, EveryExtensionCharacterBothWays) {
  for (const auto& e : kExtension) {
    const std::string septets = {static_cast<char>(0x1B), static_cast<char>(e.code)};
    EXPECT_EQ(Septets(e.utf8), septets) << e.utf8;
    EXPECT_EQ(GsmDecodeToUtf8(septets, 2), e.utf8);
    EXPECT_EQ(GsmDecodeToLocal(septets, 2), std::string(1, static_cast<char>(e.cp1252)));
    EXPECT_EQ(kGsmExtensionToCp1252[e.code], e.cp1252);
  }
  EXPECT_EQ(Septets("[]{}"), "\x1B\x3C\x1B\x3E\x1B\x28\x1B\x29");
  EXPECT_EQ(GsmSeptetCount("[]{}"), 8u);
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding("[]{}€ ^~|\\"), 0);
  // Codes without a character, the form feed included, and an escape at the very end.
  EXPECT_EQ(GsmDecodeToUtf8("\x1B\x0A", 2), "-");
  EXPECT_EQ(GsmDecodeToUtf8("\x1B\x41", 2), "-");
  EXPECT_EQ(GsmDecodeToUtf8("a\x1B", 2), "a-");
  EXPECT_EQ(GsmDecodeToLocal("a\x1B", 2), "a-");
  // Bytes above 0x7F are skipped but use up the count.
  EXPECT_EQ(GsmDecodeToUtf8("\x80" "ab", 2), "a");
  int withCharacter = 0;
  for (int code = 0; code < 128; ++code) withCharacter += kGsmExtensionToCp1252[code] != '-';
  EXPECT_EQ(withCharacter, 9);
}

TEST(GsmAlphabet, FallbacksAndLookalikes) {
  const struct {
    uint32_t cp;
    const char* septets;
  } cases[] = {
      {0x60, "'"},      {0x82, "'"},       {0xB4, "'"},       {0xAB, "\""},      {0x94, "\""},
      {0xB7, "."},      {0x85, "."},       {0x83, "f"},       {0x8A, "S"},       {0x9F, "Y"},
      {0xA0, " "},      {0xA9, "c"},       {0xAE, "R"},       {0xB0, "o"},       {0xB2, "2"},
      {0xB9, "1"},      {0xBA, "0"},       {0xB5, "u"},       {0xC2, "A"},       {0xCB, "E"},
      {0xCF, "I"},      {0xD0, "D"},       {0xD5, "O"},       {0xD7, "x"},       {0xDB, "U"},
      {0xDD, "Y"},      {0xE3, "a"},       {0xE7, "\x09"},    {0xEB, "e"},       {0xEE, "i"},
      {0xF0, "d"},      {0xF4, "o"},       {0xFA, "u"},       {0xFF, "y"},       {0xFD, "y"},
      {0x80, "\x1B\x65"}, {0x98, "\x1B\x3D"}, {0xA6, "\x1B\x40"}, {0x20AC, "\x1B\x65"},
      {0x7F, "-"},      {0x81, "-"},       {0x96, "-"},       {0xA8, "-"},       {0xBD, "-"},
      {0xDE, "-"},      {0xF7, "-"},       {0xFE, "-"},       {0x07, "-"},       {0x4E2D, "-"},
      {0x0391, "-"},    {0x0393, "\x13"},  {0x03A9, "\x15"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Septets(Utf8Of(c.cp)), c.septets) << std::hex << c.cp;
  }
  // Every code point up to U+00FF has an entry: a septet, or the escape with an extension code.
  for (int cp = 0; cp < 256; ++cp) {
    if (kGsmReverseDefault[cp] == 0x1B) EXPECT_NE(kGsmExtensionToCp1252[kGsmReverseExtension[cp]], '-') << cp;
    else EXPECT_LT(kGsmReverseDefault[cp], 0x80) << cp;
  }
  // A fallback never passes silently: such text goes as UCS-2.
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding("ça"), 1);
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding("`"), 1);
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding("中"), 1);
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding("ok 😀"), 1);
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding("Δ hello @£$"), 0);
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding(""), 0);
}

TEST(GsmAlphabet, LimitNeverExceeded) {
  EXPECT_EQ(Septets("ab{", 3), "ab");  // the escape pair does not fit
  EXPECT_EQ(Septets("ab{", 4), "ab\x1B\x28");
  EXPECT_EQ(Septets("abc", 2), "ab");
  EXPECT_EQ(Septets("€", 1), "");
  EXPECT_EQ(GsmSeptetCount(std::string(20000, 'a')), 8191u);  // the UCS-2 working buffer
  EXPECT_EQ(GsmSeptetCount(std::string(9000, '{')), kGsmSeptetCountLimit - 1);
  // One '-' for a character above U+FFFF, not two.
  EXPECT_EQ(Septets("a😀b"), "a-b");
}

TEST(GsmAlphabet, Ucs2SurrogatesAndLenientDecode) {
  const std::u16string emoji = Utf8ToUcs2("x😀");
  ASSERT_EQ(emoji.size(), 3u);
  EXPECT_EQ(emoji[1], 0xD83D);
  EXPECT_EQ(emoji[2], 0xDE00);
  EXPECT_EQ(Ucs2ToUtf8(emoji), "x😀");
  EXPECT_EQ(Ucs2UnitCount("👍🏽"), 4u);
  EXPECT_EQ(Ucs2UnitCount("añ"), 2u);
  // Cut inside a sequence, and a value beyond Unicode.
  EXPECT_EQ(Ucs2ToUtf8(Utf8ToUcs2("ab\xE2\x82")), "ab-");
  EXPECT_EQ(Ucs2ToUtf8(Utf8ToUcs2("\xF7\xBF\xBF\xBF")), "-");
  // Latin-1 bytes read as themselves.
  EXPECT_EQ(Utf8ToUcs2("\x41\xA9"), std::u16string(u"A\u00A9"));
  // Capacity counts the terminator; a pair is never split.
  EXPECT_EQ(Utf8ToUcs2("abcd", 3), u"ab");
  EXPECT_EQ(Utf8ToUcs2("a😀", 3), u"a");
  EXPECT_EQ(Utf8ToUcs2(std::string(9000, 'x')).size(), 8191u);
  // Lone surrogates come out as U+FFFD, never as invalid UTF-8.
  EXPECT_EQ(Ucs2ToUtf8(std::u16string(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD" "a");
  // The 8-byte reserve: output stops at a character boundary.
  EXPECT_EQ(Ucs2ToUtf8(u"abcdef", 10), "abc");
  EXPECT_EQ(Ucs2ToUtf8(u"ééé", 11), "éé");
  EXPECT_EQ(Ucs2ToUtf8(u"abc", 7), "");
}

TEST(GsmAlphabet, GreekLookalikes) {
  std::string text = "ΑΒΓ";
  ReplaceGreekLookalikes(text);
  EXPECT_EQ(text, "ABΓ");
  EXPECT_EQ(UTF8StringRequiresUnicodeEncoding(text), 0);
  std::string all = "ΑΒΕΖΗΙΚΜΝΟΡΤΥΧ";
  ReplaceGreekLookalikes(all);
  EXPECT_EQ(all, "ABEZHIKMNOPTYX");
  // Nothing replaced: the text stays byte for byte, even when it is not valid UTF-8.
  std::string other = "\xE9t\xE9 😀 αβ";
  ReplaceGreekLookalikes(other);
  EXPECT_EQ(other, "\xE9t\xE9 😀 αβ");
  std::string mixed = "Α😀";
  ReplaceGreekLookalikes(mixed);
  EXPECT_EQ(mixed, "A😀");
}
