#include "runtime/hex_text.h"

#include <gtest/gtest.h>

TEST(HexText, DigitValuesAndBadDigits) {
  const struct {
    char c;
    int value;
  } cases[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}, {'f', 15}, {'g', 0}, {' ', 0}, {'\0', 0}, {'G', 0}};
  for (const auto& t : cases) EXPECT_EQ(HexDigitValue(t.c), t.value) << t.c;
}

TEST(HexText, LeadingRunAndOctetCursor) {
  EXPECT_EQ(HexToInt("1aZ9"), 0x1Au);
  EXPECT_EQ(HexToInt("z"), 0u);
  EXPECT_EQ(HexToInt(""), 0u);
  EXPECT_EQ(HexToInt("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(HexToInt("123456789"), 0x12345678u);  // stops before overflowing

  std::string_view cursor = "A5b";
  EXPECT_EQ(HexOctet(cursor), 0xA5);
  EXPECT_EQ(cursor, "b");
  EXPECT_EQ(HexOctet(cursor), 0xB0);  // a missing second digit counts as 0
  EXPECT_TRUE(cursor.empty());
  EXPECT_EQ(HexOctet(cursor), 0x00);

  EXPECT_EQ(HexNibbleChar(0xA7, true), 'A');
  EXPECT_EQ(HexNibbleChar(0xA7, false), '7');
  EXPECT_EQ(HexNibbleChar(0x0F, false), 'F');
}

TEST(HexText, ValidationAndLeadingDecode) {
  EXPECT_TRUE(IsHexText(""));
  EXPECT_TRUE(IsHexText("00aF"));
  EXPECT_FALSE(IsHexText("0"));
  EXPECT_FALSE(IsHexText("0G"));
  EXPECT_FALSE(IsHexText("00 1"));
  EXPECT_EQ(HexDecodeLeading("0102zz03", 100), std::string("\x01\x02", 2));
  EXPECT_EQ(HexDecodeLeading("010203", 2), std::string("\x01\x02", 2));
  EXPECT_EQ(HexDecodeLeading("0102\r\n", 100), std::string("\x01\x02", 2));
  std::string out;
  AppendHexOctet(out, 0x0B);
  EXPECT_EQ(out, "0B");
  EXPECT_EQ(HexEncode(std::string("\x00\xff\x1a", 3)), "00FF1A");
}
