// The frame reader and the field codecs at their boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_frame.h"

namespace {

using ucp::Cut;
using ucp::FrameFault;

const std::string kStx(1, '\x02'), kEtx(1, '\x03');

TEST(UcpFrame, EncodesThePublishedExamples) {
  // An operation 30 and its result as the protocol's own documentation shows them.
  EXPECT_EQ(ucp::EncodeFrame(1, 'O', 30, {"66677789", "", "", "1", "", "", "", "", "", "68656C6C6F"}),
            kStx + "01/00045/O/30/66677789///1//////68656C6C6F/CE" + kEtx);
  EXPECT_EQ(ucp::EncodeFrame(1, 'R', 30, {"A", "", "66677789:180594141236"}),
            kStx + "01/00041/R/30/A//66677789:180594141236/F3" + kEtx);
  // TRN wraps within two digits.
  EXPECT_EQ(ucp::EncodeFrame(100, 'O', 31, {"", "0539"}).substr(1, 3), "00/");
}

TEST(UcpFrame, DecodesAndRefusesAtTheBoundaries) {
  struct Case {
    const char* what;
    std::string content;
    FrameFault fault;
    int trn, ot;
    char kind;
    std::vector<std::string> fields;
  } cases[] = {
      {"operation", "01/00045/O/30/66677789///1//////68656C6C6F/CE", FrameFault::None, 1, 30, 'O',
       {"66677789", "", "", "1", "", "", "", "", "", "68656C6C6F"}},
      {"checksum in lower case", "01/00041/R/30/A//66677789:180594141236/f3", FrameFault::None, 1, 30, 'R',
       {"A", "", "66677789:180594141236"}},
      {"no fields", "01/00016/O/31/C7", FrameFault::None, 1, 31, 'O', {}},
      {"wrong checksum", "01/00045/O/30/66677789///1//////68656C6C6F/CF", FrameFault::Checksum, 1, 30, 'O', {}},
      {"checksum of one digit", "01/00044/O/30/66677789///1//////68656C6C6F/C", FrameFault::Checksum, 1, 30, 'O', {}},
      {"checksum not hex", "01/00045/O/30/66677789///1//////68656C6C6F/CG", FrameFault::Checksum, 1, 30, 'O', {}},
      {"LEN one too many", "01/00046/O/30/66677789///1//////68656C6C6F/CF", FrameFault::Length, 1, 30, 'O', {}},
      {"LEN one too few", "01/00044/O/30/66677789///1//////68656C6C6F/CD", FrameFault::Length, 1, 30, 'O', {}},
      {"TRN not digits", "0A/00045/O/30/66677789///1//////68656C6C6F/DE", FrameFault::Header, -1, -1, 0, {}},
      {"neither O nor R", "01/00045/X/30/66677789///1//////68656C6C6F/D7", FrameFault::Header, -1, -1, 0, {}},
      {"LEN of four digits", "01/0045/O/30/66677789///1//////68656C6C6F/9E", FrameFault::Header, -1, -1, 0, {}},
      {"too short", "01/00015/O/31/", FrameFault::Header, -1, -1, 0, {}},
      {"empty", "", FrameFault::Header, -1, -1, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ucp::Frame f;
    EXPECT_EQ(ucp::DecodeFrame(c.content, f), c.fault);
    EXPECT_EQ(f.trn, c.trn);
    EXPECT_EQ(f.ot, c.ot);
    EXPECT_EQ(f.kind, c.kind);
    EXPECT_EQ(f.fields, c.fields);
  }
}

TEST(UcpFrame, CutsFramesOutOfTheStream) {
  std::string atCap(ucp::kMaxFrameChars, 'x'), overCap(ucp::kMaxFrameChars + 1, 'x');
  struct Piece {
    Cut cut;
    std::string text;  // content of a frame, or the bytes dropped
  };
  struct Case {
    const char* what;
    std::string stream;
    std::vector<Piece> pieces;  // until NeedMore
    std::string left;
  } cases[] = {
      {"one frame", kStx + "abc" + kEtx, {{Cut::Frame, "abc"}}, ""},
      {"two frames and the start of a third", kStx + "a" + kEtx + kStx + "b" + kEtx + kStx + "c",
       {{Cut::Frame, "a"}, {Cut::Frame, "b"}}, kStx + "c"},
      {"bytes before STX", "xy\r\n" + kStx + "a" + kEtx, {{Cut::Dropped, "xy\r\n"}, {Cut::Frame, "a"}}, ""},
      {"stray ETX", kEtx + kStx + "a" + kEtx, {{Cut::Dropped, kEtx}, {Cut::Frame, "a"}}, ""},
      {"a new STX restarts the frame", kStx + "broken" + kStx + "a" + kEtx,
       {{Cut::Dropped, kStx + "broken"}, {Cut::Frame, "a"}}, ""},
      {"frame at the size cap", kStx + atCap + kEtx, {{Cut::Frame, atCap}}, ""},
      {"frame over the size cap", kStx + overCap + kEtx + kStx + "a" + kEtx,
       {{Cut::Dropped, kStx + overCap + kEtx}, {Cut::Frame, "a"}}, ""},
      {"unended frame at the cap waits", kStx + atCap, {}, kStx + atCap},
      {"unended frame over the cap is dropped", kStx + overCap, {{Cut::Dropped, kStx + overCap}}, ""},
      {"empty frame", kStx + kEtx, {{Cut::Frame, ""}}, ""},
      {"nothing", "", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string buffer = c.stream, content, dropped;
    for (const Piece& p : c.pieces) {
      ASSERT_EQ(ucp::CutFrame(buffer, content, dropped), p.cut);
      EXPECT_EQ(p.cut == Cut::Frame ? content : dropped, p.text);
    }
    EXPECT_EQ(ucp::CutFrame(buffer, content, dropped), Cut::NeedMore);
    EXPECT_EQ(buffer, c.left);
  }
}

TEST(UcpFields, AlphanumericOriginator) {
  struct Case {
    std::string text;
    bool ok;
    std::string field;
  } cases[] = {
      {"ALPHA@NUM", true, "10412614190438AB4D"},
      {"Shop 24", true, "0D53F41B0E92D100"},
      {"ABCDEFGHIJK", true, "1441E19058341E9149E512"},  // 11 septets, the most there is room for
      {"ABCDEFGHIJKL", false, ""},
      {"1234567890€", false, ""},  // the euro takes two septets: 12
      {"A", true, "0241"},
      {"", false, ""},
      {"Жук", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string field, back;
    ASSERT_EQ(ucp::EncodeAlphanumericAddress(c.text, field), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(field, c.field);
    ASSERT_TRUE(ucp::DecodeAlphanumericAddress(field, back));
    EXPECT_EQ(back, c.text);
  }
  struct Bad {
    const char* field;
  } bad[] = {{"10"}, {"1041261419"}, {"1G412614190438AB4D"}, {"10412614190438AB4"}, {""},
             {"30412614190438AB4D4142434445"}};
  for (const Bad& b : bad) {
    std::string text;
    EXPECT_FALSE(ucp::DecodeAlphanumericAddress(b.field, text)) << b.field;
  }
}

TEST(UcpFields, ExtraServices) {
  struct Case {
    const char* field;
    bool ok;
    std::vector<std::pair<int, std::string>> items;  // type, data in hex
  } cases[] = {
      {"0106050003AB0201020104", true, {{1, "050003AB0201"}, {2, "04"}}},
      {"", true, {}},
      {"0200", true, {{2, ""}}},
      {"020108", true, {{2, "08"}}},
      {"0201", false, {}},              // item longer than the field
      {"02010", false, {}},             // odd
      {"01", false, {}},                // type without length
      {"0106050003AB02", false, {}},    // data cut
      {"0Z0108", false, {}},            // not hex
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    std::vector<ucp::XSerItem> items;
    ASSERT_EQ(ucp::ParseXSer(c.field, items), c.ok);
    if (!c.ok) continue;
    ASSERT_EQ(items.size(), c.items.size());
    std::string again;
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].type, c.items[i].first);
      std::string data;
      ASSERT_TRUE(ucp::HexToOctets(c.items[i].second, data));
      EXPECT_EQ(items[i].data, data);
      ucp::AppendXSer(again, items[i].type, items[i].data);
    }
    EXPECT_EQ(again, c.field);
  }
}

TEST(UcpFields, GsmCodes) {
  struct Case {
    std::string text;
    bool ok;
    std::string codes;
  } cases[] = {
      {"A@$", true, std::string("A\x00\x02", 3)},
      {"€", true, "\x1B\x65"},
      {"{}[]~^|\\", true, "\x1B\x28\x1B\x29\x1B\x3C\x1B\x3E\x1B\x3D\x1B\x14\x1B\x40\x1B\x2F"},
      {"Ωé\n", true, "\x15\x05\n"},
      {"Ж", false, ""},
      {"\xC3", false, ""},  // a UTF-8 sequence cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string codes, back;
    ASSERT_EQ(ucp::TextToGsmCodes(c.text, codes), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(codes, c.codes);
    ASSERT_TRUE(ucp::GsmCodesToText(codes, back));
    EXPECT_EQ(back, c.text);
  }
  std::string text;
  EXPECT_FALSE(ucp::GsmCodesToText("A\x80", text));
}

}  // namespace
