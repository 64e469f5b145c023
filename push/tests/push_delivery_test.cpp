#include <gtest/gtest.h>

#include "push/push_delivery.h"
#include "push/wbxml.h"
#include "runtime/hex_text.h"
#include "submit/message_parts.h"

namespace {
struct PartsCase {
  const char* name;
  size_t octets;
  bool keepWhole, reference16;
  size_t parts;        // 0: refused
  size_t lastOctets;   // of the last part
};

// One message up to 133 octets, else segments of 128 (127) octets with the ports in each;
// more than 255 segments, or a whole PDU beyond a file's Data, is refused, never cut.
TEST(PushParts, SegmentsAndLimits) {
  const PartsCase kCases[] = {
      {"one part", 133, false, false, 1, 133},
      {"two segments", 134, false, false, 2, 6},
      {"three segments", 300, false, false, 3, 44},
      {"16-bit references", 300, false, true, 3, 46},
      {"255 segments", 255 * 128, false, false, 255, 128},
      {"256 segments refused", 255 * 128 + 1, false, false, 0, 0},
      {"kept whole", 4095, true, false, 1, 4095},
      {"kept whole beyond a file", 4096, true, false, 0, 0},
  };
  for (const PartsCase& c : kCases) {
    SCOPED_TRACE(c.name);
    PushDelivery d;
    d.pdu = std::string(c.octets, '\x5A');
    d.keepWhole = c.keepWhole;
    std::string error;
    std::vector<MessagePart> parts = PushParts(d, 0xF5, c.reference16, error);
    ASSERT_EQ(parts.size(), c.parts) << error;
    if (c.parts == 0) {
      EXPECT_NE(error.find("too large"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(parts.back().message.Data.size(), 2 * c.lastOctets);
    EXPECT_EQ(parts[0].message.Dcs, 0xF5);
    EXPECT_TRUE(parts[0].message.Binary);
    if (c.parts == 1) {
      EXPECT_EQ(parts[0].message.UDH, "0605040B8423F0");
      EXPECT_FALSE(parts[0].segment);
      continue;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
      EXPECT_TRUE(parts[i].segment);
      EXPECT_EQ(parts[i].number, i + 1);
      EXPECT_EQ(parts[i].total, c.parts);
      EXPECT_EQ(parts[i].udhKept, "05040B8423F0");
    }
  }
}

TEST(PushParts, RecipientsByAddress) {
  struct Case { const char* recipient; const char* address; };
  for (const Case& c : {Case{"192.168.1.10", "192.168.1.10"}, Case{"447700900123", ""}, Case{"1.2.3", ""},
                        Case{"256.1.1.1", ""}, Case{"1.2.3.4x", ""}, Case{" 1.2.3.4", ""}})
    EXPECT_EQ(PushUdpAddress(c.recipient, false), c.address) << c.recipient;
}

// A NUL byte in a text never reaches an inline string, where it would end the text.
TEST(PushParts, NoNulInInlineStrings) {
  static const char kDoc[] = "<si><indication href=\"http://a\">x\0y</indication></si>";
  std::string wbxml, error;
  ASSERT_TRUE(CompileXmlDocument(std::string(kDoc, sizeof kDoc - 1), 0x02, 0x6A, wbxml, error)) << error;
  EXPECT_EQ(HexEncode(wbxml), "02056A0045C60C03610001037879000101");
}
}  // namespace
