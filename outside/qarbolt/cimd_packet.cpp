#include "outside/qarbolt/cimd_packet.h"

#include <cstdio>

#include "gsm/submit_pdu.h"
#include "runtime/hex_text.h"

namespace cimd {

const std::string* Packet::Find(int code) const {
  for (const Parameter& p : params) {
    if (p.code == code) return &p.value;
  }
  return nullptr;
}

bool FitsParameter(std::string_view value) {
  for (unsigned char c : value) {
    if (c < 0x20 && c != '\r' && c != '\n') return false;
  }
  return true;
}

unsigned Checksum(std::string_view bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  return sum & 0xFF;
}

std::string EncodePacket(const Packet& packet) {
  char head[16];
  snprintf(head, sizeof head, "%02d:%03d", packet.op % 100, packet.number % 1000);
  std::string out;
  out += kStx;
  out += head;
  out += kTab;
  for (const Parameter& p : packet.params) {
    char code[8];
    snprintf(code, sizeof code, "%03d:", p.code % 1000);
    out += code;
    out += p.value;
    out += kTab;
  }
  AppendHexOctet(out, uint8_t(Checksum(out)));
  out += kEtx;
  return out;
}

FrameResult TakePacket(std::string& buffer, std::string& packet, size_t& junk) {
  size_t start = buffer.find(kStx);
  if (start == std::string::npos) {
    junk += buffer.size();
    buffer.clear();
    return FrameResult::NeedMore;
  }
  for (;;) {
    size_t end = buffer.find_first_of(std::string_view("\x02\x03", 2), start + 1);
    if (end == std::string::npos) {
      junk += start;
      buffer.erase(0, start);
      if (buffer.size() > kMaxPacketBytes) {
        buffer.clear();
        return FrameResult::Oversized;
      }
      return FrameResult::NeedMore;
    }
    if (buffer[end] == kStx) {
      // A packet cut short: what came before the new STX is lost.
      start = end;
      continue;
    }
    if (end + 1 - start > kMaxPacketBytes) {
      junk += start;
      buffer.erase(0, end + 1);
      return FrameResult::Oversized;
    }
    junk += start;
    packet.assign(buffer, start, end + 1 - start);
    buffer.erase(0, end + 1);
    return FrameResult::Packet;
  }
}

int DecimalValue(std::string_view text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

namespace {

bool IsEvenHex(std::string_view text, size_t maxOctets) {
  return text.size() % 2 == 0 && text.size() / 2 <= maxOctets && IsHexText(text);
}

bool InRange(std::string_view text, size_t digits, int low, int high) {
  int v = DecimalValue(text, digits);
  return v >= low && v <= high;
}

bool IsTimestamp(std::string_view text) {
  return text.size() == 12 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

bool ValidParameterValue(int code, std::string_view value) {
  switch (code) {
    case kUserIdentity:
    case kPassword:
      return value.size() <= 32;
    case kDestination:
    case kOriginator:
      return IsDialableNumber(value);
    case kAlphaOriginator:
      return !value.empty() && value.size() <= 33;
    case kDataCoding:
    case kProtocolId:
      return InRange(value, 3, 0, 255);
    case kStatusReportRequest:
      return InRange(value, 3, 0, 63);
    case kStatusCode:
      return InRange(value, 3, 0, 99);
    case kStatusErrorCode:
    case kErrorCode:
      return InRange(value, 3, 0, 999);
    case kUserDataHeader:
    case kUserDataBinary:
      return IsEvenHex(value, 140);
    case kUserData:
      return value.size() <= 1000;
    case kTimestamp:
    case kDischargeTime:
      return IsTimestamp(value);
    case kErrorText:
      return value.size() <= 256;
    default:
      return true;
  }
}

namespace {

// The checksum field, when there is one, is the text after the last TAB; it must be the
// sum of everything from STX up to that TAB.
bool ChecksumHolds(std::string_view bytes, size_t lastTabInBytes, std::string& why) {
  std::string_view tail = bytes.substr(lastTabInBytes + 1, bytes.size() - 1 - (lastTabInBytes + 1));
  if (tail.empty()) return true;
  if (tail.size() != 2 || !IsHexText(tail)) {
    why = "bad checksum field";
    return false;
  }
  if (HexOctet(tail) != Checksum(bytes.substr(0, lastTabInBytes + 1))) {
    why = "checksum mismatch";
    return false;
  }
  return true;
}

// "ppp:value<TAB>" fields, each checked.
bool ParseFields(std::string_view fields, Packet& out, std::string& why) {
  while (!fields.empty()) {
    size_t tab = fields.find(kTab);
    std::string_view field = fields.substr(0, tab);
    fields.remove_prefix(tab + 1);
    int code = DecimalValue(field.substr(0, 3), 3);
    if (field.size() < 4 || code < 0 || field[3] != ':') {
      why = "bad parameter field";
      return false;
    }
    std::string_view value = field.substr(4);
    if (!FitsParameter(value) || !ValidParameterValue(code, value)) {
      char text[48];
      snprintf(text, sizeof text, "bad value of parameter %03d", code);
      why = text;
      return false;
    }
    out.params.push_back({code, std::string(value)});
  }
  return true;
}

}  // namespace

ParseResult ParsePacket(std::string_view bytes, Packet& out) {
  ParseResult r;
  out = Packet{};
  if (bytes.size() < 9 || bytes.front() != kStx || bytes.back() != kEtx) {
    r.why = "not a packet";
    return r;
  }
  std::string_view inner = bytes.substr(1, bytes.size() - 2);
  int op = DecimalValue(inner.substr(0, 2), 2);
  int number = DecimalValue(inner.substr(3, 3), 3);
  if (op < 0 || inner[2] != ':' || number < 0 || number > 255 || inner[6] != kTab) {
    r.why = "bad operation code or packet number";
    return r;
  }
  out.op = op;
  out.number = number;
  r.headerOk = true;
  size_t lastTab = inner.rfind(kTab);
  if (!ChecksumHolds(bytes, lastTab + 1, r.why)) return r;
  // Fields run from after the header's TAB to the last TAB, which ends the last one.
  r.ok = ParseFields(inner.substr(7, lastTab - 6), out, r.why);
  return r;
}

std::string TraceText(std::string_view bytes) {
  std::string out;
  bool inPassword = false;
  size_t fieldStart = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == kTab) {
      inPassword = false;
      fieldStart = i + 1;
      out += "<TAB>";
      continue;
    }
    if (i == fieldStart + 4 && bytes.substr(fieldStart, 4) == "011:") inPassword = true;
    if (inPassword) {
      out += '*';
      continue;
    }
    if (c == kStx) {
      out += "<STX>";
      fieldStart = i + 1;
    } else if (c == kEtx) {
      out += "<ETX>";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

}  // namespace cimd
