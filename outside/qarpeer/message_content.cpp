#include "outside/qarpeer/message_content.h"

#include <cstdio>
#include <strings.h>

#include "gsm/coding_groups.h"
#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"

namespace peer {
namespace {

using Alphabet = TextAlphabet;

// The data_coding values the library gives meaning to: the GSM coding groups, plus the
// SMPP values 0x01 (IA5) and 0x03 (Latin-1).
Alphabet AlphabetOf(int dcs) {
  return dcs == 0x01 || dcs == 0x03 ? Alphabet::Latin1 : AlphabetOfCodingGroup(dcs);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool DecodeHex(std::string_view hex, std::string& out) {
  if (hex.size() % 2 || !IsHexText(hex)) return false;
  out = HexDecodeLeading(hex, hex.size() / 2);
  return out.size() == hex.size() / 2;
}

std::string Utf8ToLatin1(std::string_view utf8) {
  std::u16string units = Utf8ToUcs2(utf8, utf8.size() + 2);
  std::string out;
  for (char16_t u : units) out.push_back(u <= 0xFF ? char(u) : '?');
  return out;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out.push_back(char(c));
    } else {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void AddressTonNpi(const std::string& address, uint8_t& ton, uint8_t& npi, std::string& digits) {
  digits = address;
  if (address.empty()) {
    ton = npi = 0;
    return;
  }
  bool plus = address[0] == '+';
  bool allDigits = true;
  for (size_t i = plus ? 1 : 0; i < address.size(); ++i) {
    if (address[i] < '0' || address[i] > '9') allDigits = false;
  }
  if (allDigits && plus) {
    ton = 1;
    npi = 1;
    digits = address.substr(1);
  } else if (allDigits) {
    ton = 0;
    npi = 1;
  } else {
    ton = 5;
    npi = 0;
  }
}

bool OverrideByte(std::string_view params, std::string_view key, uint8_t& target) {
  std::string v;
  if (!ExtraParam(params, key, v)) return true;
  if (v.empty() || v.size() > 3) return false;
  unsigned n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + unsigned(c - '0');
  }
  if (n > 255) return false;
  target = uint8_t(n);
  return true;
}

// Received texts go into "a=b; c=d" lists, logs and files: no control bytes or separators.
std::string Clean(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (uint8_t(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

}  // namespace

bool ExtraParam(std::string_view params, std::string_view key, std::string& value) {
  for (const std::string& listed : SplitList(params, ";")) {
    std::string_view item = listed;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view k = Trim(item.substr(0, eq));
    if (k.size() == key.size() && strncasecmp(k.data(), key.data(), k.size()) == 0) {
      value = std::string(Trim(item.substr(eq + 1)));
      return true;
    }
  }
  return false;
}

std::string RelativeValidity(std::string_view text) {
  text = Trim(text);
  unsigned long n = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    n = n * 10 + unsigned(text[i] - '0');
    if (n > 1000000) return {};
  }
  if (i == 0 || n == 0 || i + 1 != text.size()) return {};
  unsigned long minutes = 0;
  switch (text[i]) {
    case 'd': case 'D': minutes = std::min(n, 99ul) * 1440; break;
    case 'h': case 'H': minutes = n * 60; break;
    case 'm': case 'M': minutes = n; break;
    default: return {};
  }
  unsigned long days = std::min(minutes / 1440, 99ul);
  unsigned long hours = (minutes % 1440) / 60, mins = minutes % 60;
  char buf[20];
  snprintf(buf, sizeof buf, "0000%02lu%02lu%02lu00000R", days, hours, mins);
  return buf;
}

int BuildShortMessage(const OutboundMessage& in, smpp::ShortMessage& m, std::string& why) {
  const std::string& params = in.extraParams;
  AddressTonNpi(in.sender, m.sourceTon, m.sourceNpi, m.source);
  AddressTonNpi(in.recipient, m.destTon, m.destNpi, m.dest);
  if (!OverrideByte(params, "SourceTON", m.sourceTon) || !OverrideByte(params, "SourceNPI", m.sourceNpi) ||
      !OverrideByte(params, "DestTON", m.destTon) || !OverrideByte(params, "DestNPI", m.destNpi)) {
    why = "bad TON/NPI override";
    return smpp::kStatusInvalidOptStream;
  }
  if (m.source.size() > 20) {
    why = "sender longer than 20 characters";
    return 0x0A;
  }
  if (m.dest.empty() || m.dest.size() > 20) {
    why = "recipient empty or longer than 20 characters";
    return smpp::kStatusInvalidDestAddr;
  }
  std::string serviceType;
  if (ExtraParam(params, "ServiceType", serviceType)) {
    if (serviceType.size() > 5) {
      why = "service type longer than 5 characters";
      return 0x15;
    }
    m.serviceType = serviceType;
  }
  std::string validity;
  if (ExtraParam(params, "Validity", validity)) m.validity = RelativeValidity(validity);
  m.protocolId = uint8_t(in.pid);
  m.dataCoding = uint8_t(in.dcs);
  m.esmClass = 0;
  if (in.flags & SMPP_FLAG_REPLY_PATH) m.esmClass |= 0x80;
  if (in.deliver && (in.flags & SMPP_FLAG_IS_REPORT)) m.esmClass |= 0x04;
  if (in.flags & SMPP_FLAG_RECEIPT) {
    m.registeredDelivery = 1;
  } else if (in.flags & SMPP_FLAG_NONDEL_RECEIPT) {
    m.registeredDelivery = 2;
  }

  std::string udh, content;
  if (!in.udhHex.empty()) {
    if (!DecodeHex(in.udhHex, udh) || udh.empty() || size_t(uint8_t(udh[0])) + 1 != udh.size()) {
      why = "UDH is not a complete header in hex";
      return smpp::kStatusInvalidMsgLength;
    }
    m.esmClass |= 0x40;
  }
  if (in.binary) {
    if (!DecodeHex(in.data, content)) {
      why = "binary data is not hex";
      return smpp::kStatusInvalidMsgLength;
    }
  } else {
    switch (AlphabetOf(in.dcs)) {
      case Alphabet::Gsm: Utf8ToGsm(in.data, content, 0); break;
      case Alphabet::Ucs2: {
        std::u16string units = Utf8ToUcs2(in.data, in.data.size() + 2);
        for (char16_t u : units) {
          content.push_back(char(u >> 8));
          content.push_back(char(u & 0xFF));
        }
        break;
      }
      case Alphabet::Latin1: content = Utf8ToLatin1(in.data); break;
      case Alphabet::EightBit: content = in.data; break;
    }
  }
  std::string payload = udh + content;

  m.tlvs.clear();
  // Every "SMPPOption_<name>=<value>" item becomes one optional parameter.
  for (const std::string& listed : SplitList(params, ";")) {
    std::string_view item = listed;
    constexpr std::string_view kPrefix = "SMPPOption_";
    if (item.size() < kPrefix.size() || strncasecmp(item.data(), kPrefix.data(), kPrefix.size()) != 0) continue;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    smpp::Tlv tlv;
    std::string_view name = Trim(item.substr(kPrefix.size(), eq - kPrefix.size()));
    if (!smpp::TlvFromOption(name, Trim(item.substr(eq + 1)), tlv)) {
      why = "unusable optional parameter " + std::string(name);
      return 0xC4;
    }
    m.tlvs.push_back(std::move(tlv));
  }
  if (in.version < 0x34 && !m.tlvs.empty()) {
    why = "optional parameters need SMPP 3.4";
    return 0xC1;
  }
  if (payload.size() > smpp::kMaxShortMessage) {
    if (in.version < 0x34 || payload.size() > 0xFFFF) {
      why = "message longer than one PDU can carry";
      return smpp::kStatusInvalidMsgLength;
    }
    m.tlvs.push_back({0x0424, payload});
    m.shortMessage.clear();
  } else {
    m.shortMessage = payload;
  }
  return 0;
}

bool DecodeReceived(uint32_t commandId, uint32_t sequence, const smpp::ShortMessage& m, ReceivedMessage& out,
                    uint32_t& status) {
  std::string payload = m.shortMessage;
  std::string options;
  for (const smpp::Tlv& t : m.tlvs) {
    if (t.tag == 0x0424) {
      if (payload.empty()) payload = t.value;
      continue;
    }
    if (!options.empty()) options += "; ";
    options += "SMPPOption_" + smpp::OptionFromTlv(t);
  }
  std::string udh;
  if (m.esmClass & 0x40) {
    if (payload.empty() || size_t(uint8_t(payload[0])) + 1 > payload.size()) {
      status = smpp::kStatusInvalidMsgLength;
      return false;
    }
    size_t udhLength = size_t(uint8_t(payload[0])) + 1;
    udh = payload.substr(0, udhLength);
    payload.erase(0, udhLength);
  }
  out.udhHex = HexEncode(udh);
  bool binary = false;
  switch (AlphabetOf(m.dataCoding)) {
    case Alphabet::Gsm: {
      std::string septets;
      for (char c : payload) septets.push_back(char(c & 0x7F));
      out.data = GsmDecodeToUtf8(septets, septets.size());
      break;
    }
    case Alphabet::Ucs2: out.data = Ucs2OctetsToUtf8(payload); break;
    case Alphabet::Latin1: out.data = Latin1ToUtf8(payload); break;
    case Alphabet::EightBit:
      binary = true;
      out.data = HexEncode(payload);
      break;
  }
  out.sender = Clean(m.source);
  out.recipient = Clean(m.dest);
  out.serviceType = Clean(m.serviceType);
  out.validity = Clean(m.validity);
  std::string extra;
  if (!out.serviceType.empty()) extra = "ServiceType=" + out.serviceType;
  if (!out.validity.empty()) extra += (extra.empty() ? "" : "; ") + std::string("Validity=") + out.validity;
  if (!options.empty()) extra += (extra.empty() ? "" : "; ") + options;
  out.extraParams = extra;
  out.Fill(commandId, sequence, m);
  out.view.binary = binary ? 1 : 0;
  return true;
}

void ReceivedMessage::Fill(uint32_t commandId, uint32_t sequence, const smpp::ShortMessage& m) {
  view = SMPPReceivedMessage{};
  view.sender = sender.c_str();
  view.senderTon = m.sourceTon;
  view.senderNpi = m.sourceNpi;
  view.recipient = recipient.c_str();
  view.recipientTon = m.destTon;
  view.recipientNpi = m.destNpi;
  view.pid = m.protocolId;
  view.dcs = m.dataCoding;
  view.esmClass = m.esmClass;
  view.registeredDelivery = m.registeredDelivery;
  int flags = 0;
  if (m.esmClass & 0x80) flags |= SMPP_FLAG_REPLY_PATH;
  if ((m.registeredDelivery & 3) == 1) flags |= SMPP_FLAG_RECEIPT;
  if ((m.registeredDelivery & 3) == 2) flags |= SMPP_FLAG_NONDEL_RECEIPT;
  uint8_t type = m.esmClass & 0x3C;
  if (commandId != smpp::kSubmitSm && (type == 0x04 || type == 0x08 || type == 0x10 || type == 0x20)) {
    flags |= SMPP_FLAG_IS_REPORT;
  }
  view.flags = flags;
  view.udhHex = udhHex.c_str();
  view.data = data.c_str();
  view.serviceType = serviceType.c_str();
  view.validity = validity.c_str();
  view.extraParams = extraParams.c_str();
  view.commandId = commandId;
  view.sequence = sequence;
}

}  // namespace peer
