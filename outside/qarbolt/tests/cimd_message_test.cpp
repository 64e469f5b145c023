// Operation 03 as built from a message, and operations 20 and 23 as read for the callbacks.
#include "outside/qarbolt/cimd_message.h"

#include <gtest/gtest.h>

#include <map>

#include "outside/qarbolt/qarbolt.h"

namespace {

std::map<int, std::string> Params(const cimd::Packet& p) {
  std::map<int, std::string> m;
  for (const cimd::Parameter& x : p.params) m[x.code] = x.value;
  return m;
}

TEST(CimdMessage, SubmitParameters) {
  struct Case {
    const char* name;
    cimd::OutboundMessage m;
    std::map<int, std::string> expected;
  };
  const Case cases[] = {
      {"text", {"4711", "+4512345678", 0, 0, "", "Hi \xE2\x82\xAC", 0, false}, {{21, "+4512345678"}, {23, "4711"}, {33, "Hi _XXe"}}},
      {"alphanumeric sender", {"Shop_24", "4512345678", 0, 0, "", "x", 0, false},
       {{21, "4512345678"}, {27, "Shop_--24"}, {33, "x"}}},
      {"no sender", {"", "4512345678", 0, 0, "", "x", 0, false}, {{21, "4512345678"}, {33, "x"}}},
      {"UCS-2", {"1", "2", 0, 8, "", "\xE2\x82\xAC" "A", 0, false}, {{21, "2"}, {23, "1"}, {30, "8"}, {34, "20AC0041"}}},
      {"binary with UDH", {"1", "2", 0, 0, "0605040b8423f0", "cafe", 0, true},
       {{21, "2"}, {23, "1"}, {30, "4"}, {32, "0605040B8423F0"}, {34, "CAFE"}}},
      {"binary class 1", {"1", "2", 0, 0xF1, "", "00", 0, true}, {{21, "2"}, {23, "1"}, {30, "245"}, {34, "00"}}},
      {"receipt and PID", {"1", "2", 65, 0, "", "x", CIMD_FLAG_RECEIPT, false},
       {{21, "2"}, {23, "1"}, {33, "x"}, {52, "65"}, {56, "62"}}},
      {"non-delivery receipt only", {"1", "2", 0, 0, "", "x", CIMD_FLAG_NONDEL_RECEIPT, false},
       {{21, "2"}, {23, "1"}, {33, "x"}, {56, "54"}}},
  };
  for (const Case& c : cases) {
    cimd::Packet p;
    std::string why;
    ASSERT_TRUE(cimd::BuildSubmit(c.m, p, why)) << c.name << ": " << why;
    EXPECT_EQ(p.op, 3) << c.name;
    EXPECT_EQ(Params(p), c.expected) << c.name;
  }
}

TEST(CimdMessage, SubmitRefusesWhatCannotBeEncoded) {
  struct Case {
    const char* name;
    cimd::OutboundMessage m;
  };
  const std::string text160(160, 'a'), text161(161, 'a');
  const Case cases[] = {
      {"recipient with a letter", {"1", "12a", 0, 0, "", "x", 0, false}},
      {"recipient empty", {"1", "", 0, 0, "", "x", 0, false}},
      {"recipient with TAB", {"1", "12\t021:999", 0, 0, "", "x", 0, false}},
      {"sender of 12 letters", {"ABCDEFGHIJKL", "1", 0, 0, "", "x", 0, false}},
      {"sender with ETX", {"Sh\x03op", "1", 0, 0, "", "x", 0, false}},
      {"text with TAB", {"1", "2", 0, 0, "", "a\tb", 0, false}},
      {"text outside the set", {"1", "2", 0, 0, "", "\xE4\xBD\xA0", 0, false}},
      {"text of 161", {"1", "2", 0, 0, "", text161, 0, false}},
      {"text of 154 after a 6-octet header", {"1", "2", 0, 0, "050003AB0201", std::string(154, 'a'), 0, false}},
      {"binary not hex", {"1", "2", 0, 0, "", "zz", 0, true}},
      {"binary odd", {"1", "2", 0, 0, "", "ABC", 0, true}},
      {"binary of 141 octets", {"1", "2", 0, 0, "", std::string(282, 'A'), 0, true}},
      {"header length wrong", {"1", "2", 0, 0, "0500030102", "x", 0, false}},
      {"UCS-2 not UTF-8", {"1", "2", 0, 8, "", "\xC3", 0, false}},
      {"PID out of range", {"1", "2", 256, 0, "", "x", 0, false}},
  };
  for (const Case& c : cases) {
    cimd::Packet p;
    std::string why;
    EXPECT_FALSE(cimd::BuildSubmit(c.m, p, why)) << c.name;
  }
  // The boundaries themselves pass.
  cimd::Packet p;
  std::string why;
  EXPECT_TRUE(cimd::BuildSubmit({"1", "2", 0, 0, "", text160, 0, false}, p, why)) << why;
  EXPECT_TRUE(cimd::BuildSubmit({"1", "2", 0, 0, "050003AB0201", std::string(153, 'a'), 0, false}, p, why)) << why;
  EXPECT_TRUE(cimd::BuildSubmit({"ABCDEFGHIJK", "2", 0, 0, "", "x", 0, false}, p, why)) << why;
}

cimd::Packet Make(int op, std::map<int, std::string> params) {
  cimd::Packet p;
  p.op = op;
  p.number = 2;
  for (auto& [code, value] : params) p.Add(code, value);
  return p;
}

TEST(CimdMessage, DeliveriesForTheCallbacks) {
  struct Case {
    const char* name;
    cimd::Packet packet;
    bool ok;
    cimd::ReceivedMessage expected;
  };
  cimd::ReceivedMessage text;
  text.sender = "4599";
  text.recipient = "1234";
  text.data = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC";
  cimd::ReceivedMessage alpha;
  alpha.sender = "Info_";
  alpha.recipient = "1234";
  alpha.data = "x";
  alpha.pid = 65;
  cimd::ReceivedMessage ucs2;
  ucs2.sender = "4599";
  ucs2.recipient = "1234";
  ucs2.dcs = 8;
  ucs2.data = "\xE2\x82\xAC" "A";
  cimd::ReceivedMessage bin;
  bin.sender = "4599";
  bin.recipient = "1234";
  bin.dcs = 4;
  bin.udhHex = "06050415811581";
  bin.data = "CAFE";
  bin.binary = true;
  cimd::ReceivedMessage delivered;
  delivered.sender = "4512345678";
  delivered.data = "delivery successful";
  delivered.flags = CIMD_FLAG_IS_REPORT | CIMD_FLAG_DELIVERED;
  delivered.report = true;
  delivered.receiptMessageId = "4512345678:261208134500";
  delivered.extraParams = "CIMDStatusCode=4";
  cimd::ReceivedMessage transit = delivered;
  transit.data = "in process";
  transit.flags = CIMD_FLAG_IS_REPORT | CIMD_FLAG_IN_TRANSIT;
  transit.extraParams = "CIMDStatusCode=1";
  cimd::ReceivedMessage failed = delivered;
  failed.data = "delivery failed";
  failed.flags = CIMD_FLAG_IS_REPORT | CIMD_FLAG_FAILED;
  failed.extraParams = "CIMDStatusCode=3; CIMDStatusErrorCode=29";
  failed.recipient = "4711";
  const Case cases[] = {
      {"text", Make(20, {{21, "1234"}, {23, "4599"}, {33, "Gr_u\"_sse _XXe"}}), true, text},
      {"alphanumeric sender", Make(20, {{21, "1234"}, {27, "Info_--"}, {33, "x"}, {52, "65"}}), true, alpha},
      {"UCS-2", Make(20, {{21, "1234"}, {23, "4599"}, {30, "8"}, {34, "20ac0041"}}), true, ucs2},
      {"binary with UDH", Make(20, {{21, "1234"}, {23, "4599"}, {30, "4"}, {32, "06050415811581"}, {34, "cafe"}}), true, bin},
      {"delivered", Make(23, {{21, "4512345678"}, {60, "261208134500"}, {61, "4"}}), true, delivered},
      {"in transit", Make(23, {{21, "4512345678"}, {60, "261208134500"}, {61, "1"}}), true, transit},
      {"failed", Make(23, {{21, "4512345678"}, {23, "4711"}, {60, "261208134500"}, {61, "3"}, {62, "29"}}), true, failed},
      {"no destination", Make(20, {{23, "4599"}, {33, "x"}}), false, {}},
      {"no originator", Make(20, {{21, "1234"}, {33, "x"}}), false, {}},
      {"text and binary", Make(20, {{21, "1234"}, {23, "4599"}, {33, "x"}, {34, "00"}}), false, {}},
      {"report without status", Make(23, {{21, "4512345678"}, {60, "261208134500"}}), false, {}},
      {"report without time stamp", Make(23, {{21, "4512345678"}, {61, "4"}}), false, {}},
  };
  for (const Case& c : cases) {
    cimd::ReceivedMessage m;
    std::string why;
    ASSERT_EQ(cimd::DecodeDelivery(c.packet, m, why), c.ok) << c.name << ": " << why;
    if (!c.ok) continue;
    const cimd::ReceivedMessage& e = c.expected;
    EXPECT_EQ(m.sender, e.sender) << c.name;
    EXPECT_EQ(m.recipient, e.recipient) << c.name;
    EXPECT_EQ(m.data, e.data) << c.name;
    EXPECT_EQ(m.udhHex, e.udhHex) << c.name;
    EXPECT_EQ(m.pid, e.pid) << c.name;
    EXPECT_EQ(m.dcs, e.dcs) << c.name;
    EXPECT_EQ(m.flags, e.flags) << c.name;
    EXPECT_EQ(m.binary, e.binary) << c.name;
    EXPECT_EQ(m.receiptMessageId, e.receiptMessageId) << c.name;
    EXPECT_EQ(m.extraParams, e.extraParams) << c.name;
  }
}

}  // namespace
