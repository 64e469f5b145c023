#include "submit/message_parts.h"

#include "gsm/gsm_alphabet.h"
#include "gsm/septet_packing.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "config/settings.h"

namespace {
// A segment of c: c's record without its content, which the segment sets.
MessagePart SegmentOf(const SmsMessageRecord& c, uint8_t dcs, std::string data) {
  MessagePart p;
  p.message = c;
  p.message.Data = std::move(data);
  p.message.UDH.clear();
  p.message.Binary = true;
  p.message.Dcs = dcs;
  p.segment = true;
  return p;
}

void Number(std::vector<MessagePart>& parts) {
  for (size_t i = 0; i < parts.size(); ++i) {
    parts[i].number = static_cast<unsigned>(i + 1);
    parts[i].total = static_cast<unsigned>(parts.size());
  }
}

std::vector<MessagePart> TextSegments(const SmsMessageRecord& c) {
  uint8_t dcs = c.Dcs == 0 ? Settings.LongTextDCS : c.Dcs;
  std::vector<MessagePart> parts;
  for (std::string& data : GsmTextSegmentData(c.Data, Settings.ConcatRef16Bit, Settings.AltLongText))
    parts.push_back(SegmentOf(c, dcs, std::move(data)));
  Number(parts);
  return parts;
}

std::vector<MessagePart> UnicodeSegments(const SmsMessageRecord& c) {
  std::vector<MessagePart> parts;
  for (std::string& data : Ucs2SegmentData(c.Data, Settings.ConcatRef16Bit))
    parts.push_back(SegmentOf(c, UnicodeDcs(c.Dcs), std::move(data)));
  Number(parts);
  return parts;
}

std::vector<MessagePart> BinarySegmentParts(const SmsMessageRecord& c) {
  BinarySegments split =
      SplitBinaryContent(c.UDH, c.Data, c.Dcs, Settings.ConcatRef16Bit, Settings.RepeatUDHAllSegments);
  std::vector<MessagePart> parts;
  for (size_t i = 0; i < split.data.size(); ++i) {
    parts.push_back(SegmentOf(c, c.Dcs, std::move(split.data[i])));
    if (split.KeptIn(i)) parts.back().udhKept = split.keptHex;
  }
  Number(parts);
  return parts;
}

MessagePart OnePart(const SmsMessageRecord& c) {
  MessagePart p;
  p.message = c;
  return p;
}
}  // namespace

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
    if (c.Binary && c.Data.size() + c.UDH.size() > 280) return BinarySegmentParts(c);
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
  if (!p.segment || p.givenReference >= 0) return p.message.UDH;
  if (p.keptFirst) {
    std::string concat = ConcatenationUdh(reference, p.total, p.number, Settings.ConcatRef16Bit, "");
    std::string elements = p.udhKept + concat.substr(2);
    return StrPrintf("%02X", static_cast<unsigned>(elements.size() / 2)) + elements;
  }
  return ConcatenationUdh(reference, p.total, p.number, Settings.ConcatRef16Bit, p.udhKept);
}
