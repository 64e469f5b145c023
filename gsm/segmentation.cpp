#include "gsm/segmentation.h"

#include <algorithm>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

uint8_t UnicodeDcs(uint8_t dcs) { return (dcs < 0x50 || dcs > 0xBF) ? static_cast<uint8_t>(dcs | 0x08) : 0x08; }

bool ValidUdh(std::string_view udh) {
  if (udh.empty()) return true;
  if (!IsHexText(udh) || udh.size() < 2) return false;
  return HexToInt(udh.substr(0, 2)) == udh.size() / 2 - 1;
}

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

std::vector<std::string> GsmTextSegmentData(std::string_view utf8, bool reference16, bool altLongText) {
  std::string septets;
  Utf8ToGsm(utf8, septets, 0);
  size_t size = altLongText ? 152 : (reference16 ? 152 : 153);
  int fill = static_cast<int>((1 + ConcatElementOctets(reference16)) % 7);
  std::vector<std::string> data;
  for (const std::string& run : SplitSeptets(septets, size)) {
    std::string hex;
    if (altLongText) {
      std::string withCr = "\r" + run;
      PackSeptetsToHex(withCr, withCr.size(), hex, 0);
    } else {
      PackSeptetsToHex(run, run.size(), hex, fill);
    }
    data.push_back(std::move(hex));
  }
  return data;
}

std::vector<std::string> Ucs2SegmentData(std::string_view utf8, bool reference16) {
  std::u16string units = Utf8ToUcs2(utf8);
  size_t size = reference16 ? 66 : 67;
  std::vector<std::string> data;
  size_t pos = 0;
  while (pos < units.size() && data.size() < kMaxSegments) {
    size_t n = std::min(size, units.size() - pos);
    char16_t last = units[pos + n - 1];
    if (pos + n < units.size() && last >= 0xD800 && last <= 0xDBFF) --n;  // keep a surrogate pair together
    std::string hex;
    for (size_t i = pos; i < pos + n; ++i) hex += StrPrintf("%04X", static_cast<unsigned>(units[i]));
    data.push_back(std::move(hex));
    pos += n;
  }
  return data;
}

BinarySegments SplitBinaryContent(std::string_view udhHex, std::string_view dataHex, uint8_t dcs, bool reference16,
                                  bool repeatKept) {
  BinarySegments out;
  out.repeatKept = repeatKept;
  std::string header = HexDecodeLeading(udhHex, udhHex.size() / 2);
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
  out.keptHex = HexEncode(kept);
  auto headerOctets = [&](size_t index) {
    return 1 + ConcatElementOctets(reference16) + (out.KeptIn(index) ? kept.size() : 0);
  };
  if (dcs == 0) {
    std::string septets;
    UnpackHexSeptets(dataHex, septets, 0, static_cast<int>(header.size() % 7));
    size_t pos = 0;
    while (pos < septets.size() && out.data.size() < kMaxSegments) {
      size_t h = headerOctets(out.data.size());
      size_t room = 160 - (8 * h + 6) / 7;
      std::string run = septets.substr(pos, room);
      std::string hex;
      PackSeptetsToHex(run, run.size(), hex, static_cast<int>(h % 7));
      out.data.push_back(std::move(hex));
      pos += run.size();
    }
  } else {
    std::string octets = HexDecodeLeading(dataHex, dataHex.size() / 2);
    size_t pos = 0;
    while (pos < octets.size() && out.data.size() < kMaxSegments) {
      size_t room = 140 - headerOctets(out.data.size());
      if (IsUcs2Dcs(dcs)) room &= ~static_cast<size_t>(1);  // never split a UCS-2 character
      std::string run = octets.substr(pos, room);
      out.data.push_back(HexEncode(run));
      pos += run.size();
    }
  }
  return out;
}

std::string ConcatenationUdh(unsigned reference, unsigned total, unsigned number, bool reference16,
                             std::string_view keptHex) {
  std::string body = reference16 ? StrPrintf("0804%04X%02X%02X", reference & 0xFFFF, total, number)
                                 : StrPrintf("0003%02X%02X%02X", reference & 0xFF, total, number);
  body += keptHex;
  return StrPrintf("%02X", static_cast<unsigned>(body.size() / 2)) + body;
}
