#include "gsm/septet_packing.h"

#include <gtest/gtest.h>

#include <random>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"

namespace {

// Straight from the definition: (7 - fill) % 7 zero bits, then 7 bits a septet, least
// significant bit first; a last partial octet is written out.
std::string ReferencePack(const std::string& septets, int fill) {
  std::vector<int> bits((7 - fill) % 7, 0);
  for (char s : septets) {
    for (int b = 0; b < 7; ++b) bits.push_back((static_cast<uint8_t>(s) >> b) & 1);
  }
  std::string octets;
  for (size_t i = 0; i < bits.size(); i += 8) {
    int v = 0;
    for (size_t b = 0; b < 8 && i + b < bits.size(); ++b) v |= bits[i + b] << b;
    octets += static_cast<char>(v);
  }
  // The fill bits of a header stand in front of the text's own first octet.
  return octets;
}

std::string Pack(const std::string& septets, int fill) {
  std::string hex;
  PackSeptetsToHex(septets, septets.size(), hex, fill);
  return hex;
}

}  // namespace

TEST(SeptetPacking, KnownVectors) {
  std::string septets;
  Utf8ToGsm("hellohello", septets, 0);
  EXPECT_EQ(Pack(septets, 0), "E8329BFD4697D9EC37");
  EXPECT_EQ(Pack(septets, 6).substr(0, 2), "D0");  // one zero fill bit after a 6-octet header
  Utf8ToGsm("hello", septets, 0);
  EXPECT_EQ(Pack(septets, 0), "E8329BFD06");
  // Appends to what is there.
  std::string hex = "0500030A0201";
  PackSeptetsToHex("a", 1, hex, 6);
  EXPECT_EQ(hex, "0500030A0201C2");
  EXPECT_EQ(Pack("", 0), "");
  EXPECT_EQ(Pack(std::string(1, '\0'), 0), "00");
}

TEST(SeptetPacking, EveryFillAndLengthAgainstTheDefinition) {
  std::mt19937 rng(7);
  for (int fill = 0; fill < 7; ++fill) {
    for (size_t n = 1; n <= 40; ++n) {
      std::string septets;
      for (size_t i = 0; i < n; ++i) septets += static_cast<char>(rng() % 128);
      const std::string packed = ReferencePack(septets, fill);
      ASSERT_EQ(Pack(septets, fill), HexEncode(packed)) << "fill " << fill << " n " << n;
      EXPECT_EQ(UnpackSeptets(packed, n, fill), septets) << "fill " << fill << " n " << n;
      std::string back;
      size_t count = UnpackHexSeptets(HexEncode(packed), back, n, fill);
      // A last septet 0 in a full final group is taken for padding (see below).
      if (count != n) {
        EXPECT_EQ(count, n - 1);
        EXPECT_EQ(septets.back(), 0);
      }
      EXPECT_EQ(back, septets.substr(0, count)) << "fill " << fill << " n " << n;
    }
  }
}

TEST(SeptetPacking, SpareSeptetRuleIsKept) {
  std::string septets;
  // Seven octets carry eight septets; a last septet 0 is taken for the spare bits.
  EXPECT_EQ(UnpackHexSeptets("E8329BFD4697D9", septets, 0, 0), 8u);
  EXPECT_EQ(UnpackHexSeptets("E8329BFD469701", septets, 0, 0), 7u);
  EXPECT_EQ(DecodeHexSeptetsToUtf8("C1200000000000", 0), "AA@@@@@");
  // A text of eight septets whose last is "@" loses it: stored files and peers expect this.
  std::string abc;
  Utf8ToGsm("abcdefg@", abc, 0);
  EXPECT_EQ(DecodeHexSeptetsToUtf8(Pack(abc, 0), 0), "abcdefg");
  // The same text with its count known keeps the "@".
  std::string exact = UnpackSeptets(HexDecodeLeading(Pack(abc, 0), 100), 8, 0);
  EXPECT_EQ(GsmDecodeToUtf8(exact, exact.size()), "abcdefg@");
  // A counted unpack that stops inside a group does not drop a real "@".
  EXPECT_EQ(UnpackHexSeptets("C1200000000000", septets, 7, 0), 7u);
  EXPECT_EQ(septets.back(), 0);
}

TEST(SeptetPacking, DecodeToTextAndBadInput) {
  EXPECT_EQ(DecodeHexSeptetsToUtf8("e8329bfd06", 0), "hello");  // lower case accepted
  EXPECT_EQ(DecodeHexSeptetsToLocal("1BDE06", 0), "[-");
  // After a 6-octet header: one fill bit.
  std::string hex;
  std::string septets;
  Utf8ToGsm("Grüße {€}", septets, 0);
  PackSeptetsToHex(septets, septets.size(), hex, 6);
  EXPECT_EQ(DecodeHexSeptetsToUtf8(hex, 6), "Grüße {€}");
  EXPECT_EQ(DecodeHexSeptetsToLocal(hex, 6), "Gr\xFC\xDF" "e {\x80}");
  // Bad hex digits read as 0; an odd final digit is a full octet.
  EXPECT_EQ(UnpackHexSeptets("zz", septets, 0, 0), 1u);
  EXPECT_EQ(UnpackHexSeptets("4", septets, 0, 0), 1u);
  EXPECT_EQ(septets[0], 0x40);
  // At most 8,192 septets are decoded.
  EXPECT_EQ(DecodeHexSeptetsToLocal(std::string(20000, 'A'), 0).size() <= kMaxDecodedSeptets, true);
  EXPECT_EQ(UnpackSeptets("\x01", 5, 0).size(), 2u);  // stops when the octets run out
}
