#include "outside/qarpeer/smpp_pdu.h"

#include <gtest/gtest.h>

#include "outside/qarpeer/message_content.h"

namespace {

std::string Hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

TEST(SmppPdu, CommandLengthOutsideBoundsIsRefused) {
  struct Case {
    const char* header;
    uint32_t expected;
  } cases[] = {
      {"00000010", 16},        {"0000000F", 0}, {"00000000", 0}, {"7FFFFFFF", 0},
      {"FFFFFFFF", 0},         {"00010400", smpp::kMaxPduLength}, {"00010401", 0}, {"0000", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(smpp::CheckedCommandLength(Hex(c.header)), c.expected) << c.header;
}

TEST(SmppPdu, ShortMessageRoundTripKeepsEveryField) {
  smpp::ShortMessage m;
  m.serviceType = "CMT";
  m.sourceTon = 5;
  m.source = "Gateway";
  m.destTon = 1;
  m.destNpi = 1;
  m.dest = "447700900123";
  m.esmClass = 0x40;
  m.protocolId = 0x7F;
  m.validity = "000000020000000R";
  m.registeredDelivery = 1;
  m.dataCoding = 8;
  m.shortMessage = std::string("\x05\x00\x03\x01\x02\x01\x00\x41", 8);
  m.tlvs.push_back({0x0204, std::string("\x00\x4D", 2)});
  smpp::ShortMessage back;
  ASSERT_TRUE(smpp::DecodeShortMessage(smpp::EncodeShortMessage(m, true), back));
  EXPECT_EQ(back.serviceType, "CMT");
  EXPECT_EQ(back.source, "Gateway");
  EXPECT_EQ(back.dest, "447700900123");
  EXPECT_EQ(back.esmClass, 0x40);
  EXPECT_EQ(back.validity, m.validity);
  EXPECT_EQ(back.shortMessage, m.shortMessage);
  ASSERT_EQ(back.tlvs.size(), 1u);
  EXPECT_EQ(back.tlvs[0].tag, 0x0204);
}

// Every way a received body can lie about its own extent.
TEST(SmppPdu, MalformedBodiesAreRejected) {
  smpp::ShortMessage good;
  good.source = "123";
  good.dest = "456";
  good.shortMessage = "hello";
  std::string body = smpp::EncodeShortMessage(good, true);
  struct Case {
    const char* what;
    std::string body;
  } cases[] = {
      {"empty", ""},
      {"service type without terminator", std::string(30, 'A')},
      {"cut inside the addresses", body.substr(0, 8)},
      {"sm_length beyond the body", body.substr(0, body.size() - 2)},
      {"TLV header cut", body + std::string("\x02\x04\x00", 3)},
      {"TLV length beyond the body", body + std::string("\x02\x04\x00\x09\x01", 5)},
  };
  for (const Case& c : cases) {
    smpp::ShortMessage out;
    EXPECT_FALSE(smpp::DecodeShortMessage(c.body, out)) << c.what;
  }
  smpp::ShortMessage out;
  EXPECT_TRUE(smpp::DecodeShortMessage(body, out));
  EXPECT_EQ(out.shortMessage, "hello");

  smpp::BindBody bind;
  EXPECT_FALSE(smpp::DecodeBind(std::string("averyveryverylongsystemid\0", 26), bind));
  EXPECT_FALSE(smpp::DecodeBind(std::string("id\0pw\0", 6), bind));
  std::string id;
  EXPECT_FALSE(smpp::DecodeLeadingCString(std::string(70, 'x'), 65, id));
  EXPECT_TRUE(smpp::DecodeLeadingCString("", 65, id));
  EXPECT_TRUE(smpp::DecodeLeadingCString(std::string("ab\0", 3), 65, id));
  EXPECT_EQ(id, "ab");
}

TEST(SmppPdu, OptionsToTlvAndBack) {
  struct Case {
    const char* name;
    const char* value;
    bool ok;
    uint16_t tag;
    std::string bytes;
    const char* text;
  } cases[] = {
      {"user_message_reference", "77", true, 0x0204, std::string("\x00\x4D", 2), "user_message_reference=77"},
      {"SOURCE_PORT", "2948", true, 0x020A, std::string("\x0B\x84", 2), "source_port=2948"},
      {"receipted_message_id", "ABC", true, 0x001E, std::string("ABC\0", 4), "receipted_message_id=ABC"},
      {"callback_num", "0131", true, 0x0381, std::string("\x01\x31", 2), "callback_num=0131"},
      {"qos_time_to_live", "70000", true, 0x0017, std::string("\x00\x01\x11\x70", 4), "qos_time_to_live=70000"},
      {"1400", "CAFE", true, 0x1400, std::string("\xCA\xFE", 2), "1400=CAFE"},
      {"0x1401", "00", true, 0x1401, std::string("\x00", 1), "1401=00"},
      {"message_state", "300", false, 0, "", ""},
      {"user_message_reference", "-1", false, 0, "", ""},
      {"callback_num", "XYZ", false, 0, "", ""},
      {"nonsense_name", "1", false, 0, "", ""},
      {"12345", "00", false, 0, "", ""},
  };
  for (const Case& c : cases) {
    smpp::Tlv tlv;
    ASSERT_EQ(smpp::TlvFromOption(c.name, c.value, tlv), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(tlv.tag, c.tag) << c.name;
    EXPECT_EQ(tlv.value, c.bytes) << c.name;
    EXPECT_EQ(smpp::OptionFromTlv(tlv), c.text) << c.name;
  }
  // A received text value never carries separators or line ends onward.
  EXPECT_EQ(smpp::OptionFromTlv({0x001E, std::string("a;b\r\nc\0", 7)}), "receipted_message_id=a b  c");
}

TEST(SmppPdu, ValidityTexts) {
  struct Case {
    const char* text;
    const char* smpp;
  } cases[] = {
      {"2h", "000000020000000R"}, {"90m", "000000013000000R"}, {" 3d", "000003000000000R"},
      {"200d", "000099000000000R"}, {"0h", ""}, {"h", ""}, {"5x", ""}, {"5", ""}, {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(peer::RelativeValidity(c.text), c.smpp) << c.text;
}

TEST(SmppPdu, OutboundMessageBuilding) {
  struct Case {
    const char* what;
    peer::OutboundMessage in;
    int status;
    std::string shortMessage;
    uint8_t esmClass, registered, sourceTon, destTon;
  };
  auto make = [](std::string sender, std::string recipient, int dcs, std::string udh, std::string data, bool binary,
                 int flags, std::string extra, int version = 0x34) {
    peer::OutboundMessage m;
    m.sender = sender;
    m.recipient = recipient;
    m.dcs = dcs;
    m.udhHex = udh;
    m.data = data;
    m.binary = binary;
    m.flags = flags;
    m.extraParams = extra;
    m.version = version;
    return m;
  };
  Case cases[] = {
      {"gsm text", make("+4477", "4478", 0, "", "Hi \xE2\x82\xAC", false, 0, ""), 0, "Hi \x1B\x65", 0, 0, 1, 0},
      {"ucs2", make("Gateway", "4478", 8, "", "\xD0\x9F", false, SMPP_FLAG_RECEIPT, ""), 0,
       std::string("\x04\x1F", 2), 0, 1, 5, 0},
      {"binary with udh", make("123", "4478", 4, "0605040B8423F0", "AABB", true, SMPP_FLAG_NONDEL_RECEIPT, ""), 0,
       "\x06\x05\x04\x0B\x84\x23\xF0\xAA\xBB", 0x40, 2, 0, 0},
      {"udh length lies", make("123", "4478", 4, "0705040B8423F0", "AABB", true, 0, ""), 0x01, "", 0, 0, 0, 0},
      {"binary not hex", make("123", "4478", 4, "", "XYZ", true, 0, ""), 0x01, "", 0, 0, 0, 0},
      {"recipient too long", make("1", std::string(21, '1'), 0, "", "x", false, 0, ""), 0x0B, "", 0, 0, 0, 0},
      {"no recipient", make("1", "", 0, "", "x", false, 0, ""), 0x0B, "", 0, 0, 0, 0},
      {"service type too long", make("1", "2", 0, "", "x", false, 0, "ServiceType=ABCDEF"), 0x15, "", 0, 0, 0, 0},
      {"bad option", make("1", "2", 0, "", "x", false, 0, "SMPPOption_source_port=99999"), 0xC4, "", 0, 0, 0, 0},
      {"option on 3.3", make("1", "2", 0, "", "x", false, 0, "SMPPOption_source_port=9", 0x33), 0xC1, "", 0, 0, 0, 0},
      {"too long on 3.3", make("1", "2", 4, "", std::string(600, 'A'), true, 0, "", 0x33), 0x01, "", 0, 0, 0, 0},
      {"ton override", make("1", "2", 0, "", "x", false, 0, "DestTON=2; DestNPI=9"), 0, "x", 0, 0, 0, 2},
  };
  for (const Case& c : cases) {
    smpp::ShortMessage m;
    std::string why;
    ASSERT_EQ(peer::BuildShortMessage(c.in, m, why), c.status) << c.what << ": " << why;
    if (c.status != 0) continue;
    EXPECT_EQ(m.shortMessage, c.shortMessage) << c.what;
    EXPECT_EQ(m.esmClass, c.esmClass) << c.what;
    EXPECT_EQ(m.registeredDelivery, c.registered) << c.what;
    EXPECT_EQ(m.sourceTon, c.sourceTon) << c.what;
    EXPECT_EQ(m.destTon, c.destTon) << c.what;
  }
  // A long binary message travels in message_payload on 3.4.
  smpp::ShortMessage m;
  std::string why;
  ASSERT_EQ(peer::BuildShortMessage(make("1", "2", 4, "", std::string(600, 'A'), true, 0, ""), m, why), 0);
  EXPECT_TRUE(m.shortMessage.empty());
  ASSERT_EQ(m.tlvs.size(), 1u);
  EXPECT_EQ(m.tlvs[0].tag, 0x0424);
  EXPECT_EQ(m.tlvs[0].value.size(), 300u);
}

TEST(SmppPdu, ReceivedMessageDecoding) {
  smpp::ShortMessage m;
  m.source = "4477\r\n";
  m.dest = "1234";
  m.esmClass = 0x40 | 0x04;
  m.dataCoding = 8;
  m.shortMessage = std::string("\x05\x00\x03\x07\x02\x01\x04\x1F", 8);
  m.tlvs.push_back({0x001E, std::string("ID9\0", 4)});
  m.tlvs.push_back({0x0427, std::string("\x02", 1)});
  peer::ReceivedMessage r;
  uint32_t status = 0;
  ASSERT_TRUE(peer::DecodeReceived(smpp::kDeliverSm, 3, m, r, status));
  EXPECT_STREQ(r.view.sender, "4477  ");
  EXPECT_STREQ(r.view.udhHex, "050003070201");
  EXPECT_STREQ(r.view.data, "\xD0\x9F");
  EXPECT_EQ(r.view.binary, 0);
  EXPECT_TRUE(r.view.flags & SMPP_FLAG_IS_REPORT);
  EXPECT_STREQ(r.view.extraParams, "SMPPOption_receipted_message_id=ID9; SMPPOption_message_state=2");

  m.shortMessage = std::string("\x09\x00\x03", 3);  // UDH longer than the message
  EXPECT_FALSE(peer::DecodeReceived(smpp::kDeliverSm, 4, m, r, status));
  EXPECT_EQ(status, 0x01u);
}

}  // namespace

namespace {

// Mutated and cut bodies never make a decoder read outside what it was given (run under
// the sanitizer build to see it).
TEST(SmppPdu, MutatedBodiesAreDecodedSafely) {
  smpp::ShortMessage m;
  m.serviceType = "CMT";
  m.source = "447700900001";
  m.dest = "447700900123";
  m.esmClass = 0x40;
  m.shortMessage = std::string("\x05\x00\x03\x01\x02\x01hello", 11);
  m.tlvs.push_back({0x001E, std::string("ID\0", 3)});
  std::string good = smpp::EncodeShortMessage(m, true);
  smpp::BindBody b;
  b.systemId = "user";
  std::string goodBind = smpp::EncodeBind(b);
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int i = 0; i < 20000; ++i) {
    std::string body = (i % 2) ? good : goodBind;
    int edits = 1 + int(next() % 4);
    for (int e = 0; e < edits; ++e) body[next() % body.size()] = char(next() >> 8);
    body.resize(next() % (body.size() + 1));
    // A heap copy of exactly the cut size, so that an overrun is an out-of-bounds read.
    std::vector<char> exact(body.begin(), body.end());
    std::string_view view(exact.data(), exact.size());
    smpp::ShortMessage out;
    if (smpp::DecodeShortMessage(view, out)) {
      peer::ReceivedMessage r;
      uint32_t status = 0;
      peer::DecodeReceived(smpp::kDeliverSm, 1, out, r, status);
    }
    smpp::DecodeDataSm(view, out);
    smpp::BindBody bind;
    smpp::DecodeBind(view, bind);
    std::string id;
    smpp::DecodeLeadingCString(view, 65, id);
  }
}

}  // namespace
