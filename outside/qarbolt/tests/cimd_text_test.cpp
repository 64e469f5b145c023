// The CIMD2 character set: what each character becomes on the wire and back.
#include "outside/qarbolt/cimd_text.h"

#include <gtest/gtest.h>

namespace {

TEST(CimdText, EncodesEveryKindOfCharacter) {
  struct Case {
    const char* utf8;
    const char* wire;
    size_t septets;
  };
  const Case cases[] = {
      {"Hello, world!", "Hello, world!", 13},
      {"", "", 0},
      {"@", "_Oa", 1},
      {"_", "_--", 1},
      {"$", "$", 1},
      {"\xC2\xA4", "_ox", 1},                         // currency sign
      {"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x84\xC3\x96\xC3\x9C\xC3\x9F", "_a\"_o\"_u\"_A\"_O\"_U\"_ss", 7},
      {"\xC3\xA9\xC3\xA8\xC3\x89", "_e'_e`_E'", 3},
      {"\xCE\x94\xCE\xA9\xCE\xA3", "_gd_go_gs", 3},  // Greek capitals of the alphabet
      {"\xC2\xA1\xC2\xBF\xC2\xA7", "_!!_??_so", 3},
      {"\xE2\x82\xAC", "_XXe", 2},                    // euro
      {"[]{}", "_XX<_XX>_XX(_XX)", 8},
      {"~\\|^", "_XX=_XX/_XX_!!_XX_gl", 8},
      {"a\r\nb", "a\r\nb", 4},
      {"\f", "_XX\n", 2},
  };
  for (const Case& c : cases) {
    std::string wire;
    size_t septets = 99;
    ASSERT_TRUE(cimd::EncodeText(c.utf8, wire, septets)) << c.utf8;
    EXPECT_EQ(wire, c.wire) << c.utf8;
    EXPECT_EQ(septets, c.septets) << c.utf8;
    EXPECT_EQ(cimd::DecodeText(wire), c.utf8) << c.wire;
  }
}

TEST(CimdText, RefusesWhatTheSetCannotCarry) {
  const char* cases[] = {
      "\xC3\xA1",          // a-acute has no place in the alphabet
      "\xE4\xBD\xA0",      // CJK
      "\xF0\x9F\x98\x80",  // emoji
      "`",                 // grave accent alone
      "\t",                // TAB would break the packet
      "\x02",
      "\xC3",              // cut UTF-8
      "\xC0\x80",          // overlong
      "\xED\xA0\x80",      // surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xFF",
  };
  for (const char* c : cases) {
    std::string wire;
    size_t septets = 0;
    EXPECT_FALSE(cimd::EncodeText(c, wire, septets)) << c;
  }
}

TEST(CimdText, DecodesWhatCentresSend) {
  struct Case {
    const char* wire;
    const char* utf8;
  };
  const Case cases[] = {
      {"@ raw", "@ raw"},                          // a plain at sign is itself
      {"_qq", "\""},                               // the quote's combination
      {"\xE4", "\xC3\xA4"},                        // a Latin-1 byte
      {"_zz", "_zz"},                              // unknown combination stays
      {"a_", "a_"},                                // a lone underscore at the end
      {"_X", "_X"},
      {"_XX", " "},                                // escape with nothing after it
      {"_XX_XXe", " e"},                           // escape after escape
      {"_XXQ", "Q"},                               // no extension character: the base one
      {"_n~_N~_a`", "\xC3\xB1\xC3\x91\xC3\xA0"},
  };
  for (const Case& c : cases) EXPECT_EQ(cimd::DecodeText(c.wire), c.utf8) << c.wire;
}

}  // namespace
