#include "gsm/submit_pdu.h"

#include <gtest/gtest.h>

namespace {

SubmitPduRequest Request(std::string to, std::string text) {
  SubmitPduRequest r;
  r.destination = std::move(to);
  r.userData = std::move(text);
  return r;
}

SubmitPdu Build(const SubmitPduRequest& r) {
  SubmitPdu pdu;
  std::string error;
  EXPECT_TRUE(BuildSubmitPdu(r, pdu, error)) << error;
  return pdu;
}

std::string Refusal(const SubmitPduRequest& r) {
  SubmitPdu pdu;
  std::string error;
  EXPECT_FALSE(BuildSubmitPdu(r, pdu, error));
  EXPECT_TRUE(pdu.hex.empty());
  return error;
}

}  // namespace

TEST(SubmitPdu, KnownVectors) {
  SetMessageReferenceCounter(0);
  SubmitPdu pdu = Build(Request("+447700900123", "hello"));
  EXPECT_EQ(pdu.hex, "0001010C91447700091032000005E8329BFD06");
  EXPECT_EQ(pdu.tpduLength, 18);
  EXPECT_EQ(pdu.messageReference, 1);

  SubmitPduRequest r = Request("+447700900123", "hello");
  r.optionBits = kSubmitStatusReport;
  r.validity = "2d";
  pdu = Build(r);
  EXPECT_EQ(pdu.hex, "0031020C914477000910320000A805E8329BFD06");
  EXPECT_EQ(pdu.tpduLength, 19);

  r = Request("012", "x");
  r.optionBits = kSubmitReplyPath | kSubmitStatusReport;
  r.smsc = "+447785016005";
  r.pid = 0x41;
  r.zeroMessageReference = true;
  pdu = Build(r);
  EXPECT_EQ(pdu.hex, "0791447758100650" "A100" "038110F2" "4100" "0178");
  EXPECT_EQ(pdu.tpduLength, 10);
  EXPECT_EQ(pdu.messageReference, 0);

  r.noSmscField = true;
  r.zeroMessageReference = false;
  pdu = Build(r);
  EXPECT_EQ(pdu.hex, "A103038110F241000178");  // the counter was not touched by reference 00
  EXPECT_EQ(pdu.tpduLength, 10);
}

TEST(SubmitPdu, ReferencesRunOneTo255) {
  SetMessageReferenceCounter(253);
  EXPECT_EQ(NextMessageReference(), 254);
  EXPECT_EQ(NextMessageReference(), 255);
  EXPECT_EQ(NextMessageReference(), 1);
  EXPECT_EQ(NextMessageReference(), 2);
}

TEST(SubmitPdu, Addresses) {
  EXPECT_EQ(EncodeAddress("+447700900123"), "0C91447700091032");
  EXPECT_EQ(EncodeAddress("012"), "038110F2");
  EXPECT_EQ(EncodeAddress("1"), "0181F1");
  EXPECT_EQ(EncodeAddress(""), "00");
  EXPECT_TRUE(IsDialableNumber("+1"));
  EXPECT_TRUE(IsDialableNumber("12345678901234567890"));
  for (const char* bad : {"", "+", "12a", "Info", "+44 77", "123456789012345678901", "++1", "1+"}) {
    EXPECT_FALSE(IsDialableNumber(bad)) << bad;
  }
}

TEST(SubmitPdu, ValidityPeriods) {
  const struct {
    const char* text;
    int octet;
  } cases[] = {
      {"", -1},     {"0h", -1},  {"12x", -1}, {"12", -1},   {"h", -1},    {"-5m", -1},
      {"5m", 1},    {" 30M", 6}, {"4m", 1},   {"715m", 143}, {"716m", 143}, {"719m", 143},
      {"1000m", 153}, {"1h", 12}, {"11h", 132}, {"12h", 143}, {"13H", 145}, {"24h", 167},
      {"25h", 168}, {"100h", 171}, {"1d", 167}, {"2d", 168},   {"2D", 168},  {"30d", 196},
      {"31d", 196}, {"99999999999999999999d", 196}, {"9999h", 196}, {"99999999m", 196},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidityPeriodOctet(c.text), c.octet) << c.text;

  SubmitPduRequest r = Request("1", "x");
  r.validity = "0h";
  EXPECT_EQ(Build(r).hex.substr(2, 2), "01");  // no 0x10 flag
  r.validity = "12x";
  EXPECT_EQ(Build(r).hex.substr(2, 2), "01");
  r.validity = "48h";
  EXPECT_EQ(Build(r).hex.substr(2, 2), "11");
}

TEST(SubmitPdu, UserDataForms) {
  // UCS-2 text, emoji as a surrogate pair.
  SubmitPduRequest r = Request("1", "a😀");
  r.dcs = 0x08;
  r.zeroMessageReference = true;
  EXPECT_EQ(Build(r).hex, "0001000181F100080600" "61D83DDE00");
  // 8-bit text: the bytes as they are.
  r = Request("1", "AB");
  r.dcs = 0x04;
  r.zeroMessageReference = true;
  EXPECT_EQ(Build(r).hex, "0001000181F10004024142");
  // Hex data with a header.
  r = Request("1", "060504158a00000102");
  r.userDataIsText = false;
  r.headerPresent = true;
  r.dcs = 0x04;
  r.zeroMessageReference = true;
  EXPECT_EQ(Build(r).hex, "0041000181F1000409060504158A00000102");
}

TEST(SubmitPdu, SevenBitHexLengths) {
  const struct {
    const char* hex;
    bool header;
    size_t septetCount;
    const char* udlAndData;
  } cases[] = {
      {"E8329BFD06", false, 0, "05E8329BFD06"},                 // 5 octets -> 5 septets
      {"E8329BFD4697D9", false, 0, "08E8329BFD4697D9"},         // full group, last octet not 0/1
      {"E8329BFD469701", false, 0, "07E8329BFD469701"},         // last septet taken for padding
      {"050003A10201", true, 0, "08050003A1020100"},            // header only: padded
      {"0500030A0201C2", true, 0, "08" "0500030A0201C2"},
      {"050003A1020262B219AD66BB0100", true, 15, "0F050003A1020262B219AD66BB0100"},
      {"050003A1020262B219AD66BB0100", true, 0, "0F050003A1020262B219AD66BB0100"},
  };
  for (const auto& c : cases) {
    SubmitPduRequest r = Request("1", c.hex);
    r.userDataIsText = false;
    r.headerPresent = c.header;
    r.septetCount = c.septetCount;
    r.zeroMessageReference = true;
    const std::string hex = Build(r).hex;
    EXPECT_EQ(hex.substr(16), c.udlAndData) << c.hex;
  }
  // A known count keeps a final "@" that the derived length would drop.
  SubmitPduRequest r = Request("1", "C3E1F0B85C2E9700");
  r.userDataIsText = false;
  r.septetCount = 9;
  r.zeroMessageReference = true;
  EXPECT_EQ(Build(r).hex.substr(16, 2), "09");
  r.septetCount = 12;
  EXPECT_NE(Refusal(r), "");
}

TEST(SubmitPdu, RefusedMessages) {
  EXPECT_NE(Refusal(Request("Info", "x")).find("destination"), std::string::npos);
  EXPECT_NE(Refusal(Request("", "x")), "");
  EXPECT_NE(Refusal(Request("+44 7700", "x")), "");
  EXPECT_NE(Refusal(Request("123456789012345678901", "x")), "");
  SubmitPduRequest r = Request("1", "x");
  r.smsc = "smsc.example";
  EXPECT_NE(Refusal(r).find("SMSC"), std::string::npos);
  EXPECT_NE(Refusal(Request("1", std::string(161, 'x'))).find("161"), std::string::npos);
  EXPECT_NE(Refusal(Request("1", std::string(159, 'x') + "€")), "");
  EXPECT_EQ(Build(Request("1", std::string(158, 'x') + "€")).hex.substr(16, 2), "A0");
  r = Request("1", std::string(70, 'x') + "😀");
  r.dcs = 0x08;
  EXPECT_NE(Refusal(r), "");
  r = Request("1", std::string(282, 'A'));
  r.userDataIsText = false;
  r.dcs = 0x04;
  EXPECT_NE(Refusal(r), "");
  r.userData = std::string(280, 'A');
  EXPECT_EQ(Build(r).hex.substr(16, 2), "8C");
  r.userData = "0G";
  EXPECT_NE(Refusal(r), "");
  r.userData = "0A0000";
  r.headerPresent = true;
  EXPECT_NE(Refusal(r), "");
  r = Request("1", "text");
  r.headerPresent = true;
  EXPECT_NE(Refusal(r), "");
}

TEST(SubmitPdu, SevenBitDcsGroups) {
  const struct {
    uint8_t dcs;
    bool sevenBit;
  } cases[] = {{0x00, true},  {0x04, false}, {0x08, false}, {0x0C, true},  {0x10, true},  {0x11, true},
               {0x14, false}, {0x18, false}, {0x20, true},  {0x3C, true},  {0x3F, true},  {0x40, false},
               {0x80, false}, {0xBF, false}, {0xC0, true},  {0xCF, true},  {0xD8, true},  {0xDF, true},
               {0xE0, false}, {0xEF, false}, {0xF0, true},  {0xF3, true},  {0xF4, false}, {0xF5, false},
               {0xFB, true},  {0xFF, false}};
  for (const auto& c : cases) EXPECT_EQ(IsSevenBitDcs(c.dcs), c.sevenBit) << std::hex << int(c.dcs);
  EXPECT_TRUE(IsUcs2Dcs(0x08));
  EXPECT_TRUE(IsUcs2Dcs(0x18));
  EXPECT_TRUE(IsUcs2Dcs(0xE8));
  EXPECT_FALSE(IsUcs2Dcs(0x04));
  EXPECT_FALSE(IsUcs2Dcs(0xF4));
}

TEST(SubmitPdu, HeaderLayouts) {
  EXPECT_EQ(ConcatUdh8(0xA1, 2, 1), "050003A10201");
  EXPECT_EQ(ConcatUdh16(0xABCD, 3, 2), "060804ABCD0302");
  EXPECT_EQ(ConcatUdh(false, 0x12A1, 2, 2), "050003A10202");
  EXPECT_EQ(ConcatUdh(true, 0x12A1, 2, 2), "06080412A10202");
  EXPECT_EQ(PortUdh16(2948, 9200), "0605040B8423F0");
  EXPECT_EQ(PortUdh16(2948, 9200), kWapPushUdh);
}
