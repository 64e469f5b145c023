#include "outside/qarkite/ucp_message.h"

#include <cstdio>

#include "gsm/coding_groups.h"
#include "gsm/gsm_alphabet.h"
#include "outside/qarkite/qarkite.h"
#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_frame.h"
#include "runtime/hex_text.h"

namespace ucp {
namespace {

constexpr int kFlagReplyPath = 0x01;
constexpr size_t kMaxUserDataOctets = 140;
constexpr size_t kMaxSeptets = 160;

using Alphabet = TextAlphabet;

Alphabet AlphabetOf(int dcs) { return AlphabetOfCodingGroup(dcs); }

std::string Decimal(long value) { return std::to_string(value); }

bool Printable(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// AdC: digits, a leading "+" written as the international prefix 00.
bool EncodeRecipient(const std::string& in, std::string& out) {
  out = in.size() > 1 && in[0] == '+' ? "00" + in.substr(1) : in;
  return IsDigits(out, 1, kMaxAddressDigits);
}

// OAdC and OTOA: digits as they are, "+digits" as an international number (1139),
// anything else as an alphanumeric originator (5039).
bool EncodeSender(const std::string& in, std::string& oadc, std::string& otoa) {
  otoa.clear();
  oadc.clear();
  if (in.empty()) return true;
  if (in[0] == '+' && IsDigits(std::string_view(in).substr(1), 1, kMaxAddressDigits)) {
    oadc = in.substr(1);
    otoa = "1139";
    return true;
  }
  if (IsDigits(in, 1, kMaxAddressDigits)) {
    oadc = in;
    return true;
  }
  otoa = "5039";
  return EncodeAlphanumericAddress(in, oadc);
}

bool Fail(std::string& why, const char* text) {
  why = text;
  return false;
}

}  // namespace

bool BuildSubmitFields(const OutboundMessage& in, std::vector<std::string>& fields, std::string& why) {
  fields.assign(kField5xCount, std::string());
  if (!EncodeRecipient(in.recipient, fields[kAdC])) return Fail(why, "recipient is not 1 to 16 digits");
  if (!EncodeSender(in.sender, fields[kOAdC], fields[kOTOA]))
    return Fail(why, "sender is neither a number nor up to 11 GSM characters");
  if (in.pid < 0 || in.pid > 255 || in.dcs < 0 || in.dcs > 255) return Fail(why, "PID or DCS out of range");

  std::string udh;
  if (!in.udhHex.empty()) {
    if (!HexToOctets(in.udhHex, udh) || udh.empty() || size_t(uint8_t(udh[0])) + 1 != udh.size())
      return Fail(why, "UDH is not a complete header in hex");
  }
  std::string xser;
  if (!udh.empty()) AppendXSer(xser, 0x01, udh);

  Alphabet alphabet = AlphabetOf(in.dcs);
  if (!in.binary && alphabet == Alphabet::Gsm) {
    std::string codes;
    if (!TextToGsmCodes(in.data, codes)) return Fail(why, "text has characters outside the GSM alphabet");
    size_t udhSeptets = (udh.size() * 8 + 6) / 7;
    if (codes.size() + udhSeptets > kMaxSeptets) return Fail(why, "text longer than one message");
    fields[kMT] = "3";
    fields[kMsg] = HexEncode(codes);
    if (in.dcs != 0) AppendXSer(xser, 0x02, std::string(1, char(in.dcs)));
  } else {
    std::string octets;
    int dcs = in.dcs;
    if (in.binary) {
      if (!HexToOctets(in.data, octets)) return Fail(why, "binary data is not hex");
      if (dcs == 0) dcs = 0x04;
    } else if (alphabet == Alphabet::Ucs2) {
      std::u16string units = Utf8ToUcs2(in.data, in.data.size() + 2);
      for (char16_t u : units) {
        octets.push_back(char(u >> 8));
        octets.push_back(char(u & 0xFF));
      }
      if (Ucs2OctetsToUtf8(octets) != in.data) return Fail(why, "text is not valid UTF-8");
    } else {
      octets = in.data;
    }
    if (octets.size() + udh.size() > kMaxUserDataOctets) return Fail(why, "data longer than one message");
    fields[kMT] = "4";
    fields[kNB] = Decimal(long(octets.size()) * 8);
    fields[kMsg] = HexEncode(octets);
    AppendXSer(xser, 0x02, std::string(1, char(dcs)));
  }
  fields[kXSer] = xser;

  if (in.flags & (UCP_FLAG_RECEIPT | UCP_FLAG_NONDEL_RECEIPT)) {
    fields[kNRq] = "1";
    // Delivered and not delivered, or only the failure.
    fields[kNT] = (in.flags & UCP_FLAG_RECEIPT) ? "3" : "2";
  }
  if (in.flags & kFlagReplyPath) fields[kRPI] = "1";
  if (in.pid != 0) {
    char pid[8];
    snprintf(pid, sizeof pid, "%04d", in.pid);
    fields[kRPID] = pid;
  }
  return true;
}

bool DecodeDelivery(int ot, const std::vector<std::string>& f, InboundMessage& out, std::string& why) {
  out = InboundMessage{};
  if (f.size() != kField5xCount) return Fail(why, "wrong number of fields");
  const std::string& adc = f[kAdC];
  if (!IsDigits(adc, 1, kMaxAddressDigits)) return Fail(why, "AdC is not 1 to 16 digits");
  std::string oadc;
  if (f[kOTOA] == "5039") {
    if (!DecodeAlphanumericAddress(f[kOAdC], oadc)) return Fail(why, "alphanumeric OAdC does not decode");
  } else if (IsDigits(f[kOAdC], ot == 53 ? 0 : 1, kMaxAddressDigits)) {
    oadc = (f[kOTOA] == "1139" && !f[kOAdC].empty() ? "+" : "") + f[kOAdC];
  } else {
    return Fail(why, "OAdC is not digits");
  }

  std::vector<XSerItem> items;
  if (!ParseXSer(f[kXSer], items)) return Fail(why, "XSer is not well formed");
  bool dcsGiven = false;
  for (const XSerItem& item : items) {
    if (item.type == 0x01) {
      if (item.data.empty() || size_t(uint8_t(item.data[0])) + 1 != item.data.size())
        return Fail(why, "UDH length octet disagrees with XSer");
      out.udhHex = HexEncode(item.data);
    } else if (item.type == 0x02) {
      if (item.data.size() != 1) return Fail(why, "DCS item is not one octet");
      out.dcs = uint8_t(item.data[0]);
      dcsGiven = true;
    }
  }

  const std::string& mt = f[kMT];
  const std::string& msg = f[kMsg];
  if (mt == "2") {
    if (!IsDigits(msg, 0, 160)) return Fail(why, "numeric message is not digits");
    out.data = msg;
  } else if (mt == "3") {
    std::string codes;
    if (!HexToOctets(msg, codes) || !GsmCodesToText(codes, out.data))
      return Fail(why, "MT 3 message is not GSM codes in hex");
  } else if (mt == "4") {
    std::string octets;
    if (!HexToOctets(msg, octets)) return Fail(why, "MT 4 message is not hex");
    if (!IsDigits(f[kNB], 1, 5)) return Fail(why, "NB missing");
    size_t bits = std::stoul(f[kNB]);
    if (bits > octets.size() * 8 || bits + 8 <= octets.size() * 8) return Fail(why, "NB disagrees with the message");
    if (!dcsGiven) out.dcs = 0x04;
    if (AlphabetOf(out.dcs) == Alphabet::Ucs2) {
      out.data = Ucs2OctetsToUtf8(octets);
    } else {
      out.binary = true;
      out.data = HexEncode(octets);
    }
  } else if (!(ot == 53 && mt.empty())) {
    return Fail(why, "message type not supported");
  }

  if (!f[kRPID].empty()) {
    if (!IsDigits(f[kRPID], 4, 4) || std::stoi(f[kRPID]) > 255) return Fail(why, "RPID is not a PID");
    out.pid = std::stoi(f[kRPID]);
  }
  if (f[kRPI] == "1") out.flags |= kFlagReplyPath;
  if (f[kNRq] == "1") {
    int nt = IsDigits(f[kNT], 1, 1) ? f[kNT][0] - '0' : 3;
    if (nt & 1) out.flags |= UCP_FLAG_RECEIPT;
    else if (nt & 2) out.flags |= UCP_FLAG_NONDEL_RECEIPT;
  }

  if (ot == 53) {
    // A notification: from the handset the message went to, about the submission that
    // "AdC:SCTS" names.
    if (!IsDigits(f[kSCTS], 12, 12)) return Fail(why, "SCTS is not DDMMYYhhmmss");
    const std::string& dst = f[kDst];
    int state = dst == "0" ? UCP_FLAG_DELIVERED : dst == "1" ? UCP_FLAG_IN_TRANSIT : dst == "2" ? UCP_FLAG_FAILED : 0;
    if (state == 0) return Fail(why, "Dst is not 0, 1 or 2");
    out.flags |= UCP_FLAG_IS_REPORT | state;
    out.receiptId = adc + ":" + f[kSCTS];
    out.sender = adc;
    out.recipient = oadc;
  } else {
    out.sender = oadc;
    out.recipient = adc;
  }
  return true;
}

bool DecodeResult(int ot, const std::vector<std::string>& f, Result& out) {
  out = Result{};
  if (f.size() < 2 || f.size() > 3) return false;
  if (!Printable(f.back())) return false;
  if (f[0] == "A") {
    out.ack = true;
    if (f.size() == 3) out.systemMessage = f[2];
    else if (ot != 51) out.systemMessage = f[1];
    return true;
  }
  if (f[0] != "N" || f.size() != 3 || !IsDigits(f[1], 1, 3)) return false;
  out.errorCode = std::stoi(f[1]);
  out.systemMessage = f[2];
  return out.errorCode > 0;
}

std::vector<std::string> AckFields(int ot, const std::string& systemMessage) {
  if (ot >= 50 && ot <= 59) return {"A", "", systemMessage};
  return {"A", systemMessage};
}

std::vector<std::string> NackFields(int ot, int errorCode, const std::string& systemMessage) {
  char ec[8];
  snprintf(ec, sizeof ec, "%02d", errorCode % 100);
  return {"N", ec, systemMessage};
}

}  // namespace ucp
