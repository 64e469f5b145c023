#include "gsm/modem_pdu.h"

#include <algorithm>
#include <cstdlib>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {

constexpr const char* kLogLabel = "ModemReceiveMessages";

struct StatusRow {
  uint8_t first;
  uint8_t last;
  StatusReportEntry entry;
};
constexpr StatusRow kStatusRows[] = {
    {0x00, 0x00, {"(Delivered)", ReportClass::Delivered}},
    {0x01, 0x01, {"(Forwarded: Delivery unconfirmed)", ReportClass::Delivered}},
    {0x02, 0x02, {"(Forwarded: Message replaced)", ReportClass::Delivered}},
    {0x20, 0x20, {"(Temp Error: Network Congestion)", ReportClass::Temporary}},
    {0x21, 0x21, {"(Temp Error: Recipient Busy)", ReportClass::Temporary}},
    {0x22, 0x22, {"(Temp Error: Recip No Response)", ReportClass::Temporary}},
    {0x23, 0x23, {"(Temp Error: Service Rejected)", ReportClass::Temporary}},
    {0x24, 0x24, {"(Temp Error: QoS not available)", ReportClass::Temporary}},
    {0x25, 0x25, {"(Temp Error: Error at receipient)", ReportClass::Temporary}},
    {0x26, 0x3F, {"(Temp Error: Unknown error)", ReportClass::Temporary}},
    {0x40, 0x40, {"(Error: Remote Procedure Error)", ReportClass::Failed}},
    {0x41, 0x41, {"(Error: Incompatible Destination)", ReportClass::Failed}},
    {0x42, 0x42, {"(Error: Message rejected)", ReportClass::Failed}},
    {0x43, 0x43, {"(Error: Not obtainable)", ReportClass::Failed}},
    {0x44, 0x44, {"(Error: QoS not available)", ReportClass::Failed}},
    {0x45, 0x45, {"(Error: No interworking avail)", ReportClass::Failed}},
    {0x46, 0x46, {"(Error: Message Expired)", ReportClass::Failed}},
    {0x47, 0x47, {"(Error: Message del by sender)", ReportClass::Failed}},
    {0x48, 0x48, {"(Error: Message deleted by admin)", ReportClass::Failed}},
    {0x49, 0x49, {"(Error: Message does not exist)", ReportClass::Failed}},
    {0x60, 0x60, {"(Error: Network Congestion)", ReportClass::Failed}},
    {0x61, 0x61, {"(Error: Recipient Busy)", ReportClass::Failed}},
    {0x62, 0x62, {"(Error: Recipient Not Responding)", ReportClass::Failed}},
    {0x63, 0x63, {"(Error: Service Rejected)", ReportClass::Failed}},
    {0x64, 0x64, {"(Error: QoS not available)", ReportClass::Failed}},
    {0x65, 0x65, {"(Error: Error at receipient)", ReportClass::Failed}},
};

// Octets of the PDU with bounded access.
struct PduReader {
  std::string_view octets;
  size_t pos = 0;
  bool Has(size_t n) const { return pos <= octets.size() && octets.size() - pos >= n; }
  uint8_t At(size_t i) const { return static_cast<uint8_t>(octets[i]); }
  uint8_t Take() { return At(pos++); }
  std::string_view TakeSpan(size_t n) {
    std::string_view span = octets.substr(pos, n);
    pos += n;
    return span;
  }
};

class PduLog {
 public:
  explicit PduLog(const ModemPduOptions& options) : options_(options) {}
  void operator()(std::string_view line) const {
    if (options_.log) options_.log(line);
    else WriteDebugLog(kLogLabel, line);
  }

 private:
  const ModemPduOptions& options_;
};

char BcdDigit(unsigned nibble) { return HexNibbleChar(nibble, false); }

// Swapped BCD; an F nibble ends the digits when stopAtF, else it is skipped.
std::string BcdDigits(std::string_view value, bool stopAtF) {
  std::string digits;
  for (char c : value) {
    const uint8_t octet = static_cast<uint8_t>(c);
    for (unsigned nibble : {static_cast<unsigned>(octet & 0x0F), static_cast<unsigned>(octet >> 4)}) {
      if (nibble == 0x0F) {
        if (stopAtF) return digits;
        continue;
      }
      digits += BcdDigit(nibble);
    }
  }
  return digits;
}

int SwappedBcd(uint8_t octet) { return (octet & 0x0F) * 10 + (octet >> 4); }

PduTimestamp ReadTimestamp(std::string_view seven) {
  PduTimestamp t;
  const int year = SwappedBcd(static_cast<uint8_t>(seven[0]));
  t.year = year > 79 ? 1900 + year : 2000 + year;
  t.month = SwappedBcd(static_cast<uint8_t>(seven[1]));
  t.day = SwappedBcd(static_cast<uint8_t>(seven[2]));
  t.hour = SwappedBcd(static_cast<uint8_t>(seven[3]));
  t.minute = SwappedBcd(static_cast<uint8_t>(seven[4]));
  t.second = SwappedBcd(static_cast<uint8_t>(seven[5]));
  const uint8_t zone = static_cast<uint8_t>(seven[6]);
  t.zoneQuarters = (zone & 0x07) * 10 + (zone >> 4);
  if (zone & 0x08) t.zoneQuarters = -t.zoneQuarters;
  return t;
}

// Marks the PDU short: it goes to the inbound log as binary data with DCS 4, as received.
DecodedModemPdu& MarkShort(DecodedModemPdu& d, const PduLog& log, std::string reason) {
  d.kind = ModemPduKind::Short;
  d.error = std::move(reason);
  d.binary = true;
  d.dcs = 4;
  d.udhHex.clear();
  d.dataHex = d.pduHex;
  d.text.clear();
  log("Short PDU: " + d.error);
  return d;
}

// Originating or recipient address. False when the PDU ends inside it.
bool ReadAddress(PduReader& r, bool statusReport, const ModemPduOptions& options, const PduLog& log,
                 DecodedModemPdu& d, std::string& reason) {
  if (!r.Has(1)) {
    reason = "PDU ends before the address";
    return false;
  }
  const unsigned length = r.Take();
  log(StrPrintf(statusReport ? "Recipient address len = %u" : "Sender address len = %u", length));
  if (!r.Has(1)) {
    reason = "PDU ends before the address type";
    return false;
  }
  d.addressType = r.Take();
  const bool alphanumeric =
      statusReport ? (d.addressType & 0xD0) == 0xD0 : (d.addressType & 0xF0) == 0xD0;
  size_t valueOctets = (length + 1) / 2;
  if (alphanumeric && options.alphaSenderAddressBug) {
    log("Compensating for AlphaSenderAddressBug (address length bug on messages with Alpha Sender noticed "
        "first on Sierra Wireless AirCard 750)");
    valueOctets = length > 0 ? length - 1 : 0;
  }
  if (!r.Has(valueOctets)) {
    reason = StrPrintf("address of %zu octets runs past the end of the PDU", valueOctets);
    return false;
  }
  std::string_view value = r.TakeSpan(valueOctets);
  if (alphanumeric) {
    d.address = DecodeHexSeptetsToLocal(HexEncode(value), 0);
  } else {
    d.address = BcdDigits(value, true);
    const bool plus = statusReport ? d.addressType == 0x91 : (d.addressType == 0x91 || d.addressType == 0xF1);
    if (plus) d.address.insert(0, "+");
  }
  log(StrPrintf(statusReport ? "Receipient Address = %s" : "Sender Address = %s", d.address.c_str()));
  return true;
}

void DecodeDeliver(PduReader& r, const ModemPduOptions& options, const PduLog& log, DecodedModemPdu& d) {
  log("SMS Message Type = SMS-DELIVER");
  d.headerPresent = (d.firstOctet & 0x40) != 0;
  if (d.headerPresent) log("User Data Header is present");
  std::string reason;
  if (!ReadAddress(r, false, options, log, d, reason)) {
    MarkShort(d, log, reason);
    return;
  }
  if (!r.Has(1)) {
    MarkShort(d, log, "PDU ends before the PID");
    return;
  }
  d.pid = r.Take();
  log(StrPrintf("PID = %02X", d.pid));
  if (!r.Has(1)) {
    MarkShort(d, log, "PDU ends before the DCS");
    return;
  }
  d.dcs = r.Take();
  log(StrPrintf("DCS = %02X", d.dcs));
  if (!r.Has(7)) {
    MarkShort(d, log, "PDU ends in the service-centre time stamp");
    return;
  }
  d.serviceCentreTime = ReadTimestamp(r.TakeSpan(7));
  if (!r.Has(1)) {
    MarkShort(d, log, "PDU ends before the user data length");
    return;
  }
  d.userDataLength = r.Take();
  log(StrPrintf("Anticipated user data length = %u", d.userDataLength));

  const bool sevenBit = IsSevenBitDcs(d.dcs);
  const size_t needed = sevenBit ? (d.userDataLength * 7 + 7) / 8 : d.userDataLength;
  if (!r.Has(needed)) {
    MarkShort(d, log, StrPrintf("user data length %u needs %zu octets, the PDU holds %zu", d.userDataLength,
                                needed, r.octets.size() - r.pos));
    return;
  }
  std::string_view userData = r.TakeSpan(needed);
  if (d.headerPresent) {
    const size_t headerOctets = userData.empty() ? 1 : static_cast<size_t>(static_cast<uint8_t>(userData[0])) + 1;
    if (headerOctets > userData.size()) {
      MarkShort(d, log, StrPrintf("user data header of %zu octets is longer than the user data (%zu octets)",
                                  headerOctets, userData.size()));
      return;
    }
    d.binary = true;
    d.udhHex = HexEncode(userData.substr(0, headerOctets));
    d.dataHex = HexEncode(userData.substr(headerOctets));
    log(StrPrintf("Binary message = %s %s", d.udhHex.c_str(), d.dataHex.c_str()));
    if (sevenBit) {
      const size_t headerSeptets = (headerOctets * 8 + 6) / 7;
      if (d.userDataLength > headerSeptets) {
        std::string septets = UnpackSeptets(userData.substr(headerOctets), d.userDataLength - headerSeptets,
                                            static_cast<int>(headerOctets % 7));
        d.text = GsmDecodeToUtf8(septets, septets.size());
      }
    }
  } else if (sevenBit) {
    // Exactly the septets the length gives: spare bits of the last octet are never a character.
    std::string septets = UnpackSeptets(userData, d.userDataLength, 0);
    d.text = GsmDecodeToUtf8(septets, septets.size());
    log(StrPrintf("Message = %s", d.text.c_str()));
  } else {
    d.binary = true;
    d.dataHex = HexEncode(userData);
    log(StrPrintf("Binary Message = %s", d.dataHex.c_str()));
  }
  if (d.binary && IsUcs2Dcs(d.dcs)) {
    d.text = Ucs2OctetsToUtf8(userData.substr(d.udhHex.size() / 2));
  }
  d.kind = ModemPduKind::Deliver;
}

void DecodeStatusReport(PduReader& r, const ModemPduOptions& options, const PduLog& log, DecodedModemPdu& d) {
  log("SMS Message Type = SMS-STATUS-REPORT");
  if (!r.Has(1)) {
    MarkShort(d, log, "PDU ends before the message reference");
    return;
  }
  d.messageReference = r.Take();
  std::string reason;
  if (!ReadAddress(r, true, options, log, d, reason)) {
    MarkShort(d, log, reason);
    return;
  }
  if (!r.Has(15)) {
    MarkShort(d, log, "PDU ends before the time stamps and the status");
    return;
  }
  d.serviceCentreTime = ReadTimestamp(r.TakeSpan(7));
  d.dischargeTime = ReadTimestamp(r.TakeSpan(7));
  d.status = r.Take();
  const StatusReportEntry info = StatusReportInfo(d.status);
  d.reportClass = info.reportClass;

  std::string text = StrPrintf("Report: %s SMSC: %s", d.address.c_str(), d.smsc.c_str());
  text += " Submitted: " + FormatPduTimestamp(d.serviceCentreTime);
  text += " Reported: " + FormatPduTimestamp(d.dischargeTime);
  text += StrPrintf(" Status: %02X ", d.status);
  text += info.text;
  if (text.size() > kMaxReportTextLength) {
    text.resize(kMaxReportTextLength);
    text.back() = ')';
  }

  SubmitReferenceMatch match;
  if (options.findReference && options.findReference(d.messageReference, d.address, match)) {
    d.messageId = match.messageId;
    d.localUser = match.user;
    if (!d.localUser.empty()) {
      if (!d.extraLines.empty()) d.extraLines += "; ";
      d.extraLines += "RouteToLocalUser=" + d.localUser;
    }
  }
  if (!options.oldModemReceiptFormat) {
    const PduTimestamp& s = d.serviceCentreTime;
    const PduTimestamp& t = d.dischargeTime;
    const bool delivered = d.reportClass == ReportClass::Delivered;
    text = StrPrintf(
        "id:%s sub:001 dlvrd:%03d submit date:%02d%02d%02d%02d%02d done date:%02d%02d%02d%02d%02d stat:%s "
        "err:%03X",
        d.messageId.empty() ? "unknown" : d.messageId.c_str(), delivered ? 1 : 0, s.year % 100, s.month, s.day,
        s.hour, s.minute, t.year % 100, t.month, t.day, t.hour, t.minute, delivered ? "DELIVRD" : "REJECTD",
        d.status);
  }
  d.reportText = text;
  log(StrPrintf("Message = %s", d.reportText.c_str()));
  d.kind = ModemPduKind::StatusReport;
}

bool IsValidSmscNumber(std::string_view number) {
  if (!number.empty() && number[0] == '+') number.remove_prefix(1);
  if (number.empty()) return false;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

StatusReportEntry StatusReportInfo(uint8_t status) {
  for (const auto& row : kStatusRows) {
    if (status >= row.first && status <= row.last) return row.entry;
  }
  return {"(Error: Message not Delivered)", ReportClass::Failed};
}

std::string FormatPduTimestamp(const PduTimestamp& t) {
  const int quarters = std::abs(t.zoneQuarters);
  return StrPrintf("%04d-%02d-%02d %02d:%02d:%02d %s%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second,
                   t.zoneQuarters < 0 ? "-" : "+", quarters / 4, (quarters % 4) * 15);
}

DecodedModemPdu ParseModemPdu(std::string_view pduText, const ModemPduOptions& options) {
  const PduLog log(options);
  DecodedModemPdu d;
  const std::string octets = HexDecodeLeading(pduText, kMaxModemPduOctets);
  d.pduHex = HexEncode(octets);
  log(std::string(pduText.substr(0, kMaxModemPduOctets * 2)));
  PduReader r{octets};
  if (octets.empty()) return MarkShort(d, log, "empty PDU");

  const unsigned smscLength = r.At(0);
  log(StrPrintf("SMSC address len = %u", smscLength));
  size_t tpdu = 1;
  if (smscLength > 0) {
    tpdu = smscLength + 1;
    if (octets.size() >= 2) {
      const uint8_t type = r.At(1);
      const size_t end = std::min<size_t>(tpdu, octets.size());
      d.smsc = BcdDigits(std::string_view(octets).substr(2, end > 2 ? end - 2 : 0), false);
      if (type == 0x91) d.smsc.insert(0, "+");
    }
  }
  if (!options.disableInvalidStatusReportCheck && !d.smsc.empty() && !IsValidSmscNumber(d.smsc) &&
      (r.At(0) & 3) == 2 && octets.size() > 3 && (r.At(3) & 0x80) != 0 && (r.At(3) & 0x60) == 0) {
    log("SMSC address missing/invalid in SMS-STATUS-REPORT PDU");
    d.smsc.clear();
    tpdu = 0;
  }
  if (tpdu >= octets.size()) return MarkShort(d, log, "PDU ends in the SMSC field");
  log(StrPrintf("SMSC Address = %s", d.smsc.c_str()));
  d.smsc = CutTo(d.smsc, kMaxReceivedSmscLength);
  if (!d.smsc.empty()) d.extraLines = "ReceivedSMSC=" + d.smsc;

  r.pos = tpdu;
  d.firstOctet = r.Take();
  switch (d.firstOctet & 3) {
    case 0:
      DecodeDeliver(r, options, log, d);
      break;
    case 2:
      DecodeStatusReport(r, options, log, d);
      break;
    default:
      log(StrPrintf("SMS Message type = %02X", d.firstOctet & 3));
      d.kind = ModemPduKind::UnknownType;
      d.error = StrPrintf("message type %u is neither SMS-DELIVER nor SMS-STATUS-REPORT", d.firstOctet & 3);
      break;
  }
  return d;
}

int DecodeModemPdu(std::string_view connection, std::string_view receivingNumber, std::string_view pduText,
                   time_t& receivedAt, const ModemPduOptions& options, const ModemPduHandOff& handOff) {
  ModemPduOptions effective = options;
  if (!effective.findReference) {
    const std::string name(connection);
    effective.findReference = [name](uint8_t reference, std::string_view recipient, SubmitReferenceMatch& match) {
      return FindSubmitReference(name, reference, recipient, match);
    };
  }
  const DecodedModemPdu d = ParseModemPdu(pduText, effective);
  auto handOn = [&](const DecodedModemPdu& message) {
    if (handOff.logInbound) handOff.logInbound(connection, receivingNumber, message);
    if (handOff.accountingExtended && handOff.accountingSmsIn) handOff.accountingSmsIn(connection, receivingNumber, message);
    if (handOff.processInbound) handOff.processInbound(connection, receivingNumber, message);
  };
  switch (d.kind) {
    case ModemPduKind::Short:
      if (handOff.logInbound) handOff.logInbound(connection, receivingNumber, d);
      return 0;
    case ModemPduKind::UnknownType:
      return 0;
    case ModemPduKind::Deliver:
      handOn(d);
      receivedAt = NowSeconds();
      return 1;
    case ModemPduKind::StatusReport:
      if (d.reportClass == ReportClass::Temporary) {
        const PduLog log(effective);
        log("Delivery report indicates temporary delivery error.  Delivery report suppressed.");
        return 0;
      }
      handOn(d);
      return 0;
  }
  return 0;
}
