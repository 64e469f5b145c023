#include "modem/pushed_scan.h"

#include <algorithm>

#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"

namespace {

constexpr size_t kMaxSender = 49;
constexpr size_t kMaxText = 499;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Past one line end (CR LF, LF CR, CR or LF) at i.
size_t PastLineEnd(std::string_view b, size_t i) {
  if (i < b.size() && IsLineEnd(b[i])) {
    char first = b[i++];
    if (i < b.size() && IsLineEnd(b[i]) && b[i] != first) ++i;
  }
  return i;
}

size_t SkipLineEnds(std::string_view b, size_t i) {
  while (i < b.size() && IsLineEnd(b[i])) ++i;
  return i;
}

size_t HexRun(std::string_view b, size_t i) {
  size_t j = i;
  while (j < b.size() && IsHexDigit(b[j])) ++j;
  return j - i;
}

std::string_view TextSender(std::string_view fields) {
  fields = SkipSpaces(fields);
  if (!fields.empty() && fields.front() == '"') fields.remove_prefix(1);
  size_t n = 0;
  while (n < fields.size() && n < kMaxSender) {
    unsigned char c = static_cast<unsigned char>(fields[n]);
    if (c < 32 || c == ',' || c == '"') break;
    ++n;
  }
  return fields.substr(0, n);
}

PushedScan Malformed(PushedScan s, size_t headerEnd, std::string_view b) {
  s.shape = PushedShape::Malformed;
  s.end = PastLineEnd(b, headerEnd);
  return s;
}

PushedScan ScanCmt(PushedScan s, std::string_view b, std::string_view fields, size_t headerEnd) {
  size_t commas = static_cast<size_t>(std::count(fields.begin(), fields.end(), ','));
  size_t next = SkipLineEnds(b, headerEnd);
  uint32_t length = 0;
  bool overlong = false;
  if (commas >= 1 && commas < 3) {
    std::string_view digits = SkipSpaces(fields.substr(fields.find(',') + 1));
    size_t n = 0;
    while (n < digits.size() && digits[n] >= '0' && digits[n] <= '9') ++n;
    length = ParseDecimal(digits.substr(0, n));
    overlong = length > kMaxPushedPduOctets;  // waiting for it would never end
  }
  if (overlong) return Malformed(s, headerEnd, b);
  if (length == 0) {  // text form: the header line and one more complete line
    if (next >= b.size()) return s.shape = PushedShape::Incomplete, s;
    size_t textEnd = FindLineEnd(b, next);
    if (textEnd == std::string_view::npos) return s.shape = PushedShape::Incomplete, s;
    s.shape = PushedShape::TextCmt;
    s.sender = TextSender(fields);
    s.text = b.substr(next, std::min(textEnd - next, kMaxText));
    s.end = PastLineEnd(b, textEnd);
    return s;
  }
  // PDU form: the SMSC length octet, then that many octets and the TPDU.
  if (next + 2 > b.size()) {
    if (next < b.size() && !IsHexDigit(b[next])) return Malformed(s, headerEnd, b);
    return s.shape = PushedShape::Incomplete, s;
  }
  if (!IsHexDigit(b[next]) || !IsHexDigit(b[next + 1])) return Malformed(s, headerEnd, b);
  size_t smscLength = static_cast<size_t>(HexToInt(b.substr(next, 2)));
  size_t need = 2 * (1 + smscLength + length);
  size_t run = HexRun(b, next);
  size_t take;
  if (run >= need) {
    take = need;
  } else if (next + run >= b.size()) {
    return s.shape = PushedShape::Incomplete, s;
  } else {
    take = run;  // the line ended short: the decoder says what is missing
  }
  s.shape = PushedShape::Pdu;
  s.pdu = b.substr(next, take);
  s.end = PastLineEnd(b, next + take);
  return s;
}

PushedScan ScanCds(PushedScan s, std::string_view b, std::string_view fields, size_t headerEnd) {
  s.statusReport = true;
  std::string_view f = Trim(fields);
  if (f.find(',') != std::string_view::npos) {
    s.shape = PushedShape::TextCds;
    s.end = PastLineEnd(b, headerEnd);
    return s;
  }
  bool digits = !f.empty() && std::all_of(f.begin(), f.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || ParseDecimal(f) > kMaxPushedPduOctets) return Malformed(s, headerEnd, b);
  size_t next = SkipLineEnds(b, headerEnd);
  if (next >= b.size()) return s.shape = PushedShape::Incomplete, s;
  if (!IsHexDigit(b[next])) return Malformed(s, headerEnd, b);
  size_t lineEnd = FindLineEnd(b, next);
  if (lineEnd == std::string_view::npos) return s.shape = PushedShape::Incomplete, s;
  s.shape = PushedShape::Pdu;
  s.pdu = b.substr(next, HexRun(b, next));  // the hex digits; anything after them is no PDU
  s.end = PastLineEnd(b, lineEnd);
  return s;
}

}  // namespace

PushedScan ScanPushed(std::string_view b, size_t from) {
  PushedScan s;
  if (from >= b.size()) return s;
  size_t cmt = b.find("+CMT:", from);
  size_t cds = b.find("+CDS:", from);
  size_t at = std::min(cmt, cds);
  if (at == std::string_view::npos) return s;
  s.begin = at;
  size_t fieldsStart = at + 5;
  size_t headerEnd = FindLineEnd(b, fieldsStart);
  if (headerEnd == std::string_view::npos) return s.shape = PushedShape::Incomplete, s;
  std::string_view fields = b.substr(fieldsStart, headerEnd - fieldsStart);
  return at == cmt ? ScanCmt(s, b, fields, headerEnd) : ScanCds(s, b, fields, headerEnd);
}
