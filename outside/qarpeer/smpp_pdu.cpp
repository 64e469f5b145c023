#include "outside/qarpeer/smpp_pdu.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdio>
#include <strings.h>

#include "runtime/hex_text.h"

namespace smpp {
namespace {

void AppendU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}
void AppendU16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}
uint32_t ReadU32(std::string_view b, size_t pos) {
  return (uint32_t(uint8_t(b[pos])) << 24) | (uint32_t(uint8_t(b[pos + 1])) << 16) |
         (uint32_t(uint8_t(b[pos + 2])) << 8) | uint32_t(uint8_t(b[pos + 3]));
}

// Reads fields in order from a received body; any overrun clears ok and stops reading.
struct BodyReader {
  std::string_view data;
  size_t pos = 0;
  bool ok = true;

  uint8_t U8() {
    if (!ok || pos >= data.size()) {
      ok = false;
      return 0;
    }
    return uint8_t(data[pos++]);
  }
  // A C-octet string of at most maxLength bytes including its terminator.
  std::string CStr(size_t maxLength) {
    if (!ok) return {};
    size_t limit = std::min(data.size() - pos, maxLength);
    size_t end = data.substr(pos, limit).find('\0');
    if (end == std::string_view::npos) {
      ok = false;
      return {};
    }
    std::string text(data.substr(pos, end));
    pos += end + 1;
    return text;
  }
  std::string Bytes(size_t n) {
    if (!ok || data.size() - pos < n) {
      ok = false;
      return {};
    }
    std::string bytes(data.substr(pos, n));
    pos += n;
    return bytes;
  }
  std::string_view Rest() const { return ok ? data.substr(pos) : std::string_view(); }
};

constexpr std::array<TlvInfo, 44> kTlvs = {{
    {0x0005, "dest_addr_subunit", TlvInfo::Int1},
    {0x0006, "dest_network_type", TlvInfo::Int1},
    {0x0007, "dest_bearer_type", TlvInfo::Int1},
    {0x0008, "dest_telematics_id", TlvInfo::Int2},
    {0x000D, "source_addr_subunit", TlvInfo::Int1},
    {0x000E, "source_network_type", TlvInfo::Int1},
    {0x000F, "source_bearer_type", TlvInfo::Int1},
    {0x0010, "source_telematics_id", TlvInfo::Int1},
    {0x0017, "qos_time_to_live", TlvInfo::Int4},
    {0x0019, "payload_type", TlvInfo::Int1},
    {0x001D, "additional_status_info_text", TlvInfo::CString},
    {0x001E, "receipted_message_id", TlvInfo::CString},
    {0x0030, "ms_msg_wait_facilities", TlvInfo::Int1},
    {0x0201, "privacy_indicator", TlvInfo::Int1},
    {0x0202, "source_subaddress", TlvInfo::Octets},
    {0x0203, "dest_subaddress", TlvInfo::Octets},
    {0x0204, "user_message_reference", TlvInfo::Int2},
    {0x0205, "user_response_code", TlvInfo::Int1},
    {0x020A, "source_port", TlvInfo::Int2},
    {0x020B, "destination_port", TlvInfo::Int2},
    {0x020C, "sar_msg_ref_num", TlvInfo::Int2},
    {0x020D, "language_indicator", TlvInfo::Int1},
    {0x020E, "sar_total_segments", TlvInfo::Int1},
    {0x020F, "sar_segment_seqnum", TlvInfo::Int1},
    {0x0210, "sc_interface_version", TlvInfo::Int1},
    {0x0302, "callback_num_pres_ind", TlvInfo::Int1},
    {0x0303, "callback_num_atag", TlvInfo::Octets},
    {0x0304, "number_of_messages", TlvInfo::Int1},
    {0x0381, "callback_num", TlvInfo::Octets},
    {0x0420, "dpf_result", TlvInfo::Int1},
    {0x0421, "set_dpf", TlvInfo::Int1},
    {0x0422, "ms_availability_status", TlvInfo::Int1},
    {0x0423, "network_error_code", TlvInfo::Octets},
    {0x0424, "message_payload", TlvInfo::Octets},
    {0x0425, "delivery_failure_reason", TlvInfo::Int1},
    {0x0426, "more_messages_to_send", TlvInfo::Int1},
    {0x0427, "message_state", TlvInfo::Int1},
    {0x0501, "ussd_service_op", TlvInfo::Int1},
    {0x1201, "display_time", TlvInfo::Int1},
    {0x1203, "sms_signal", TlvInfo::Int2},
    {0x1204, "ms_validity", TlvInfo::Int1},
    {0x130C, "alert_on_message_delivery", TlvInfo::Octets},
    {0x1380, "its_reply_type", TlvInfo::Int1},
    {0x1383, "its_session_info", TlvInfo::Octets},
}};

bool HexToBytes(std::string_view hex, std::string& out) {
  if (!IsHexText(hex)) return false;
  out = HexDecodeLeading(hex, hex.size() / 2);
  return true;
}
bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 10) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + uint64_t(c - '0');
  }
  return out <= max;
}

}  // namespace

std::string EncodePdu(const Pdu& pdu) {
  std::string out;
  out.reserve(kHeaderLength + pdu.body.size());
  AppendU32(out, uint32_t(kHeaderLength + pdu.body.size()));
  AppendU32(out, pdu.commandId);
  AppendU32(out, pdu.status);
  AppendU32(out, pdu.sequence);
  out += pdu.body;
  return out;
}

uint32_t CheckedCommandLength(std::string_view header) {
  if (header.size() < 4) return 0;
  uint32_t length = ReadU32(header, 0);
  if (length < kHeaderLength || length > kMaxPduLength) return 0;
  return length;
}

Pdu DecodePdu(std::string_view bytes) {
  Pdu pdu;
  if (bytes.size() < kHeaderLength) return pdu;
  pdu.commandId = ReadU32(bytes, 4);
  pdu.status = ReadU32(bytes, 8);
  pdu.sequence = ReadU32(bytes, 12);
  pdu.body = std::string(bytes.substr(kHeaderLength));
  return pdu;
}

bool IsResponse(uint32_t commandId) { return (commandId & kResponseBit) != 0; }

const char* CommandName(uint32_t id) {
  switch (id) {
    case kGenericNack: return "generic_nack";
    case kBindReceiver: return "bind_receiver";
    case kBindReceiver | kResponseBit: return "bind_receiver_resp";
    case kBindTransmitter: return "bind_transmitter";
    case kBindTransmitter | kResponseBit: return "bind_transmitter_resp";
    case kBindTransceiver: return "bind_transceiver";
    case kBindTransceiver | kResponseBit: return "bind_transceiver_resp";
    case kQuerySm: return "query_sm";
    case kSubmitSm: return "submit_sm";
    case kSubmitSm | kResponseBit: return "submit_sm_resp";
    case kDeliverSm: return "deliver_sm";
    case kDeliverSm | kResponseBit: return "deliver_sm_resp";
    case kUnbind: return "unbind";
    case kUnbind | kResponseBit: return "unbind_resp";
    case kReplaceSm: return "replace_sm";
    case kCancelSm: return "cancel_sm";
    case kOutbind: return "outbind";
    case kEnquireLink: return "enquire_link";
    case kEnquireLink | kResponseBit: return "enquire_link_resp";
    case kSubmitMulti: return "submit_multi";
    case kAlertNotification: return "alert_notification";
    case kDataSm: return "data_sm";
    case kDataSm | kResponseBit: return "data_sm_resp";
    default: return "unknown";
  }
}

void AppendCString(std::string& out, std::string_view text, size_t maxLength) {
  size_t cut = std::min(text.size(), maxLength - 1);
  // A terminator inside the text would end the field early on the other side.
  size_t nul = text.substr(0, cut).find('\0');
  if (nul != std::string_view::npos) cut = nul;
  out.append(text.substr(0, cut));
  out.push_back('\0');
}

void AppendTlv(std::string& out, uint16_t tag, std::string_view value) {
  AppendU16(out, tag);
  AppendU16(out, uint16_t(std::min<size_t>(value.size(), 0xFFFF)));
  out.append(value.substr(0, 0xFFFF));
}

bool DecodeTlvs(std::string_view data, std::vector<Tlv>& out) {
  size_t pos = 0;
  while (pos < data.size()) {
    if (data.size() - pos < 4) return false;
    uint16_t tag = uint16_t((uint8_t(data[pos]) << 8) | uint8_t(data[pos + 1]));
    size_t length = size_t((uint8_t(data[pos + 2]) << 8) | uint8_t(data[pos + 3]));
    pos += 4;
    if (data.size() - pos < length) return false;
    out.push_back({tag, std::string(data.substr(pos, length))});
    pos += length;
  }
  return true;
}

namespace {
// service_type and the two addresses, which open submit_sm, deliver_sm and data_sm.
void AppendAddresses(std::string& b, const ShortMessage& m, size_t addressMax) {
  AppendCString(b, m.serviceType, 6);
  b.push_back(char(m.sourceTon));
  b.push_back(char(m.sourceNpi));
  AppendCString(b, m.source, addressMax);
  b.push_back(char(m.destTon));
  b.push_back(char(m.destNpi));
  AppendCString(b, m.dest, addressMax);
}
void ReadAddresses(BodyReader& r, ShortMessage& m, size_t addressMax) {
  m.serviceType = r.CStr(6);
  m.sourceTon = r.U8();
  m.sourceNpi = r.U8();
  m.source = r.CStr(addressMax);
  m.destTon = r.U8();
  m.destNpi = r.U8();
  m.dest = r.CStr(addressMax);
}
}  // namespace

std::string EncodeShortMessage(const ShortMessage& m, bool withTlvs) {
  std::string b;
  AppendAddresses(b, m, 21);
  b.push_back(char(m.esmClass));
  b.push_back(char(m.protocolId));
  b.push_back(char(m.priority));
  AppendCString(b, m.schedule, 17);
  AppendCString(b, m.validity, 17);
  b.push_back(char(m.registeredDelivery));
  b.push_back(char(m.replaceIfPresent));
  b.push_back(char(m.dataCoding));
  b.push_back(char(m.defaultMsgId));
  size_t length = std::min(m.shortMessage.size(), kMaxShortMessage);
  b.push_back(char(length));
  b.append(m.shortMessage, 0, length);
  if (withTlvs) {
    for (const Tlv& t : m.tlvs) AppendTlv(b, t.tag, t.value);
  }
  return b;
}

bool DecodeShortMessage(std::string_view body, ShortMessage& m) {
  BodyReader r{body};
  ReadAddresses(r, m, 21);
  m.esmClass = r.U8();
  m.protocolId = r.U8();
  m.priority = r.U8();
  m.schedule = r.CStr(17);
  m.validity = r.CStr(17);
  m.registeredDelivery = r.U8();
  m.replaceIfPresent = r.U8();
  m.dataCoding = r.U8();
  m.defaultMsgId = r.U8();
  uint8_t length = r.U8();
  m.shortMessage = r.Bytes(length);
  if (!r.ok) return false;
  m.tlvs.clear();
  return DecodeTlvs(r.Rest(), m.tlvs);
}

std::string EncodeDataSm(const ShortMessage& m) {
  std::string b;
  AppendAddresses(b, m, 65);
  b.push_back(char(m.esmClass));
  b.push_back(char(m.registeredDelivery));
  b.push_back(char(m.dataCoding));
  for (const Tlv& t : m.tlvs) AppendTlv(b, t.tag, t.value);
  return b;
}

bool DecodeDataSm(std::string_view body, ShortMessage& m) {
  BodyReader r{body};
  ReadAddresses(r, m, 65);
  m.esmClass = r.U8();
  m.registeredDelivery = r.U8();
  m.dataCoding = r.U8();
  if (!r.ok) return false;
  m.tlvs.clear();
  return DecodeTlvs(r.Rest(), m.tlvs);
}

std::string EncodeBind(const BindBody& bind) {
  std::string b;
  AppendCString(b, bind.systemId, 16);
  AppendCString(b, bind.password, 9);
  AppendCString(b, bind.systemType, 13);
  b.push_back(char(bind.interfaceVersion));
  b.push_back(char(bind.addrTon));
  b.push_back(char(bind.addrNpi));
  AppendCString(b, bind.addressRange, 41);
  return b;
}

bool DecodeBind(std::string_view body, BindBody& out) {
  BodyReader r{body};
  out.systemId = r.CStr(16);
  out.password = r.CStr(9);
  out.systemType = r.CStr(13);
  out.interfaceVersion = r.U8();
  out.addrTon = r.U8();
  out.addrNpi = r.U8();
  out.addressRange = r.CStr(41);
  return r.ok && r.Rest().empty();
}

bool DecodeLeadingCString(std::string_view body, size_t maxLength, std::string& out) {
  out.clear();
  if (body.empty()) return true;
  BodyReader r{body};
  out = r.CStr(maxLength);
  if (!r.ok) return false;
  std::vector<Tlv> ignored;
  return DecodeTlvs(r.Rest(), ignored);
}

const TlvInfo* FindTlvByName(std::string_view name) {
  for (const TlvInfo& t : kTlvs) {
    if (name.size() == strlen(t.name) && strncasecmp(name.data(), t.name, name.size()) == 0) return &t;
  }
  return nullptr;
}

const TlvInfo* FindTlvByTag(uint16_t tag) {
  for (const TlvInfo& t : kTlvs) {
    if (t.tag == tag) return &t;
  }
  return nullptr;
}

bool TlvFromOption(std::string_view name, std::string_view value, Tlv& out) {
  if (const TlvInfo* info = FindTlvByName(name)) {
    out.tag = info->tag;
    uint64_t n = 0;
    switch (info->kind) {
      case TlvInfo::Int1:
        if (!ParseUnsigned(value, 0xFF, n)) return false;
        out.value.assign(1, char(n));
        return true;
      case TlvInfo::Int2:
        if (!ParseUnsigned(value, 0xFFFF, n)) return false;
        out.value.clear();
        AppendU16(out.value, uint16_t(n));
        return true;
      case TlvInfo::Int4:
        if (!ParseUnsigned(value, 0xFFFFFFFFu, n)) return false;
        out.value.clear();
        AppendU32(out.value, uint32_t(n));
        return true;
      case TlvInfo::CString:
        if (value.find('\0') != std::string_view::npos) return false;
        out.value = std::string(value) + '\0';
        return true;
      case TlvInfo::Octets:
        return HexToBytes(value, out.value);
    }
    return false;
  }
  std::string_view tagText = name;
  if (tagText.size() > 2 && tagText[0] == '0' && (tagText[1] == 'x' || tagText[1] == 'X')) tagText.remove_prefix(2);
  if (tagText.empty() || tagText.size() > 4) return false;
  for (char c : tagText) {
    if (!IsHexDigit(c)) return false;
  }
  out.tag = uint16_t(HexToInt(tagText));
  return HexToBytes(value, out.value);
}

std::string OptionFromTlv(const Tlv& tlv) {
  const TlvInfo* info = FindTlvByTag(tlv.tag);
  if (!info) {
    char name[8];
    snprintf(name, sizeof name, "%04X", tlv.tag);
    return std::string(name) + "=" + HexEncode(tlv.value);
  }
  std::string text = std::string(info->name) + "=";
  const std::string& v = tlv.value;
  auto number = [&](size_t width) {
    if (v.size() != width) return HexEncode(v);
    uint32_t n = 0;
    for (unsigned char c : v) n = (n << 8) | c;
    return std::to_string(n);
  };
  switch (info->kind) {
    case TlvInfo::Int1: return text + number(1);
    case TlvInfo::Int2: return text + number(2);
    case TlvInfo::Int4: return text + number(4);
    case TlvInfo::CString: {
      std::string s = v.substr(0, v.find('\0'));
      // Received values travel on in "a=b; c=d" lists and into files: no separators or
      // control bytes survive.
      for (char& c : s) {
        if (uint8_t(c) < 0x20 || c == ';' || c == 0x7F) c = ' ';
      }
      return text + s;
    }
    case TlvInfo::Octets: return text + HexEncode(v);
  }
  return text;
}

}  // namespace smpp
