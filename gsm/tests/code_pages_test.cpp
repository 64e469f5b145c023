#include "gsm/code_pages.h"

#include <gtest/gtest.h>

TEST(CodePages, Windows1252BothWays) {
  std::string text = "Grüße € „x“ 😀 中";
  Utf8ToCp1252(text, 256);
  EXPECT_EQ(text, "Gr\xFC\xDF" "e \x80 \x84x\x93 ? ?");
  std::string back = "Gr\xFC\xDF" "e \x80 \x84x\x93";
  Cp1252ToUtf8(back, 256);
  EXPECT_EQ(back, "Grüße € „x“");
  // The bytes Windows-1252 leaves unassigned keep their value.
  std::string unassigned = "\x81";
  Cp1252ToUtf8(unassigned, 256);
  EXPECT_EQ(unassigned, "\xC2\x81");
}

TEST(CodePages, OtherCodePagesThroughIconv) {
  const struct {
    unsigned codePage;
    const char* local;
    const char* utf8;
  } cases[] = {
      {936, "\xD6\xD0\xCE\xC4", "中文"},
      {950, "\xA4\xA4\xA4\xE5", "中文"},
      {932, "\x93\xFA\x96\x7B", "日本"},
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {1253, "\xE1\xE2\xE3", "αβγ"},
      {1250, "\x8A\x9A", "Šš"},
      {28591, "\xE9", "é"},
      {65001, "\xE2\x82\xAC", "€"},
  };
  for (const auto& c : cases) {
    std::string text = c.local;
    CodePageToUtf8(text, 256, c.codePage);
    EXPECT_EQ(text, c.utf8) << c.codePage;
    EXPECT_TRUE(UTF8ToLocalString(text, 256, c.codePage)) << c.codePage;
    EXPECT_EQ(text, c.local) << c.codePage;
  }
}

TEST(CodePages, ArabicDigitsBufferLimitAndFailure) {
  std::string arabic = "\xD9\xA0\xD9\xA1\xD9\xA9 \xD8\xB3";  // ٠١٩ س
  EXPECT_TRUE(UTF8ToLocalString(arabic, 256, 1256));
  EXPECT_EQ(arabic, "019 \xD3");
  // The result is cut to the buffer; the failure is reported.
  std::string longText = "abcdefghij";
  EXPECT_FALSE(UTF8ToLocalString(longText, 5, 1252));
  EXPECT_EQ(longText, "abcd");
  std::string unknown = "abc";
  EXPECT_FALSE(UTF8ToLocalString(unknown, 256, 99999));
  EXPECT_EQ(unknown, "abc");
  // The UTF-8 side keeps 8 bytes of reserve.
  std::string wide = "abcdefghijklmnop";
  Cp1252ToUtf8(wide, 12);
  EXPECT_EQ(wide, "abcde");
}

TEST(CodePages, CharsetTables) {
  const struct {
    unsigned mib;
    const char* name;
  } mibs[] = {{3, "us-ascii"},   {4, "iso-8859-1"},  {5, "iso-8859-2"},       {6, "iso-8859-3"},
              {7, "iso-8859-4"}, {8, "iso-8859-5"},  {9, "iso-8859-6"},       {10, "iso-8859-7"},
              {11, "iso-8859-8"}, {12, "iso-8859-9"}, {17, "shift_JIS"},      {106, "utf-8"},
              {1000, "iso-10646-ucs-2"}, {2025, "gb2312"}, {2026, "big5"}, {0, "unknown"}, {13, "unknown"}};
  for (const auto& m : mibs) EXPECT_EQ(CharsetNameForMib(m.mib), m.name) << m.mib;

  const struct {
    const char* name;
    unsigned codePage;
  } charsets[] = {
      {"iso-8859-1", 1252}, {"US-ASCII", 1252}, {"big5", 950},      {"BIG-5", 950},       {"gbk", 936},
      {"GB2312", 936},      {"gb2312-80", 936}, {"shift-jis", 932}, {"Shift_JIS", 932},   {"iso-8859-2", 1250},
      {"iso-8859-4", 1257}, {"iso-8859-5", 1251}, {"iso-8859-6", 1256}, {"iso-8859-7", 1253},
      {"iso-8859-8", 1255}, {"iso-8859-9", 1254}, {"utf-8", 65001},    {"UTF8", 65001},     {"windows-1251", 1251},
      {"latin1", 28591}, {"l1", 28591}, {"koi8-r", 20866}, {"x-unknown-set", 0}, {"", 0},
      {"iso-8859", 0},      {"gb2312=936", 0},
  };
  for (const auto& c : charsets) EXPECT_EQ(CodePageForCharset(c.name), c.codePage) << c.name;
  // Every code page the tables give can be converted.
  for (const char* name : {"big5", "gbk", "shift_jis", "iso-8859-9", "utf-8", "koi8-r", "euc-kr", "latin1"}) {
    std::string text = "abc";
    EXPECT_TRUE(UTF8ToLocalString(text, 64, CodePageForCharset(name))) << name;
  }
}

TEST(CodePages, NonAscii) {
  EXPECT_EQ(ContainsNonAscii("plain text 123"), 0);
  EXPECT_EQ(ContainsNonAscii("caf\xC3\xA9"), 1);
  EXPECT_EQ(ContainsNonAscii("\x80"), 1);
  EXPECT_EQ(ContainsNonAscii(""), 0);
}

// Queue text that is valid UTF-8 is kept byte for byte, whatever it looks like in
// Windows-1252; anything else is read as Windows-1252.
TEST(CodePages, QueueTextIsUtf8UnlessItCannotBe) {
  const struct {
    const char* stored;
    const char* utf8;
    bool valid;
  } cases[] = {
      {"", "", true},
      {"plain", "plain", true},
      {"caf\xC3\xA9 \xC2\xA3" "5 \xE2\x82\xAC \xF0\x9F\x98\x80", "café £5 € 😀", true},
      {"\xC3\x83\xC2\xA9", "Ã©", true},  // UTF-8 that reads like double-encoded text stays
      {"caf\xE9 \xA3" "5 \x80", "café £5 €", false},
      {"\xC3", "Ã", false},                    // cut sequence
      {"\xC0\xAF", "À¯", false},               // overlong
      {"\xE0\x80\xAF", "à€¯", false},   // overlong, three bytes
      {"\xED\xA0\x80", "í\xC2\xA0€", false},  // surrogate
      {"\xF4\x90\x80\x80", "ô\xC2\x90€€", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", "õ€€€", false},
      {"\xE2\x82", "â‚", false},
      {"\x80\x80", "€€", false},  // continuation without a lead byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.stored), c.valid) << c.stored;
    std::string text = c.stored;
    QueueTextToUtf8(text);
    EXPECT_EQ(text, c.utf8) << c.stored;
    EXPECT_TRUE(IsValidUtf8(text)) << c.stored;
  }
}
