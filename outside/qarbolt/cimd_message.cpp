#include "outside/qarbolt/cimd_message.h"

#include "gsm/gsm_alphabet.h"
#include "gsm/submit_pdu.h"
#include "outside/qarbolt/cimd_text.h"
#include "outside/qarbolt/qarbolt.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"

namespace cimd {
namespace {

enum class Alphabet { Gsm, EightBit, Ucs2 };

Alphabet AlphabetOf(int dcs) {
  if (IsUcs2Dcs(uint8_t(dcs))) return Alphabet::Ucs2;
  return IsSevenBitDcs(uint8_t(dcs)) ? Alphabet::Gsm : Alphabet::EightBit;
}

// The same coding with the 8-bit alphabet, for binary data under a 7-bit coding.
int EightBitCoding(int dcs) {
  if ((dcs & 0xF0) == 0xF0) return dcs | 0x04;
  if ((dcs & 0x80) == 0) return (dcs & ~0x0C) | 0x04;
  return dcs;
}

constexpr size_t kUserDataOctets = 140;

}  // namespace

int StatusReportRequestFor(int flags) {
  // Final outcomes: 2 validity expired, 4 failed, 8 delivered, 16 cancelled, 32 deleted.
  if (flags & CIMD_FLAG_RECEIPT) return 2 | 4 | 8 | 16 | 32;
  if (flags & CIMD_FLAG_NONDEL_RECEIPT) return 2 | 4 | 16 | 32;
  return 0;
}

std::string MessageIdOf(const std::string& destination, const std::string& timestamp) {
  return destination + ":" + timestamp;
}

namespace {

bool AddAddresses(const OutboundMessage& m, Packet& packet, std::string& why) {
  if (!IsDialableNumber(m.recipient)) {
    why = "recipient is not an address";
    return false;
  }
  packet.Add(kDestination, m.recipient);
  if (m.sender.empty()) return true;  // the centre's default originator
  if (IsDialableNumber(m.sender)) {
    packet.Add(kOriginator, m.sender);
    return true;
  }
  std::string alpha;
  size_t septets = 0;
  if (!EncodeText(m.sender, alpha, septets) || septets > 11) {
    why = "sender cannot be an alphanumeric address";
    return false;
  }
  packet.Add(kAlphaOriginator, alpha);
  return true;
}

// Octets of the user data header; false when the hex is not one (its length octet counts).
bool HeaderOctets(const std::string& udhHex, size_t& octets) {
  octets = udhHex.size() / 2;
  if (udhHex.empty()) return true;
  return IsHexText(udhHex) && udhHex.size() % 2 == 0 && HexToInt(udhHex.substr(0, 2)) + 1 == octets;
}

// The user data as parameter 033 (text) or 034 (hex), with the coding that goes with it.
bool UserData(const OutboundMessage& m, size_t udhOctets, int& dcs, Parameter& data, std::string& why) {
  Alphabet alphabet = AlphabetOf(dcs);
  data.code = kUserDataBinary;
  if (m.binary) {
    if (!IsHexText(m.data) || m.data.size() % 2) {
      why = "binary data is not hex";
      return false;
    }
    if (alphabet == Alphabet::Gsm) dcs = EightBitCoding(dcs);
    data.value = ToUpper(m.data);
  } else if (alphabet == Alphabet::Ucs2) {
    std::u32string cps;
    if (!DecodeUtf8(m.data, cps)) {
      why = "text is not UTF-8";
      return false;
    }
    data.value = Utf8ToUcs2Hex(m.data);
  } else if (alphabet == Alphabet::EightBit) {
    data.value = HexEncode(m.data);
  } else {
    size_t septets = 0;
    data.code = kUserData;
    if (!EncodeText(m.data, data.value, septets)) {
      why = "text has a character the CIMD2 character set cannot carry";
      return false;
    }
    if (septets > (kUserDataOctets - udhOctets) * 8 / 7) {
      why = "text too long";
      return false;
    }
    return true;
  }
  if (udhOctets + data.value.size() / 2 > kUserDataOctets) {
    why = "user data too long";
    return false;
  }
  return true;
}

}  // namespace

bool BuildSubmit(const OutboundMessage& m, Packet& packet, std::string& why) {
  packet = Packet{};
  packet.op = kSubmit;
  if (!AddAddresses(m, packet, why)) return false;
  if (m.pid < 0 || m.pid > 255 || m.dcs < 0 || m.dcs > 255) {
    why = "PID or DCS out of range";
    return false;
  }
  size_t udhOctets = 0;
  if (!HeaderOctets(m.udhHex, udhOctets)) {
    why = "user data header is not one";
    return false;
  }
  int dcs = m.dcs;
  Parameter data;
  if (!UserData(m, udhOctets, dcs, data, why)) return false;
  if (dcs != 0) packet.Add(kDataCoding, std::to_string(dcs));
  if (!m.udhHex.empty()) packet.Add(kUserDataHeader, ToUpper(m.udhHex));
  packet.params.push_back(std::move(data));
  if (m.pid != 0) packet.Add(kProtocolId, std::to_string(m.pid));
  if (int request = StatusReportRequestFor(m.flags); request != 0) packet.Add(kStatusReportRequest, std::to_string(request));
  for (const Parameter& p : packet.params) {
    if (!FitsParameter(p.value)) {
      why = "a value would break the packet";
      return false;
    }
  }
  return true;
}

namespace {

int IntegerOf(const Packet& packet, int code) {
  const std::string* v = packet.Find(code);
  return v ? DecimalValue(*v, 3) : 0;
}

int ReportFlags(int statusCode) {
  switch (statusCode) {
    case 4: return CIMD_FLAG_IS_REPORT | CIMD_FLAG_DELIVERED;
    case 1:
    case 5: return CIMD_FLAG_IS_REPORT | CIMD_FLAG_IN_TRANSIT;
    default: return CIMD_FLAG_IS_REPORT | CIMD_FLAG_FAILED;
  }
}

const char* StatusText(int statusCode) {
  switch (statusCode) {
    case 1: return "in process";
    case 2: return "validity period expired";
    case 3: return "delivery failed";
    case 4: return "delivery successful";
    case 5: return "no response";
    case 6: return "last no response";
    case 7: return "message cancelled";
    case 8: return "message deleted";
    case 9: return "message deleted by cancel";
    default: return "unknown status";
  }
}

bool DecodeReport(const Packet& packet, const std::string& destination, ReceivedMessage& out, std::string& why) {
  const std::string* timestamp = packet.Find(kTimestamp);
  const std::string* status = packet.Find(kStatusCode);
  if (!timestamp || !status) {
    why = "status report without time stamp or status code";
    return false;
  }
  int code = DecimalValue(*status, 3);
  out.report = true;
  out.flags = ReportFlags(code);
  out.sender = destination;
  if (const std::string* originator = packet.Find(kOriginator)) out.recipient = *originator;
  out.receiptMessageId = MessageIdOf(destination, *timestamp);
  out.data = StatusText(code);
  out.extraParams = "CIMDStatusCode=" + std::to_string(code);
  if (const std::string* error = packet.Find(kStatusErrorCode)) out.extraParams += "; CIMDStatusErrorCode=" + *error;
  return true;
}

bool DecodeMessage(const Packet& packet, const std::string& destination, ReceivedMessage& out, std::string& why) {
  out.recipient = destination;
  if (const std::string* originator = packet.Find(kOriginator)) {
    out.sender = *originator;
  } else if (const std::string* alpha = packet.Find(kAlphaOriginator)) {
    out.sender = DecodeText(*alpha);
  } else {
    why = "no originating address";
    return false;
  }
  out.dcs = IntegerOf(packet, kDataCoding);
  out.pid = IntegerOf(packet, kProtocolId);
  if (const std::string* udh = packet.Find(kUserDataHeader)) out.udhHex = ToUpper(*udh);
  const std::string* text = packet.Find(kUserData);
  const std::string* binary = packet.Find(kUserDataBinary);
  if (text && binary) {
    why = "both user data and binary user data";
    return false;
  }
  if (text) {
    out.data = DecodeText(*text);
  } else if (binary && AlphabetOf(out.dcs) == Alphabet::Ucs2) {
    out.data = Ucs2OctetsToUtf8(HexDecodeLeading(*binary, binary->size() / 2));
  } else if (binary) {
    out.data = ToUpper(*binary);
    out.binary = true;
  }
  return true;
}

}  // namespace

bool DecodeDelivery(const Packet& packet, ReceivedMessage& out, std::string& why) {
  out = ReceivedMessage{};
  const std::string* destination = packet.Find(kDestination);
  if (!destination) {
    why = "no destination address";
    return false;
  }
  return packet.op == kDeliverReport ? DecodeReport(packet, *destination, out, why)
                                     : DecodeMessage(packet, *destination, out, why);
}

}  // namespace cimd
