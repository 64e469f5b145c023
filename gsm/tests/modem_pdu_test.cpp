#include "gsm/modem_pdu.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/clock.h"

namespace {

constexpr const char* kHello = "0791447758100650040C9144770009103200006221700103504005E8329BFD06";
constexpr const char* kAlphaInfo = "07914477581006500407D049B7F90D00006221700103504002E834";
constexpr const char* kSevenChars = "07914477581006500405812143F50000622170010350400761F1985C369F01";
constexpr const char* kUcs2 = "07914477581006500405812143F50008622170010350400603A9D83DDE00";
constexpr const char* kEightBitUdh = "07914477581006504405812143F50004622170010350400A060504158A00000102FF";
constexpr const char* kReport00 = "0791447758100650062A0C91447700091032622170010350406221700113540A00";
constexpr const char* kReport21 = "0791447758100650062A0C91447700091032622170010350406221700113540A21";
constexpr const char* kReport46 = "0791447758100650062A0C91447700091032622170010350406221700113540A46";
constexpr const char* kReportNoSmsc = "062A0C91447700091032622170010350406221700113540A00";

ModemPduOptions Quiet() {
  ModemPduOptions o;
  o.log = [](std::string_view) {};
  return o;
}

struct HandOffRecord {
  std::vector<std::string> calls;
  std::vector<DecodedModemPdu> messages;
  ModemPduHandOff HandOff(bool accounting = true) {
    ModemPduHandOff h;
    h.accountingExtended = accounting;
    h.logInbound = [this](std::string_view c, std::string_view n, const DecodedModemPdu& d) {
      calls.push_back("log " + std::string(c) + " " + std::string(n));
      messages.push_back(d);
    };
    h.accountingSmsIn = [this](std::string_view, std::string_view, const DecodedModemPdu&) { calls.push_back("accounting"); };
    h.processInbound = [this](std::string_view, std::string_view, const DecodedModemPdu&) { calls.push_back("process"); };
    return h;
  }
};

}  // namespace

TEST(ModemPdu, DeliverForms) {
  DecodedModemPdu d = ParseModemPdu(kHello, Quiet());
  ASSERT_EQ(d.kind, ModemPduKind::Deliver) << d.error;
  EXPECT_EQ(d.smsc, "+447785016005");
  EXPECT_EQ(d.extraLines, "ReceivedSMSC=+447785016005");
  EXPECT_EQ(d.address, "+447700900123");
  EXPECT_EQ(d.text, "hello");
  EXPECT_FALSE(d.binary);
  EXPECT_EQ(FormatPduTimestamp(d.serviceCentreTime), "2026-12-07 10:30:05 +0100");

  d = ParseModemPdu(kAlphaInfo, Quiet());
  EXPECT_EQ(d.address, "Info");  // 4 characters in 7 semi-octets
  EXPECT_EQ(d.text, "hi");

  d = ParseModemPdu(kSevenChars, Quiet());
  EXPECT_EQ(d.address, "12345");
  EXPECT_EQ(d.text, "abcdefg");
  // Spare bits set in the last octet are still not an eighth character.
  std::string spare = kSevenChars;
  spare.replace(spare.size() - 2, 2, "FF");
  d = ParseModemPdu(spare, Quiet());
  EXPECT_EQ(d.text, "abcdefg");

  d = ParseModemPdu(kUcs2, Quiet());
  EXPECT_TRUE(d.binary);
  EXPECT_EQ(d.dcs, 0x08);
  EXPECT_EQ(d.dataHex, "03A9D83DDE00");
  EXPECT_EQ(d.text, "Ω😀");

  d = ParseModemPdu(kEightBitUdh, Quiet());
  EXPECT_TRUE(d.headerPresent);
  EXPECT_EQ(d.udhHex, "060504158A0000");
  EXPECT_EQ(d.dataHex, "0102FF");

  // Alphanumeric sender from a modem that gives the length in octets.
  ModemPduOptions bug = Quiet();
  bug.alphaSenderAddressBug = true;
  d = ParseModemPdu("00040AD0D4F29C0E00006221700103504001E1", bug);  // length 0A: 9 octets
  ASSERT_EQ(d.kind, ModemPduKind::Short);  // only 4 octets of address follow
  d = ParseModemPdu("000405D049B7F90D0000622170010350400161", bug);  // length 5: 4 octets
  ASSERT_EQ(d.kind, ModemPduKind::Deliver) << d.error;
  EXPECT_EQ(d.address.substr(0, 4), "Info");
  EXPECT_EQ(d.text, "a");
}

TEST(ModemPdu, StatusReportsAndReceipts) {
  ModemPduOptions options = Quiet();
  options.findReference = [](uint8_t ref, std::string_view recipient, SubmitReferenceMatch& m) {
    if (ref != 0x2A || recipient != "+447700900123") return false;
    m.messageId = "0000BEEF";
    m.user = "alice";
    return true;
  };
  DecodedModemPdu d = ParseModemPdu(kReport00, options);
  ASSERT_EQ(d.kind, ModemPduKind::StatusReport) << d.error;
  EXPECT_EQ(d.messageReference, 0x2A);
  EXPECT_EQ(d.reportClass, ReportClass::Delivered);
  EXPECT_EQ(d.reportText,
            "id:0000BEEF sub:001 dlvrd:001 submit date:2612071030 done date:2612071031 stat:DELIVRD err:000");
  EXPECT_EQ(d.messageId, "0000BEEF");
  EXPECT_EQ(d.extraLines, "ReceivedSMSC=+447785016005; RouteToLocalUser=alice");

  d = ParseModemPdu(kReport46, Quiet());
  EXPECT_EQ(d.reportClass, ReportClass::Failed);
  EXPECT_EQ(d.reportText,
            "id:unknown sub:001 dlvrd:000 submit date:2612071030 done date:2612071031 stat:REJECTD err:046");
  EXPECT_EQ(d.extraLines, "ReceivedSMSC=+447785016005");

  ModemPduOptions old = Quiet();
  old.oldModemReceiptFormat = true;
  d = ParseModemPdu(kReport00, old);
  EXPECT_EQ(d.reportText,
            "Report: +447700900123 SMSC: +447785016005 Submitted: 2026-12-07 10:30:05 +0100 Reported: "
            "2026-12-07 10:31:45 -0500 Status: 00 (Delivered)");
  // A long report text is cut to 160 with ")" last.
  std::string longReport = "0791447758100650062A2881" + std::string(40, '1') + "62217001035040" "6221700113540A" "46";
  d = ParseModemPdu(longReport, old);
  ASSERT_EQ(d.kind, ModemPduKind::StatusReport) << d.error;
  EXPECT_EQ(d.reportText.size(), 160u);
  EXPECT_EQ(d.reportText.back(), ')');
  EXPECT_EQ(d.reportText.substr(0, 48), "Report: " + std::string(40, '1'));
}

TEST(ModemPdu, MissingSmscRepair) {
  DecodedModemPdu d = ParseModemPdu(kReportNoSmsc, Quiet());
  ASSERT_EQ(d.kind, ModemPduKind::StatusReport) << d.error;
  EXPECT_EQ(d.smsc, "");
  EXPECT_EQ(d.extraLines, "");
  EXPECT_EQ(d.address, "+447700900123");
  EXPECT_EQ(d.messageReference, 0x2A);
  std::vector<std::string> lines;
  ModemPduOptions off = Quiet();
  off.disableInvalidStatusReportCheck = true;
  off.log = [&](std::string_view l) { lines.emplace_back(l); };
  d = ParseModemPdu(kReportNoSmsc, off);
  EXPECT_NE(d.kind, ModemPduKind::StatusReport);
  for (const auto& l : lines) EXPECT_EQ(l.find("SMSC address missing"), std::string::npos);
}

TEST(ModemPdu, StatusClasses) {
  const struct {
    int first, last;
    const char* text;
    ReportClass cls;
  } rows[] = {
      {0x00, 0x00, "(Delivered)", ReportClass::Delivered},
      {0x01, 0x01, "(Forwarded: Delivery unconfirmed)", ReportClass::Delivered},
      {0x02, 0x02, "(Forwarded: Message replaced)", ReportClass::Delivered},
      {0x03, 0x1F, "(Error: Message not Delivered)", ReportClass::Failed},
      {0x20, 0x20, "(Temp Error: Network Congestion)", ReportClass::Temporary},
      {0x21, 0x21, "(Temp Error: Recipient Busy)", ReportClass::Temporary},
      {0x22, 0x22, "(Temp Error: Recip No Response)", ReportClass::Temporary},
      {0x23, 0x23, "(Temp Error: Service Rejected)", ReportClass::Temporary},
      {0x24, 0x24, "(Temp Error: QoS not available)", ReportClass::Temporary},
      {0x25, 0x25, "(Temp Error: Error at receipient)", ReportClass::Temporary},
      {0x26, 0x3F, "(Temp Error: Unknown error)", ReportClass::Temporary},
      {0x40, 0x40, "(Error: Remote Procedure Error)", ReportClass::Failed},
      {0x41, 0x41, "(Error: Incompatible Destination)", ReportClass::Failed},
      {0x42, 0x42, "(Error: Message rejected)", ReportClass::Failed},
      {0x43, 0x43, "(Error: Not obtainable)", ReportClass::Failed},
      {0x44, 0x44, "(Error: QoS not available)", ReportClass::Failed},
      {0x45, 0x45, "(Error: No interworking avail)", ReportClass::Failed},
      {0x46, 0x46, "(Error: Message Expired)", ReportClass::Failed},
      {0x47, 0x47, "(Error: Message del by sender)", ReportClass::Failed},
      {0x48, 0x48, "(Error: Message deleted by admin)", ReportClass::Failed},
      {0x49, 0x49, "(Error: Message does not exist)", ReportClass::Failed},
      {0x4A, 0x5F, "(Error: Message not Delivered)", ReportClass::Failed},
      {0x60, 0x60, "(Error: Network Congestion)", ReportClass::Failed},
      {0x61, 0x61, "(Error: Recipient Busy)", ReportClass::Failed},
      {0x62, 0x62, "(Error: Recipient Not Responding)", ReportClass::Failed},
      {0x63, 0x63, "(Error: Service Rejected)", ReportClass::Failed},
      {0x64, 0x64, "(Error: QoS not available)", ReportClass::Failed},
      {0x65, 0x65, "(Error: Error at receipient)", ReportClass::Failed},
      {0x66, 0xFF, "(Error: Message not Delivered)", ReportClass::Failed},
  };
  int covered = 0;
  for (const auto& r : rows) {
    for (int s = r.first; s <= r.last; ++s, ++covered) {
      const StatusReportEntry e = StatusReportInfo(static_cast<uint8_t>(s));
      EXPECT_STREQ(e.text, r.text) << s;
      EXPECT_EQ(e.reportClass, r.cls) << s;
    }
  }
  EXPECT_EQ(covered, 256);
}

TEST(ModemPdu, HandOffAndSuppression) {
  HandOffRecord rec;
  time_t when = 0;
  SetClockOverride(1765000000);
  EXPECT_EQ(DecodeModemPdu("Modem - m1", "+4411", kHello, when, Quiet(), rec.HandOff()), 1);
  EXPECT_EQ(when, 1765000000);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"log Modem - m1 +4411", "accounting", "process"}));
  rec.calls.clear();
  EXPECT_EQ(DecodeModemPdu("m", "n", kHello, when, Quiet(), rec.HandOff(false)), 1);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"log m n", "process"}));

  // Temporary error: nothing handed on, the final report is awaited.
  rec.calls.clear();
  std::vector<std::string> lines;
  ModemPduOptions logged = Quiet();
  logged.findReference = [](uint8_t, std::string_view, SubmitReferenceMatch&) { return false; };
  logged.log = [&](std::string_view l) { lines.emplace_back(l); };
  EXPECT_EQ(DecodeModemPdu("m", "n", kReport21, when, logged, rec.HandOff()), 0);
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(lines.back(), "Delivery report indicates temporary delivery error.  Delivery report suppressed.");
  EXPECT_EQ(DecodeModemPdu("m", "n", kReport46, when, logged, rec.HandOff()), 0);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"log m n", "accounting", "process"}));

  // A short PDU only reaches the inbound log, as binary data with DCS 4.
  rec.calls.clear();
  rec.messages.clear();
  const std::string cut = std::string(kHello).substr(0, 40);
  EXPECT_EQ(DecodeModemPdu("m", "n", cut, when, logged, rec.HandOff()), 0);
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"log m n"}));
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0].dcs, 4);
  EXPECT_TRUE(rec.messages[0].binary);
  EXPECT_EQ(rec.messages[0].dataHex, cut);
  // An SMS-SUBMIT or reserved type is dropped.
  rec.calls.clear();
  EXPECT_EQ(DecodeModemPdu("m", "n", "0001010C91447700091032000005E8329BFD06", when, logged, rec.HandOff()), 0);
  EXPECT_TRUE(rec.calls.empty());
  SetClockOverride(0);
}

TEST(ModemPdu, TruncatedAtEveryCharacterNeverOverReads) {
  for (const char* pdu : {kHello, kAlphaInfo, kSevenChars, kUcs2, kEightBitUdh, kReport00, kReportNoSmsc}) {
    const std::string full = pdu;
    for (size_t n = 0; n < full.size(); ++n) {
      const DecodedModemPdu d = ParseModemPdu(full.substr(0, n), Quiet());
      if (d.kind != ModemPduKind::Short) {
        // Only the SMSC-less report can be read as something shorter; never a DELIVER.
        EXPECT_NE(d.kind, ModemPduKind::Deliver) << full.substr(0, n);
      } else {
        EXPECT_FALSE(d.error.empty());
      }
    }
    EXPECT_NE(ParseModemPdu(full, Quiet()).kind, ModemPduKind::Short) << full;
  }
}

TEST(ModemPdu, AbsurdLengthsAreShortPdus) {
  const struct {
    const char* pdu;
    const char* why;
  } cases[] = {
      {"FF0011", "SMSC length beyond the PDU"},
      {"0004FF91", "address length beyond the PDU"},
      {"00040C9144770009103200006221700103504005E8329B", "user data length beyond the PDU"},
      {"00040C91447700091032000062217001035040FF41", "user data length 255"},
      {"00440C914477000910320004622170010350400141", "header flag on 8-bit data whose UDHL is 0x41"},
      {"00440C914477000910320004622170010350400305FFFF", "UDHL beyond the user data"},
      {"00440C9144770009103200046221700103504000", "header flag with no user data"},
      {"00060A0C9144770009103262217001035040", "report without its discharge time"},
      {"", "empty"},
      {"zz", "not hex"},
  };
  for (const auto& c : cases) {
    const DecodedModemPdu d = ParseModemPdu(c.pdu, Quiet());
    EXPECT_EQ(d.kind, ModemPduKind::Short) << c.why;
    EXPECT_EQ(d.dcs, 4) << c.why;
  }
  // More than 1,024 octets: the rest is not read.
  const std::string huge = std::string(kHello) + std::string(4000, 'A');
  EXPECT_EQ(ParseModemPdu(huge, Quiet()).pduHex.size(), kMaxModemPduOctets * 2);
}
