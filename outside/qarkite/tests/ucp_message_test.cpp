// Submit fields, received operations and results: what goes into which field, and what is
// refused.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "outside/qarkite/kite_session.h"
#include "outside/qarkite/qarkite.h"
#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_message.h"

namespace {

using namespace ucp;

TEST(UcpMessage, SubmitFields) {
  struct Case {
    const char* what;
    OutboundMessage in;
    std::map<int, std::string> fields;  // every other field stays empty
  } cases[] = {
      {"plain text", {"4911", "0612345678", 0, 0, "", "Hi €", 0, false},
       {{kAdC, "0612345678"}, {kOAdC, "4911"}, {kMT, "3"}, {kMsg, "4869201B65"}}},
      {"international numbers", {"+4911", "+4912", 0, 0, "", "a", 0, false},
       {{kAdC, "004912"}, {kOAdC, "4911"}, {kOTOA, "1139"}, {kMT, "3"}, {kMsg, "61"}}},
      {"flash text keeps its DCS", {"", "1", 0, 0x10, "", "a", 0, false},
       {{kAdC, "1"}, {kMT, "3"}, {kMsg, "61"}, {kXSer, "020110"}}},
      {"UCS-2", {"4911", "1", 0, 8, "", "Ж€", 0, false},
       {{kAdC, "1"}, {kOAdC, "4911"}, {kMT, "4"}, {kNB, "32"}, {kMsg, "041620AC"}, {kXSer, "020108"}}},
      {"binary with UDH", {"4911", "1", 0, 0, "0605040B8423F0", "00FF", 0, true},
       {{kAdC, "1"}, {kOAdC, "4911"}, {kMT, "4"}, {kNB, "16"}, {kMsg, "00FF"}, {kXSer, "01070605040B8423F0020104"}}},
      {"text with UDH", {"4911", "1", 0, 0, "050003AB0201", "a/b", 0, false},
       {{kAdC, "1"}, {kOAdC, "4911"}, {kMT, "3"}, {kMsg, "612F62"}, {kXSer, "0106050003AB0201"}}},
      {"a slash in an alphanumeric sender is packed", {"A/B", "1", 0, 0, "", "a", 0, false},
       {{kAdC, "1"}, {kOAdC, "06C19710"}, {kOTOA, "5039"}, {kMT, "3"}, {kMsg, "61"}}},
      {"alphanumeric sender", {"ALPHA@NUM", "1", 0, 0, "", "a", 0, false},
       {{kAdC, "1"}, {kOAdC, "10412614190438AB4D"}, {kOTOA, "5039"}, {kMT, "3"}, {kMsg, "61"}}},
      {"receipt, reply path, PID", {"4911", "1", 65, 0, "", "a", UCP_FLAG_RECEIPT | 0x01, false},
       {{kAdC, "1"}, {kOAdC, "4911"}, {kNRq, "1"}, {kNT, "3"}, {kRPID, "0065"}, {kRPI, "1"}, {kMT, "3"}, {kMsg, "61"}}},
      {"failure receipt only", {"4911", "1", 0, 0, "", "a", UCP_FLAG_NONDEL_RECEIPT, false},
       {{kAdC, "1"}, {kOAdC, "4911"}, {kNRq, "1"}, {kNT, "2"}, {kMT, "3"}, {kMsg, "61"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> fields;
    std::string why;
    ASSERT_TRUE(BuildSubmitFields(c.in, fields, why)) << why;
    ASSERT_EQ(fields.size(), size_t(kField5xCount));
    for (int i = 0; i < kField5xCount; ++i) {
      auto it = c.fields.find(i);
      EXPECT_EQ(fields[size_t(i)], it == c.fields.end() ? "" : it->second) << "field " << i;
    }
  }
}

TEST(UcpMessage, SubmitRefusals) {
  struct Case {
    const char* what;
    OutboundMessage in;
  } cases[] = {
      {"empty recipient", {"1", "", 0, 0, "", "a", 0, false}},
      {"recipient with a TAB", {"1", "12\t3", 0, 0, "", "a", 0, false}},
      {"recipient with STX", {"1", "12\x02", 0, 0, "", "a", 0, false}},
      {"lone plus", {"1", "+", 0, 0, "", "a", 0, false}},
      {"sender of 17 digits", {"12345678901234567", "1", 0, 0, "", "a", 0, false}},
      {"sender outside GSM", {"Жук", "1", 0, 0, "", "a", 0, false}},
      {"PID over 255", {"1", "1", 256, 0, "", "a", 0, false}},
      {"DCS negative", {"1", "1", 0, -1, "", "a", 0, false}},
      {"UDH odd", {"1", "1", 0, 0, "05000", "a", 0, false}},
      {"UDH too short for its length octet", {"1", "1", 0, 0, "050003AB02", "a", 0, false}},
      {"text outside GSM", {"1", "1", 0, 0, "", "中", 0, false}},
      {"161 septets", {"1", "1", 0, 0, "", std::string(159, 'a') + "€", 0, false}},
      {"UDH and 154 septets", {"1", "1", 0, 0, "050003AB0201", std::string(154, 'a'), 0, false}},
      {"UCS-2 of 71 characters", {"1", "1", 0, 8, "", std::string(71, 'a'), 0, false}},
      {"UCS-2 of bad UTF-8", {"1", "1", 0, 8, "", "\xE2\x82", 0, false}},
      {"binary of 141 octets", {"1", "1", 0, 4, "", std::string(282, '0'), 0, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> fields;
    std::string why;
    EXPECT_FALSE(BuildSubmitFields(c.in, fields, why));
    EXPECT_FALSE(why.empty());
  }
  // One short of each limit goes.
  struct Fits {
    OutboundMessage in;
  } fits[] = {{{"1", "1", 0, 0, "", std::string(158, 'a') + "€", 0, false}},
              {{"1", "1", 0, 0, "050003AB0201", std::string(153, 'a'), 0, false}},
              {{"1", "1", 0, 8, "", std::string(70, 'a'), 0, false}},
              {{"1", "1", 0, 4, "", std::string(280, '0'), 0, true}}};
  for (const Fits& f : fits) {
    std::vector<std::string> fields;
    std::string why;
    EXPECT_TRUE(BuildSubmitFields(f.in, fields, why)) << why;
  }
}

std::vector<std::string> Delivery(std::map<int, std::string> set) {
  std::vector<std::string> f(kField5xCount);
  f[kAdC] = "1234";
  f[kOAdC] = "491701234567";
  f[kOTOA] = "1139";
  f[kSCTS] = "081226134501";
  f[kMT] = "3";
  f[kMsg] = "41";
  for (auto& [i, v] : set) f[size_t(i)] = v;
  return f;
}

TEST(UcpMessage, ReceivedOperations) {
  struct Case {
    const char* what;
    int ot;
    std::vector<std::string> fields;
    bool ok;
    InboundMessage out;
  } cases[] = {
      {"text", 52, Delivery({}), true, {"+491701234567", "1234", "", "A", "", 0, 0, 0, false}},
      {"national sender", 52, Delivery({{kOTOA, ""}, {kOAdC, "0170"}}), true, {"0170", "1234", "", "A", "", 0, 0, 0, false}},
      {"alphanumeric sender", 52, Delivery({{kOTOA, "5039"}, {kOAdC, "0D53F41B0E92D100"}}), true,
       {"Shop 24", "1234", "", "A", "", 0, 0, 0, false}},
      {"UCS-2 with UDH", 52,
       Delivery({{kMT, "4"}, {kNB, "32"}, {kMsg, "041620AC"}, {kXSer, "0106050003010201020108"}}), true,
       {"+491701234567", "1234", "050003010201", "Ж€", "", 0, 8, 0, false}},
      {"binary, no DCS given", 52, Delivery({{kMT, "4"}, {kNB, "16"}, {kMsg, "00FF"}}), true,
       {"+491701234567", "1234", "", "00FF", "", 0, 4, 0, true}},
      {"numeric message", 52, Delivery({{kMT, "2"}, {kMsg, "0123"}}), true,
       {"+491701234567", "1234", "", "0123", "", 0, 0, 0, false}},
      {"PID, reply path and receipt asked", 52, Delivery({{kRPID, "0127"}, {kRPI, "1"}, {kNRq, "1"}, {kNT, "1"}}),
       true, {"+491701234567", "1234", "", "A", "", 127, 0, UCP_FLAG_RECEIPT | 0x01, false}},
      {"delivered", 53, Delivery({{kDst, "0"}}), true,
       {"1234", "+491701234567", "", "A", "1234:081226134501", 0, 0, UCP_FLAG_IS_REPORT | UCP_FLAG_DELIVERED, false}},
      {"buffered, no text", 53, Delivery({{kDst, "1"}, {kMT, ""}, {kMsg, ""}}), true,
       {"1234", "+491701234567", "", "", "1234:081226134501", 0, 0, UCP_FLAG_IS_REPORT | UCP_FLAG_IN_TRANSIT, false}},
      {"not delivered, no originator", 53, Delivery({{kDst, "2"}, {kOAdC, ""}, {kOTOA, ""}}), true,
       {"1234", "", "", "A", "1234:081226134501", 0, 0, UCP_FLAG_IS_REPORT | UCP_FLAG_FAILED, false}},
      {"Dst 3", 53, Delivery({{kDst, "3"}}), false, {}},
      {"notification without SCTS", 53, Delivery({{kDst, "0"}, {kSCTS, "0812261345"}}), false, {}},
      {"AdC not digits", 52, Delivery({{kAdC, "12a4"}}), false, {}},
      {"AdC empty", 52, Delivery({{kAdC, ""}}), false, {}},
      {"OAdC of 17 digits", 52, Delivery({{kOAdC, "12345678901234567"}}), false, {}},
      {"alphanumeric OAdC broken", 52, Delivery({{kOTOA, "5039"}, {kOAdC, "0D53"}}), false, {}},
      {"MT 3 code above 7F", 52, Delivery({{kMsg, "4180"}}), false, {}},
      {"MT 3 odd hex", 52, Delivery({{kMsg, "418"}}), false, {}},
      {"NB too large", 52, Delivery({{kMT, "4"}, {kNB, "17"}, {kMsg, "00FF"}}), false, {}},
      {"NB too small", 52, Delivery({{kMT, "4"}, {kNB, "8"}, {kMsg, "00FF"}}), false, {}},
      {"NB missing", 52, Delivery({{kMT, "4"}, {kMsg, "00FF"}}), false, {}},
      {"UDH length disagrees", 52, Delivery({{kXSer, "0106060003010201"}}), false, {}},
      {"DCS of two octets", 52, Delivery({{kXSer, "02020808"}}), false, {}},
      {"MT 6", 52, Delivery({{kMT, "6"}}), false, {}},
      {"RPID over 255", 52, Delivery({{kRPID, "0256"}}), false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InboundMessage m;
    std::string why;
    ASSERT_EQ(DecodeDelivery(c.ot, c.fields, m, why), c.ok) << why;
    if (!c.ok) continue;
    EXPECT_EQ(m.sender, c.out.sender);
    EXPECT_EQ(m.recipient, c.out.recipient);
    EXPECT_EQ(m.udhHex, c.out.udhHex);
    EXPECT_EQ(m.data, c.out.data);
    EXPECT_EQ(m.receiptId, c.out.receiptId);
    EXPECT_EQ(m.pid, c.out.pid);
    EXPECT_EQ(m.dcs, c.out.dcs);
    EXPECT_EQ(m.flags, c.out.flags);
    EXPECT_EQ(m.binary, c.out.binary);
  }
  InboundMessage m;
  std::string why;
  std::vector<std::string> short32 = Delivery({});
  short32.pop_back();
  EXPECT_FALSE(DecodeDelivery(52, short32, m, why));
}

TEST(UcpMessage, Results) {
  struct Case {
    int ot;
    std::vector<std::string> fields;
    bool ok, ack;
    int ec;
    std::string sm;
  } cases[] = {
      {51, {"A", "", "0612345678:081226134501"}, true, true, 0, "0612345678:081226134501"},
      {51, {"A", "081226"}, true, true, 0, ""},
      {60, {"A", ""}, true, true, 0, ""},
      {31, {"A", "ok"}, true, true, 0, "ok"},
      {51, {"N", "24", "Message too long"}, true, false, 24, "Message too long"},
      {60, {"N", "07", ""}, true, false, 7, ""},
      {51, {"N", "00", "x"}, false, false, 0, ""},
      {51, {"N", "", "x"}, false, false, 0, ""},
      {51, {"N", "AB", "x"}, false, false, 0, ""},
      {51, {"N", "02"}, false, false, 0, ""},
      {51, {"X", "", ""}, false, false, 0, ""},
      {51, {"A"}, false, false, 0, ""},
      {51, {"A", "", "", ""}, false, false, 0, ""},
      {51, {"A", "", "id\twith tab"}, false, false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields[0] + "/" + (c.fields.size() > 1 ? c.fields[1] : ""));
    Result r;
    ASSERT_EQ(DecodeResult(c.ot, c.fields, r), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(r.ack, c.ack);
    EXPECT_EQ(r.errorCode, c.ec);
    EXPECT_EQ(r.systemMessage, c.sm);
  }
}

TEST(UcpMessage, TraceHidesLoginPasswords) {
  struct Case {
    std::string content, shown;
  } cases[] = {
      {"01/00049/O/60/gw/6/5/1/736563726574//0100//////BC", "01/00049/O/60/gw/6/5/1/****//0100//////BC"},
      {"01/00060/O/60/gw/6/5/3/736563726574/6E6577/0100//////00", "01/00060/O/60/gw/6/5/3/****/****/0100//////00"},
      {"01/00020/R/60/A//6D", "01/00020/R/60/A//6D"},
      {"01/00045/O/51/0612345678/736563726574/////", "01/00045/O/51/0612345678/736563726574/////"},
      {"01/00030/O/60/gw/6/5/1/7365", "01/00030/O/60/gw/6/5/1/****"},  // a frame cut short hides it too
  };
  for (const Case& c : cases) EXPECT_EQ(kite::MaskedForTrace(c.content), c.shown);
}

TEST(UcpMessage, EveryErrorCodeHasItsText) {
  struct Case {
    int status;
    const char* text;
  } cases[] = {{UCP_ERROR_LINK, "Link error"},   {UCP_ERROR_TIMEOUT, "Timeout"},
               {UCP_ERROR_PROTOCOL, "Protocol"}, {1, "Checksum error"},
               {2, "Syntax error"},              {7, "Authentication failure"},
               {24, "Message too long"},         {38, "Message forwarded"},
               {28, "Unknown"},                  {99, "Unknown"}};
  for (const Case& c : cases) {
    EXPECT_NE(std::string(UCPErrorText(c.status)).find(c.text), std::string::npos) << c.status;
  }
  for (int ec = 1; ec <= 38; ++ec) {
    if (ec == 28 || ec == 29) continue;
    EXPECT_EQ(std::string(UCPErrorText(ec)).find("Unknown"), std::string::npos) << ec;
  }
}

}  // namespace
