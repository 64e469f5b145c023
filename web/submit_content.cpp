#include "web/submit_content.h"

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "service/settings.h"

namespace {
// A segment of c: c's record without its content, which the segment sets.
MessagePart SegmentOf(const SmsMessageRecord& c) {
  MessagePart p;
  p.message = c;
  p.message.Data.clear();
  p.message.UDH.clear();
  p.segment = true;
  return p;
}

size_t ConcatOctets() { return Settings.ConcatRef16Bit ? 6 : 5; }

// Septet runs of at most size septets, never ending inside an escape pair.
std::vector<std::string> SplitSeptets(const std::string& septets, size_t size) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < septets.size() && out.size() < kMaxSegments) {
    size_t n = std::min(size, septets.size() - pos);
    if (pos + n < septets.size() && n > 0 && static_cast<uint8_t>(septets[pos + n - 1]) == kGsmEscape) {
      // An escape at the cut belongs with its character.
      size_t escapes = 0;
      for (size_t i = pos + n; i > pos && static_cast<uint8_t>(septets[i - 1]) == kGsmEscape; --i) ++escapes;
      if (escapes % 2 == 1) --n;
    }
    out.push_back(septets.substr(pos, n));
    pos += n;
  }
  if (pos < septets.size()) WriteDebugLogf("Debug", "Long text cut to %u segments", kMaxSegments);
  return out;
}

std::vector<MessagePart> TextSegments(const SmsMessageRecord& c) {
  std::string septets;
  Utf8ToGsm(c.Data, septets, 0);
  bool alt = Settings.AltLongText;
  size_t size = alt ? 152 : (Settings.ConcatRef16Bit ? 152 : 153);
  std::vector<std::string> runs = SplitSeptets(septets, size);
  std::vector<MessagePart> parts;
  uint8_t dcs = c.Dcs == 0 ? Settings.LongTextDCS : c.Dcs;
  for (size_t i = 0; i < runs.size(); ++i) {
    MessagePart p = SegmentOf(c);
    p.number = static_cast<unsigned>(i + 1);
    p.total = static_cast<unsigned>(runs.size());
    p.message.Binary = true;
    p.message.Dcs = dcs;
    int fill = static_cast<int>((1 + ConcatOctets()) % 7);
    if (alt) {
      std::string withCr = "\r" + runs[i];
      PackSeptetsToHex(withCr, withCr.size(), p.message.Data, 0);
    } else {
      PackSeptetsToHex(runs[i], runs[i].size(), p.message.Data, fill);
    }
    parts.push_back(std::move(p));
  }
  return parts;
}

std::vector<MessagePart> UnicodeSegments(const SmsMessageRecord& c) {
  std::u16string units = Utf8ToUcs2(c.Data);
  size_t size = Settings.ConcatRef16Bit ? 66 : 67;
  std::vector<MessagePart> parts;
  size_t pos = 0;
  while (pos < units.size() && parts.size() < kMaxSegments) {
    size_t n = std::min(size, units.size() - pos);
    char16_t last = units[pos + n - 1];
    if (pos + n < units.size() && last >= 0xD800 && last <= 0xDBFF) --n;  // keep a surrogate pair together
    MessagePart p = SegmentOf(c);
    p.message.Binary = true;
    p.message.Dcs = UnicodeDcs(c.Dcs);
    for (size_t i = pos; i < pos + n; ++i) p.message.Data += StrPrintf("%04X", static_cast<unsigned>(units[i]));
    parts.push_back(std::move(p));
    pos += n;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    parts[i].number = static_cast<unsigned>(i + 1);
    parts[i].total = static_cast<unsigned>(parts.size());
  }
  return parts;
}

std::vector<MessagePart> BinarySegments(const SmsMessageRecord& c) {
  std::string header = HexDecodeLeading(c.UDH, c.UDH.size() / 2);
  std::string kept;
  if (!header.empty()) {
    size_t end = std::min(header.size(), static_cast<size_t>(static_cast<uint8_t>(header[0])) + 1);
    for (size_t i = 1; i + 1 < end;) {
      uint8_t iei = static_cast<uint8_t>(header[i]);
      size_t len = static_cast<uint8_t>(header[i + 1]);
      if (i + 2 + len > end) break;
      if (iei != 0 && iei != 8) kept += header.substr(i, 2 + len);
      i += 2 + len;
    }
  }
  auto headerOctets = [&](size_t index) {
    bool withKept = index == 0 || Settings.RepeatUDHAllSegments;
    return 1 + ConcatOctets() + (withKept ? kept.size() : 0);
  };
  std::vector<MessagePart> parts;
  auto add = [&](std::string data, size_t index) {
    MessagePart p = SegmentOf(c);
    p.message.Binary = true;
    p.message.Dcs = c.Dcs;
    p.message.Data = std::move(data);
    if (index == 0 || Settings.RepeatUDHAllSegments) p.udhKept = HexEncode(kept);
    parts.push_back(std::move(p));
  };
  if (c.Dcs == 0) {
    std::string septets;
    UnpackHexSeptets(c.Data, septets, 0, static_cast<int>(header.size() % 7));
    size_t pos = 0;
    while (pos < septets.size() && parts.size() < kMaxSegments) {
      size_t h = headerOctets(parts.size());
      size_t room = 160 - (8 * h + 6) / 7;
      std::string run = septets.substr(pos, room);
      std::string hex;
      PackSeptetsToHex(run, run.size(), hex, static_cast<int>(h % 7));
      add(std::move(hex), parts.size());
      pos += run.size();
    }
  } else {
    std::string octets = HexDecodeLeading(c.Data, c.Data.size() / 2);
    size_t pos = 0;
    while (pos < octets.size() && parts.size() < kMaxSegments) {
      size_t room = 140 - headerOctets(parts.size());
      if (IsUcs2Dcs(c.Dcs)) room &= ~static_cast<size_t>(1);  // never split a UCS-2 character
      std::string run = octets.substr(pos, room);
      add(HexEncode(run), parts.size());
      pos += run.size();
    }
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    parts[i].number = static_cast<unsigned>(i + 1);
    parts[i].total = static_cast<unsigned>(parts.size());
  }
  return parts;
}

MessagePart OnePart(const SmsMessageRecord& c) {
  MessagePart p;
  p.message = c;
  return p;
}
}  // namespace

uint8_t UnicodeDcs(uint8_t dcs) { return (dcs < 0x50 || dcs > 0xBF) ? static_cast<uint8_t>(dcs | 0x08) : 0x08; }

bool ValidUdh(const std::string& udh) {
  if (udh.empty()) return true;
  if (!IsHexText(udh) || udh.size() < 2) return false;
  return HexToInt(udh.substr(0, 2)) == udh.size() / 2 - 1;
}

void PackTextAfterUdh(SmsMessageRecord& c) {
  if (UTF8StringRequiresUnicodeEncoding(c.Data)) {
    WriteDebugLog("Debug", "SMS message must be submitted with Unicode");
    WriteDebugLog("Debug", c.Data);
    c.Data = Utf8ToUcs2Hex(c.Data);
    c.Dcs = UnicodeDcs(c.Dcs);
  } else {
    std::string septets;
    Utf8ToGsm(c.Data, septets, 0);
    std::string hex;
    PackSeptetsToHex(septets, septets.size(), hex, static_cast<int>((c.UDH.size() / 2) % 7));
    c.Data = hex;
  }
  c.Binary = true;
}

std::vector<MessagePart> BuildMessageParts(const SmsMessageRecord& c, std::string& error) {
  std::vector<MessagePart> parts;
  SmsMessageRecord one = c;
  if (!c.Binary && UTF8StringRequiresUnicodeEncoding(c.Data)) {
    // UCS-2 whether or not the gateway segments: raw UTF-8 would reach the handset as 7-bit.
    if (!Settings.SendLongMessagesAsIs && Ucs2UnitCount(c.Data) > 70) return UnicodeSegments(c);
    one.Data = Utf8ToUcs2Hex(c.Data);
    one.Binary = true;
    one.Dcs = UnicodeDcs(c.Dcs);
  } else if (!Settings.SendLongMessagesAsIs) {
    if (!c.Binary && GsmSeptetCount(c.Data) > 160) return TextSegments(c);
    if (c.Binary && c.Data.size() + c.UDH.size() > 280) return BinarySegments(c);
  }
  if (one.Data.size() > kOnePartContentMax) {
    bool ucs2 = one.Binary && !c.Binary;  // four hexadecimal digits a character
    error = StrPrintf("Message content too long: a %smessage sent in one part holds at most %zu characters.",
                      ucs2 ? "Unicode " : "", ucs2 ? kOnePartContentMax / 4 : kOnePartContentMax);
    return {};
  }
  parts.push_back(OnePart(one));
  return parts;
}

std::string PartUdh(const MessagePart& p, unsigned reference) {
  if (!p.segment) return p.message.UDH;
  std::string concat = Settings.ConcatRef16Bit ? StrPrintf("0804%04X%02X%02X", reference & 0xFFFF, p.total, p.number)
                                               : StrPrintf("0003%02X%02X%02X", reference & 0xFF, p.total, p.number);
  std::string body = concat + p.udhKept;
  return StrPrintf("%02X", static_cast<unsigned>(body.size() / 2)) + body;
}
