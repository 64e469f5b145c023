// qarpdu: builds and decodes SMS PDUs exactly as the gateway's modem path does, for operators
// who debug modem traffic.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "gsm/code_pages.h"
#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/modem_pdu.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "runtime/debug_log.h"
#include "runtime/text_helpers.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  qarpdu submit --to NUMBER (--text UTF8TEXT | --data HEX) [--udh HEX] [--dcs HEX]\n"
    "                [--pid HEX] [--report] [--reply] [--validity TEXT] [--smsc NUMBER]\n"
    "                [--no-smsc] [--mr N]\n"
    "  qarpdu decode [--old-receipt-format] [--no-status-report-check] [--alpha-sender-bug]\n"
    "                [--verbose] HEX\n"
    "  qarpdu --help\n"
    "\n"
    "submit builds the SMS-SUBMIT PDU that the gateway hands to a modem in PDU mode and prints\n"
    "it as upper-case hexadecimal on the first line and the TPDU length (the number after\n"
    "AT+CMGS=) on the second. NUMBER is digits with an optional leading +. --text is UTF-8;\n"
    "without --dcs it goes in the GSM 7-bit alphabet when it survives it unchanged, else as\n"
    "UCS-2 (DCS 08). --data is hexadecimal user data (DCS 04 unless --dcs says otherwise).\n"
    "--udh puts a user data header (hex, length octet included) in front, for example\n"
    "050003A10201 for part 1 of 2. --report asks for a status report, --reply for the reply\n"
    "path; --validity is a number and d, h or m (2d, 12h, 30m). --smsc puts an SMSC number in\n"
    "the SMSC field (empty: 00), --no-smsc leaves the field out. --mr sets the message\n"
    "reference (1..255, default 1). A message that cannot be sent prints the reason on\n"
    "standard error and exits with 1.\n"
    "\n"
    "decode reads an SMS-DELIVER or SMS-STATUS-REPORT PDU as a modem hands it over (+CMT,\n"
    "+CMGR, +CDS: with the SMSC field first) and prints one \"Name: value\" line per field.\n"
    "For a status report the Receipt line is the text the gateway writes for it; the\n"
    "switches mirror the settings OldModemReceiptFormat, DisableInvalidStatusReportCheck and\n"
    "the modem's AlphaSenderAddressBug. --verbose shows the decoder's log lines on standard\n"
    "error. CR and LF inside a value are shown as \\r and \\n. A malformed PDU prints the\n"
    "reason on standard error and exits with 1.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "qarpdu: %s\n", message.c_str());
  return 1;
}

bool ParseHexOctetArg(std::string_view text, uint8_t& out) {
  if (text.empty() || text.size() > 2) return false;
  for (char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  out = static_cast<uint8_t>(HexToInt(text));
  return true;
}

int Submit(const std::vector<std::string_view>& args) {
  SubmitPduRequest request;
  std::string text, data, udh;
  bool haveText = false, haveData = false, haveDcs = false;
  int reference = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string_view v;
    if (arg == "--report") {
      request.optionBits |= kSubmitStatusReport;
    } else if (arg == "--reply") {
      request.optionBits |= kSubmitReplyPath;
    } else if (arg == "--no-smsc") {
      request.noSmscField = true;
    } else if (arg == "--to" && value(v)) {
      request.destination = v;
    } else if (arg == "--text" && value(v)) {
      text = v;
      haveText = true;
    } else if (arg == "--data" && value(v)) {
      data = v;
      haveData = true;
    } else if (arg == "--udh" && value(v)) {
      udh = ToUpper(v);
    } else if (arg == "--dcs" && value(v)) {
      if (!ParseHexOctetArg(v, request.dcs)) return Fail("--dcs takes one octet in hex, such as 08");
      haveDcs = true;
    } else if (arg == "--pid" && value(v)) {
      if (!ParseHexOctetArg(v, request.pid)) return Fail("--pid takes one octet in hex, such as 00");
    } else if (arg == "--validity" && value(v)) {
      request.validity = v;
    } else if (arg == "--smsc" && value(v)) {
      request.smsc = v;
    } else if (arg == "--mr" && value(v)) {
      reference = static_cast<int>(ParseDecimal(v));
      if (reference < 1 || reference > 255 || v.find_first_not_of("0123456789") != std::string_view::npos) {
        return Fail("--mr takes a number from 1 to 255");
      }
    } else {
      return Fail("unknown or incomplete option \"" + std::string(arg) + "\" (see qarpdu --help)");
    }
  }
  if (request.destination.empty()) return Fail("--to NUMBER is required");
  if (haveText == haveData) return Fail("give either --text or --data");
  if (!udh.empty()) {
    if (!IsHexText(udh) || udh.size() < 4 || HexToInt(udh.substr(0, 2)) + 1 != udh.size() / 2) {
      return Fail("--udh must be hex whose first octet is the length of the rest");
    }
    request.headerPresent = true;
  }
  if (!haveDcs) request.dcs = haveText ? (UTF8StringRequiresUnicodeEncoding(text) ? 0x08 : 0x00) : 0x04;

  if (haveData) {
    if (!IsHexText(data)) return Fail("--data must be hexadecimal text with two digits an octet");
    request.userDataIsText = false;
    request.userData = udh + data;
  } else if (udh.empty()) {
    request.userData = text;
  } else {
    // A header in front of text: the text follows the header, packed after its fill bits.
    request.userDataIsText = false;
    const size_t headerOctets = udh.size() / 2;
    if (IsSevenBitDcs(request.dcs)) {
      std::string septets;
      const size_t count = Utf8ToGsm(text, septets, 500);
      std::string hex = udh;
      PackSeptetsToHex(septets, count, hex, static_cast<int>(headerOctets % 7));
      request.userData = hex;
      request.septetCount = (headerOctets * 8 + 6) / 7 + count;
    } else if (IsUcs2Dcs(request.dcs)) {
      request.userData = udh + Utf8ToUcs2Hex(text);
    } else {
      request.userData = udh + HexEncode(text);
    }
  }
  SetMessageReferenceCounter(static_cast<uint8_t>(reference - 1));
  SubmitPdu pdu;
  std::string error;
  if (!BuildSubmitPdu(request, pdu, error)) return Fail(error);
  std::printf("%s\n%d\n", pdu.hex.c_str(), pdu.tpduLength);
  return 0;
}

void Field(const char* name, const std::string& value) {
  std::printf("%s: %s\n", name, EscapeCrLf(value).c_str());
}

const char* ClassName(ReportClass c) {
  switch (c) {
    case ReportClass::Delivered: return "delivered";
    case ReportClass::Temporary: return "temporary";
    case ReportClass::Failed: return "failed";
  }
  return "failed";
}

int Decode(const std::vector<std::string_view>& args) {
  ModemPduOptions options;
  bool verbose = false;
  std::string_view hex;
  bool haveHex = false;
  for (std::string_view arg : args) {
    if (arg == "--old-receipt-format") options.oldModemReceiptFormat = true;
    else if (arg == "--no-status-report-check") options.disableInvalidStatusReportCheck = true;
    else if (arg == "--alpha-sender-bug") options.alphaSenderAddressBug = true;
    else if (arg == "--verbose") verbose = true;
    else if (!haveHex && !arg.starts_with("--")) hex = arg, haveHex = true;
    else return Fail("unknown option \"" + std::string(arg) + "\" (see qarpdu --help)");
  }
  if (!haveHex) return Fail("decode needs the PDU as hexadecimal text");
  hex = Trim(hex);
  if (hex.empty() || !IsHexText(hex)) return Fail("malformed PDU: not hexadecimal text with two digits an octet");
  options.log = [verbose](std::string_view line) {
    if (verbose) std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  };
  const DecodedModemPdu d = ParseModemPdu(hex, options);
  if (d.kind == ModemPduKind::Short || d.kind == ModemPduKind::UnknownType) {
    return Fail("malformed PDU: " + d.error);
  }
  std::string address = d.address;
  if (ContainsNonAscii(address)) Cp1252ToUtf8(address, 256);
  char octet[8];
  if (d.kind == ModemPduKind::Deliver) {
    Field("Type", "SMS-DELIVER");
    Field("SMSC", d.smsc);
    Field("Sender", address);
    std::snprintf(octet, sizeof octet, "%02X", d.pid);
    Field("PID", octet);
    std::snprintf(octet, sizeof octet, "%02X", d.dcs);
    Field("DCS", octet);
    Field("Timestamp", FormatPduTimestamp(d.serviceCentreTime));
    Field("Length", std::to_string(d.userDataLength));
    if (d.headerPresent) Field("UDH", d.udhHex);
    if (!d.binary || !d.text.empty()) Field("Text", d.text);
    if (d.binary) Field("Data", d.dataHex);
    return 0;
  }
  Field("Type", "SMS-STATUS-REPORT");
  Field("SMSC", d.smsc);
  Field("Recipient", address);
  Field("Reference", std::to_string(d.messageReference));
  Field("Submitted", FormatPduTimestamp(d.serviceCentreTime));
  Field("Reported", FormatPduTimestamp(d.dischargeTime));
  std::snprintf(octet, sizeof octet, "%02X", d.status);
  Field("Status", std::string(octet) + " " + StatusReportInfo(d.status).text);
  Field("Class", ClassName(d.reportClass));
  if (d.reportClass == ReportClass::Temporary) {
    Field("Receipt", "(none: a temporary error, the gateway waits for the final report)");
  } else {
    Field("Receipt", d.reportText);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  DebugSettings.Debug = false;
  DebugSettings.CopyToStderr = false;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::vector<std::string_view> rest(args.begin() + 1, args.end());
  if (args[0] == "submit") return Submit(rest);
  if (args[0] == "decode") return Decode(rest);
  return Fail("unknown command \"" + std::string(args[0]) + "\" (see qarpdu --help)");
}
