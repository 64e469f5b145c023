// The packet reader, the parse and the parameter checks at their boundaries.
#include "outside/qarbolt/cimd_packet.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A packet as the centre would write it; the checksum is added unless cs is false.
std::string Wire(const std::string& body, bool cs = true) {
  std::string s = "\x02" + body;
  if (cs) {
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", cimd::Checksum(s));
    s += hex;
  }
  return s + "\x03";
}

TEST(CimdPacket, EncodesWithChecksumOverStxToLastTab) {
  cimd::Packet p;
  p.op = 3;
  p.number = 7;
  p.Add(21, "12345678");
  p.Add(33, "hello");
  std::string bytes = cimd::EncodePacket(p);
  std::string head = "\x02" "03:007\t021:12345678\t033:hello\t";
  ASSERT_EQ(bytes.substr(0, head.size()), head);
  unsigned sum = 0;
  for (unsigned char c : head) sum += c;
  char cs[3];
  snprintf(cs, sizeof cs, "%02X", sum & 0xFF);
  EXPECT_EQ(bytes.substr(head.size()), std::string(cs) + "\x03");
}

TEST(CimdPacket, ParseAcceptsAndRefuses) {
  struct Case {
    const char* name;
    std::string bytes;
    bool ok;
    bool headerOk;
  };
  const Case cases[] = {
      {"with checksum", Wire("53:003\t021:123\t060:261208134500\t"), true, true},
      {"without checksum", Wire("53:003\t021:123\t060:261208134500\t", false), true, true},
      {"no parameters", Wire("90:255\t"), true, true},
      {"checksum wrong", "\x02" "90:001\t00\x03", false, true},
      {"checksum lower-case hex accepted when right", "", true, true},
      {"checksum one digit", "\x02" "90:001\tA\x03", false, true},
      {"packet number above 255", Wire("90:256\t"), false, false},
      {"operation not two digits", Wire("9:001\t"), false, false},
      {"no TAB after header", Wire("90:001"), false, false},
      {"parameter code two digits", Wire("20:002\t21:1\t"), false, true},
      {"parameter without colon", Wire("20:002\t0211\t"), false, true},
      {"address with a letter", Wire("20:002\t021:12a\t"), false, true},
      {"address of 21 digits", Wire("20:002\t021:123456789012345678901\t"), false, true},
      {"address of 20 digits and plus", Wire("20:002\t021:+12345678901234567890\t"), true, true},
      {"DCS above 255", Wire("20:002\t030:256\t"), false, true},
      {"binary odd hex", Wire("20:002\t034:ABC\t"), false, true},
      {"binary 140 octets", Wire("20:002\t034:" + std::string(280, 'A') + "\t"), true, true},
      {"binary 141 octets", Wire("20:002\t034:" + std::string(282, 'A') + "\t"), false, true},
      {"time stamp of 11 digits", Wire("23:002\t060:26120813450\t"), false, true},
      {"error code of four digits", Wire("51:001\t900:1000\t"), false, true},
      {"control byte in a value", Wire("20:002\t033:a\x01" "b\t"), false, true},
      {"unknown parameter passes", Wire("20:002\t777:anything\t"), true, true},
      {"too short", "\x02" "90:1\x03", false, false},
  };
  for (const Case& c : cases) {
    std::string bytes = c.bytes;
    if (bytes.empty()) {  // lower-case checksum digits
      bytes = Wire("90:001\t");
      for (char& ch : bytes) ch = char(tolower(static_cast<unsigned char>(ch)));
    }
    cimd::Packet p;
    cimd::ParseResult r = cimd::ParsePacket(bytes, p);
    EXPECT_EQ(r.ok, c.ok) << c.name << ": " << r.why;
    EXPECT_EQ(r.headerOk, c.headerOk) << c.name;
  }
}

TEST(CimdPacket, ParseGivesParametersInOrder) {
  cimd::Packet p;
  ASSERT_TRUE(cimd::ParsePacket(Wire("20:002\t021:1\t033:a:b\t021:2\t"), p).ok);
  EXPECT_EQ(p.op, 20);
  EXPECT_EQ(p.number, 2);
  ASSERT_EQ(p.params.size(), 3u);
  EXPECT_EQ(*p.Find(21), "1");  // the first of two
  EXPECT_EQ(*p.Find(33), "a:b");  // a colon inside a value is data
  EXPECT_EQ(p.Find(34), nullptr);
}

TEST(CimdPacket, TakePacketFramesTheStream) {
  struct Case {
    const char* name;
    std::string stream;
    cimd::FrameResult result;
    std::string packet;
    size_t junk;
    std::string left;
  };
  const std::string a = "\x02" "90:001\t\x03";
  const Case cases[] = {
      {"one packet", a, cimd::FrameResult::Packet, a, 0, ""},
      {"junk before", "\r\nxy" + a, cimd::FrameResult::Packet, a, 4, ""},
      {"two packets", a + a, cimd::FrameResult::Packet, a, 0, a},
      {"cut short by a new STX", "\x02" "20:0" + a, cimd::FrameResult::Packet, a, 5, ""},
      {"incomplete", "\x02" "90:00", cimd::FrameResult::NeedMore, "", 0, "\x02" "90:00"},
      {"only junk", "abc", cimd::FrameResult::NeedMore, "", 3, ""},
      {"ETX without STX", "\x03", cimd::FrameResult::NeedMore, "", 1, ""},
      {"at the cap", "\x02" + std::string(cimd::kMaxPacketBytes - 2, 'a') + "\x03", cimd::FrameResult::Packet,
       "\x02" + std::string(cimd::kMaxPacketBytes - 2, 'a') + "\x03", 0, ""},
      {"one over the cap", "\x02" + std::string(cimd::kMaxPacketBytes - 1, 'a') + "\x03",
       cimd::FrameResult::Oversized, "", 0, ""},
      {"over the cap without ETX", "\x02" + std::string(cimd::kMaxPacketBytes, 'a'), cimd::FrameResult::Oversized,
       "", 0, ""},
  };
  for (const Case& c : cases) {
    std::string buffer = c.stream, packet;
    size_t junk = 0;
    EXPECT_EQ(cimd::TakePacket(buffer, packet, junk), c.result) << c.name;
    if (c.result == cimd::FrameResult::Packet) {
      EXPECT_EQ(packet, c.packet) << c.name;
    }
    EXPECT_EQ(junk, c.junk) << c.name;
    EXPECT_EQ(buffer, c.left) << c.name;
  }
}

TEST(CimdPacket, ValuesThatWouldBreakAPacketAreRefused) {
  struct Case {
    std::string value;
    bool fits;
  };
  const Case cases[] = {{"plain", true},       {"line\r\nbreak", true}, {"tab\there", false},
                        {"stx\x02", false},    {"etx\x03", false},      {std::string("nul\0", 4), false},
                        {"colon:inside", true}};
  for (const Case& c : cases) EXPECT_EQ(cimd::FitsParameter(c.value), c.fits) << c.value;
}

TEST(CimdPacket, TraceNeverShowsThePassword) {
  cimd::Packet p;
  p.op = 1;
  p.number = 1;
  p.Add(10, "user");
  p.Add(11, "s3cret");
  std::string trace = cimd::TraceText(cimd::EncodePacket(p));
  EXPECT_EQ(trace.find("s3cret"), std::string::npos) << trace;
  EXPECT_NE(trace.find("010:user<TAB>011:******<TAB>"), std::string::npos) << trace;
}

}  // namespace
