// The text of each header field and the WSP readers under them, from hand-made octets.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "mms/mms_headers.h"
#include "mms/tests/mms_vectors.h"
#include "push/wsp.h"
#include "push/wsp_decode.h"

namespace {

std::string Line(const std::string& fieldBytes) {
  WspReader r{fieldBytes};
  WspField f;
  if (!ReadHeaderField(r, f)) return "<unread>";
  return MmsFieldLine(f);
}

TEST(MmsFieldLine, EveryCodeAndForm) {
  struct Case {
    std::string bytes, want;
  } cases[] = {
      {"\x81" + Txt("a@b.c"), "Bcc: a@b.c"},
      {"\x82" + Txt("+49111/TYPE=PLMN"), "Cc: +49111/TYPE=PLMN"},
      {"\x83" + Txt("http://x/y"), "Content-location: http://x/y"},
      {Bytes({0x84, 0xA3}), "Content-type: application/vnd.wap.multipart.mixed"},
      {"\x84" + Txt("image/png"), "Content-type: image/png"},
      {"\x84" + WithLength(Bytes({0x83, 0x81, 0x84})), "Content-type: text/plain; charset=iso-8859-1"},
      {"\x84" + WithLength("\x9E\x85" + Txt("a.jpg") + "\x86" + Txt("f.jpg") + Bytes({0x88, 0x83, 0x83, 0x85})),
       "Content-type: image/jpeg; name=a.jpg; filename=f.jpg; padding=3; type=5"},
      {"\x84" + WithLength("\x83\x82\x93\x8C" + Txt("c") + "\x8D" + Txt("d") + "\x8F" + Txt("/p") + Bytes({0x90, 0x00})),
       "Content-type: text/plain; version=1.3; comment=c; domain=d; path=/p; secure"},
      {"\x84" + WithLength("\x83\x93" + Bytes({0x04, 0x5F, 0x5E, 0x10, 0x00}) + "\x96\x8A\x80\x0B"),
       "Content-type: text/plain; creation-date=Sun, 13 Sep 2020 12:26:40 GMT; size=10; Q=0.10"},
      {"\x84" + WithLength("\x83" + Txt("x-my") + Txt("val")), "Content-type: text/plain; x-my=val"},
      {"\x84" + WithLength(Bytes({0xC8})), "Content-type: application/vnd.oma.drm.message"},
      {"\x84" + WithLength(Bytes({0xD3})), "Content-type: application/unknown"},
      {Bytes({0x85, 0x04, 0x5F, 0x5E, 0x10, 0x00}), "Date: Sun, 13 Sep 2020 12:26:40 GMT"},
      {Bytes({0x85, 0x00}), ""},                                               // no octets
      {Bytes({0x85, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}), ""},                   // over 8 octets
      {Bytes({0x85, 0x08, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), ""},  // year past 9999
      {Bytes({0x86, 0x80}), "Delivery-report: Yes"},
      {Bytes({0x86, 0x81}), "Delivery-report: No"},
      {Bytes({0x86, 0x82}), ""},
      {"\x87" + WithLength(Bytes({0x80, 0x04, 0x5F, 0x5E, 0x10, 0x00})), "Delivery-time: Sun, 13 Sep 2020 12:26:40 GMT"},
      {"\x88" + WithLength(Bytes({0x81, 0x03, 0x01, 0x51, 0x80})), "Expiry: 86400"},
      {"\x88" + WithLength(Bytes({0x81, 0x8A})), "Expiry: 10"},
      {"\x88" + WithLength(Bytes({0x82, 0x8A})), ""},
      {"\x89" + WithLength("\x80" + Txt("+49/TYPE=PLMN")), "From: +49/TYPE=PLMN"},
      {"\x89" + WithLength(Bytes({0x81})), "From: Insert-address-token"},
      {"\x89" + WithLength("\x80" + WithLength("\x84" + Txt("x@y"))), "From: ?iso-8859-1?x@y"},
      {Bytes({0x8A, 0x80}), "Message-class: Personal"},
      {Bytes({0x8A, 0x83}), "Message-class: Auto"},
      {"\x8A" + Txt("Custom"), "Message-class: Custom"},
      {"\x8B" + Txt("id-1"), "Message-id: id-1"},
      {Bytes({0x8C, 0x80}), "Message-type: m-send-req"},
      {Bytes({0x8C, 0x93}), "Message-type: m-mbox-descr"},
      {Bytes({0x8C, 0x94}), ""},
      {Bytes({0x8D, 0x90}), "MMS-version: 1.0"},
      {Bytes({0x8D, 0x93}), "MMS-version: 1.3"},
      {Bytes({0x8D, 0x9F}), "MMS-version: 1"},
      {Bytes({0x8E, 0x02, 0x10, 0x00}), "Message-size: 4096"},
      {Bytes({0x8E, 0x85}), "Message-size: 5"},
      {Bytes({0x8F, 0x82}), "Priority: high"},
      {Bytes({0x90, 0x80}), "Read-reply: Yes"},
      {Bytes({0x91, 0x81}), "Report-allowed: No"},
      {Bytes({0x92, 0x80}), "Response-status: Ok"},
      {Bytes({0x92, 0xE6}), "Response-status: Error-permanent-reply-charging-limitations-not-met"},
      {Bytes({0x92, 0x90}), "Response-status: 144"},
      {"\x93" + Txt("fine"), "Response-text: fine"},
      {Bytes({0x94, 0x80}), "Sender-visibility: Hide"},
      {Bytes({0x95, 0x81}), "Status: Retrieved"},
      {Bytes({0x95, 0x87}), "Status: Unreachable"},
      {Bytes({0x95, 0x90}), "Status: 144"},
      {"\x96" + Txt("Hi there"), "Subject: Hi there"},
      {"\x96" + WithLength("\xEA" + Txt("Gr\xC3\xBC\xC3\x9F")), "Subject: Gr\xC3\xBC\xC3\x9F"},
      {"\x96" + WithLength("\x84" + Txt("Gr\xFC\xDF e=?")), "Subject: =?iso-8859-1?Q?Gr=FC=DF_e=3D=3F?="},
      {"\x96" + WithLength(Bytes({0x02, 0x03, 0xE8}) + Txt("ab")), "Subject: =?iso-10646-ucs-2?Q?ab?="},
      {"\x96" + WithLength("\xEA" + Txt("a\r\nBcc: x")), "Subject: aBcc: x"},
      {"\x96" + Bytes({0xFF, 0x00}), ""},
      {"\x97" + Txt("+4911/TYPE=PLMN"), "To: +4911/TYPE=PLMN"},
      {"\x98" + Txt("T\r\n1"), "Transaction-id: T1"},
      {Bytes({0x99, 0xE3}), "X-Mms-Retrieve-Status: Error-permanent-content-unsupported"},
      {Bytes({0x99, 0x81}), "X-Mms-Retrieve-Status: 129"},
      {"\x9A" + Txt("gone"), "X-Mms-Retrieve-Text: gone"},
      {Bytes({0x9B, 0x81}), "X-Mms-Read-Status: Deleted"},
      {Bytes({0x9C, 0x83}), "X-Mms-Reply-Charging: Accepted-text"},
      {"\x9D" + WithLength(Bytes({0x81, 0x84})), "X-Mms-Reply-Charging-Deadline: 4"},
      {"\x9E" + Txt("rc"), "X-Mms-Reply-Charging-ID: rc"},
      {Bytes({0x9F, 0x02, 0x01, 0x00}), "X-Mms-Reply-Charging-Size: 256"},
      {"\xA0" + WithLength("\x81" + Txt("+49")), "X-Mms-Previously-Sent-By: 1,+49"},
      {"\xA1" + WithLength(Bytes({0x82, 0x04, 0x5F, 0x5E, 0x10, 0x00})),
       "X-Mms-Previously-Sent-Date: 2,Sun, 13 Sep 2020 12:26:40 GMT"},
      {Bytes({0xA2, 0x80}), "X-Mms-Store: Yes"},
      {Bytes({0xA3, 0x83}), "X-Mms-MM-State: Retrieved"},
      {"\xA4" + WithLength("\x80" + Txt("Seen")), "X-Mms-MM-Flags: Add-token,Seen"},
      {Bytes({0xA5, 0xE4}), "X-Mms-Store-Status: Error-permanent-mmbox-full"},
      {"\xA6" + Txt("ok"), "X-Mms-Store-Status-Text: ok"},
      {Bytes({0xA7, 0x81}), "X-Mms-Stored: No"},
      {Bytes({0xA9, 0x80}), "X-Mms-Totals: Yes"},
      {"\xAA" + WithLength(Bytes({0x81, 0x85})), "X-Mms-Mbox-Totals: Size-total-token,5"},
      {Bytes({0xAB, 0x81}), "X-Mms-Quotas: No"},
      {"\xAC" + WithLength(Bytes({0x80, 0x02, 0x01, 0x00})), "X-Mms-Mbox-Quotas: Message-quota-token,256"},
      {Bytes({0xAD, 0x87}), "X-Mms-Message-Count: 7"},
      {Bytes({0xAF, 0x80}), "X-Mms-Start: 0"},
      {Bytes({0xB1, 0x80}), "X-Mms-Distribution-Indicator: Yes"},
      {Bytes({0xB3, 0x89}), "X-Mms-Limit: 9"},
      {Bytes({0xB4, 0x80}), "X-Mms-Recommended-Retrieval-Mode: Manual"},
      {"\xB5" + Txt("later"), "X-Mms-Recommended-Retrieval-Mode: later"},
      {"\xB6" + Txt("st"), "X-Mms-Status-Text: st"},
      {"\xB7" + Txt("app"), "X-Mms-Applic-ID: app"},
      {"\xB8" + Txt("rapp"), "X-Mms-Reply-Applic-ID: rapp"},
      {"\xB9" + Txt("aux"), "X-Mms-Aux-Applic-Info: aux"},
      {Bytes({0xBA, 0x85}), "X-Mms-Content-Class: megapixel"},
      {Bytes({0xBA, 0x90}), "X-Mms-Content-Class: 144"},
      {Bytes({0xBB, 0x80}), "X-Mms-DRM-Content: Yes"},
      {Bytes({0xBC, 0x81}), "X-Mms-Adaptation-Allowed: No"},
      {"\xBD" + Txt("r1"), "X-Mms-Replace-ID: r1"},
      {"\xBE" + Txt("c1"), "X-Mms-Cancel-ID: c1"},
      {Bytes({0xBF, 0x80}), "X-Mms-Cancel-Status: Cancel Request Successfully received"},
      {Bytes({0xBF, 0x81}), "X-Mms-Cancel-Status: Cancel Request corrupted"},
      {Bytes({0xA8, 0x80}), ""},  // no text for this code
  };
  for (const Case& c : cases) EXPECT_EQ(Line(c.bytes), c.want) << testing::PrintToString(c.bytes);
}

TEST(WspReaders, BoundsAndForms) {
  struct Case {
    std::string bytes;
    bool ok;
    uint64_t value;
    size_t used;
  };
  Case uintvars[] = {{Bytes({0x00}), true, 0, 1},
                     {Bytes({0x81, 0x00}), true, 128, 2},
                     {Bytes({0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), true, 0xFFFFFFFF, 5},
                     {Bytes({0x9F, 0xFF, 0xFF, 0xFF, 0x7F}), false, 0, 0},  // over 32 bits
                     {Bytes({0x81, 0x81, 0x81, 0x81, 0x81, 0x01}), false, 0, 0},
                     {Bytes({0x81}), false, 0, 0}};
  for (const Case& c : uintvars) {
    WspReader r{c.bytes};
    uint32_t v = 0;
    EXPECT_EQ(ReadUintvar(r, v), c.ok) << testing::PrintToString(c.bytes);
    if (c.ok) EXPECT_EQ(v, c.value);
    EXPECT_EQ(r.pos, c.used);
  }
  Case integers[] = {{Bytes({0x85}), true, 5, 1},
                     {Bytes({0x01, 0x7F}), true, 127, 2},
                     {Bytes({0x08, 1, 2, 3, 4, 5, 6, 7, 8}), true, 0x0102030405060708ull, 9},
                     {Bytes({0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}), false, 0, 10},  // skipped, not read
                     {Bytes({0x04, 1, 2}), false, 0, 0},
                     {Bytes({0x00}), false, 0, 0}};
  for (const Case& c : integers) {
    WspReader r{c.bytes};
    uint64_t v = 0;
    EXPECT_EQ(ReadShortOrLongInteger(r, v), c.ok) << testing::PrintToString(c.bytes);
    if (c.ok) EXPECT_EQ(v, c.value);
    EXPECT_EQ(r.pos, c.used);
  }
  Case skips[] = {{Bytes({0x80, 0x01}), true, 0, 1},
                  {Txt("abc") + "x", true, 0, 4},
                  {Bytes({0x02, 0x01, 0x02, 0x03}), true, 0, 3},
                  {"\x1F" + Uintvar(40) + std::string(40, 'a'), true, 0, 42},
                  {"\x1F" + Uintvar(41) + std::string(40, 'a'), false, 0, 0},
                  {"abc", false, 0, 0},
                  {Bytes({0x05, 0x01}), false, 0, 0}};
  for (const Case& c : skips) {
    WspReader r{c.bytes};
    EXPECT_EQ(SkipFieldValue(r), c.ok) << testing::PrintToString(c.bytes);
    EXPECT_EQ(r.pos, c.used);
  }
}

TEST(WspNames, ContentTypesAndCharsets) {
  EXPECT_EQ(WellKnownContentType(0x00), "*/*");
  EXPECT_EQ(WellKnownContentType(0x03), "text/plain");
  EXPECT_EQ(WellKnownContentType(0x1E), "image/jpeg");
  EXPECT_EQ(WellKnownContentType(0x33), "application/vnd.wap.multipart.related");
  EXPECT_EQ(WellKnownContentType(0x3E), "application/vnd.wap.mms-message");
  EXPECT_EQ(WellKnownContentType(0x46), "application/vnd.wv.csp.cir");
  EXPECT_EQ(WellKnownContentType(0x48), "application/vnd.oma.drm.message");
  EXPECT_EQ(WellKnownContentType(0x52), "application/mikey");
  EXPECT_EQ(WellKnownContentType(0x53), "application/unknown");
  EXPECT_EQ(ContentTypeCode("IMAGE/GIF"), 0x1D);
  EXPECT_EQ(ContentTypeCode("multipart/byteranges"), 0x0E);
  EXPECT_EQ(ContentTypeCode("image/heic"), std::nullopt);
  struct {
    uint64_t mib;
    const char* name;
  } charsets[] = {{3, "us-ascii"}, {4, "iso-8859-1"}, {12, "iso-8859-9"}, {17, "shift_JIS"}, {106, "utf-8"},
                  {1000, "iso-10646-ucs-2"}, {2025, "gb2312"}, {2026, "big5"}, {1015, "utf-16"}, {2, "unknown"}, {1016, "unknown"}};
  for (const auto& c : charsets) {
    EXPECT_EQ(CharsetName(c.mib), c.name);
    if (std::string_view(c.name) != "unknown") EXPECT_EQ(CharsetNumber(c.name), c.mib);
  }
}

TEST(WspFields, LookupStopsAfterContentType) {
  std::string pdu = RetrieveConfThreeParts();
  WspField f;
  ASSERT_TRUE(FindHeaderField(pdu, 0x98, f));
  EXPECT_EQ(f.value, Txt("T123"));
  ASSERT_TRUE(FindHeaderField(pdu, 0x84, f));
  EXPECT_FALSE(FindHeaderField(pdu, 0x8E, f));  // the part header past the block is not a field
  std::string big = "\x96" + WithLength("\xEA" + std::string(3000, 'a') + '\0') + Bytes({0x84, 0xA3});
  EXPECT_FALSE(FindHeaderField(big, 0x96, f));  // larger than the header area
  EXPECT_TRUE(FindHeaderField(big, 0x96, f, 4096));
}

}  // namespace
