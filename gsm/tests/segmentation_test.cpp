#include "gsm/segmentation.h"

#include <gtest/gtest.h>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"

namespace {
std::string Septets(const std::string& hex, int fill) {
  std::string out;
  UnpackHexSeptets(hex, out, 0, fill);
  return out;
}
}  // namespace

TEST(Segmentation, GsmTextCutsAtTheRightSizeAndNeverInsideAnEscape) {
  struct {
    std::string text;
    bool ref16, alt;
    std::vector<size_t> septets;  // per segment
  } cases[] = {
      {std::string(160, 'a'), false, false, {153, 7}},  // the caller segments only above 160
      {std::string(306, 'a'), false, false, {153, 153}},
      {std::string(307, 'a'), true, false, {152, 152, 3}},
      {std::string(152, 'a') + "\xE2\x82\xAC" + "b", false, false, {152, 3}},  // euro = escape pair at 153
      {std::string(153, 'a'), false, true, {153, 2}},  // a CR first, then 152 septets
  };
  for (auto& c : cases) {
    auto data = GsmTextSegmentData(c.text, c.ref16, c.alt);
    ASSERT_EQ(data.size(), c.septets.size()) << c.text.size();
    std::string joined;
    for (size_t i = 0; i < data.size(); ++i) {
      int fill = c.alt ? 0 : static_cast<int>((1 + ConcatElementOctets(c.ref16)) % 7);
      std::string s = Septets(data[i], fill);
      // Unpacking may find a spare zero septet where 7 bits of padding remain.
      if (s.size() == c.septets[i] + 1 && s.back() == 0) s.pop_back();
      EXPECT_EQ(s.size(), c.septets[i]) << c.text.size() << " segment " << i;
      if (c.alt) {
        EXPECT_EQ(s[0], '\r');
        s.erase(0, 1);
      }
      joined += s;
    }
    std::string expected;
    Utf8ToGsm(c.text, expected, 0);
    EXPECT_EQ(joined, expected) << c.text.size();
  }
}

TEST(Segmentation, Ucs2SegmentsKeepSurrogatePairsTogether) {
  std::string emoji = "\xF0\x9F\x98\x80";  // one character, two UTF-16 units
  auto data = Ucs2SegmentData(std::string(66, 'a') + emoji + "b", false);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].size(), 66u * 4);
  EXPECT_EQ(data[1], "D83DDE000062");
  data = Ucs2SegmentData(std::string(133, 'a'), true);
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(data[0].size(), 66u * 4);
  EXPECT_EQ(data[2], "0061");
}

TEST(Segmentation, BinaryContentKeepsOtherHeaderElementsAndFitsOneSms) {
  // A concatenation element (dropped) and a port element (kept).
  std::string udh = "0B" "00030A0201" "0504" "0B840000";
  std::string data(2 * 300, 'A');
  struct { uint8_t dcs; bool repeat; } cases[] = {{0x04, false}, {0x04, true}, {0x08, false}};
  for (auto& c : cases) {
    BinarySegments s = SplitBinaryContent(udh, data, c.dcs, false, c.repeat);
    EXPECT_EQ(s.keptHex, "05040B840000") << int(c.dcs);
    size_t total = 0;
    for (size_t i = 0; i < s.data.size(); ++i) {
      size_t header = 1 + 5 + (s.KeptIn(i) ? s.keptHex.size() / 2 : 0);
      size_t octets = s.data[i].size() / 2;
      EXPECT_LE(header + octets, 140u);
      if (i + 1 < s.data.size()) {
        EXPECT_GE(header + octets, c.dcs == 0x08 ? 139u : 140u);
      }
      if (c.dcs == 0x08) {
        EXPECT_EQ(octets % 2, 0u);
      }
      total += octets;
    }
    EXPECT_EQ(total, 300u);
    EXPECT_EQ(s.KeptIn(1), c.repeat);
  }
  // Packed 7-bit content (DCS 0) is repacked after each segment's header.
  std::string septets(300, 'x'), hex;
  PackSeptetsToHex(septets, septets.size(), hex, 0);
  BinarySegments s = SplitBinaryContent("", hex, 0, false, false);
  ASSERT_EQ(s.data.size(), 2u);
  EXPECT_EQ(Septets(s.data[0], 6), std::string(153, 'x'));
}

TEST(Segmentation, ConcatenationHeaders) {
  EXPECT_EQ(ConcatenationUdh(0x1A5, 3, 2, false, ""), "050003A50302");
  EXPECT_EQ(ConcatenationUdh(0x1A5, 3, 2, true, ""), "06080401A50302");
  EXPECT_EQ(ConcatenationUdh(7, 2, 1, false, "05040B840000"), "0B0003070201" "05040B840000");
  for (auto [udh, valid] : {std::pair<const char*, bool>{"", true}, {"050003010201", true}, {"0500030102", false},
                            {"05000301020G", false}, {"0", false}})
    EXPECT_EQ(ValidUdh(udh), valid) << udh;
  EXPECT_EQ(UnicodeDcs(0x00), 0x08);
  EXPECT_EQ(UnicodeDcs(0xF1), 0xF9);
  EXPECT_EQ(UnicodeDcs(0x50), 0x08);
}
