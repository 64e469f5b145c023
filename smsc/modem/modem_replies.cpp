#include "smsc/modem/modem_replies.h"

#include <algorithm>

#include "runtime/text_helpers.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// The text after tag up to the end of its line; npos-safe.
std::string_view AfterTag(std::string_view reply, std::string_view tag, bool& found) {
  size_t at = reply.find(tag);
  found = at != std::string_view::npos;
  if (!found) return {};
  std::string_view rest = reply.substr(at + tag.size());
  size_t end = 0;
  while (end < rest.size() && !IsLineEnd(rest[end])) ++end;
  return rest.substr(0, end);
}

// Reads a decimal number at pos (spaces skipped before it); false when none.
bool ReadNumber(std::string_view text, size_t& pos, uint32_t& value) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  size_t start = pos;
  uint64_t v = 0;
  while (pos < text.size() && IsDigit(text[pos])) {
    v = std::min<uint64_t>(v * 10 + uint64_t(text[pos] - '0'), 0xFFFFFFFFu);
    ++pos;
  }
  value = uint32_t(v);
  return pos > start;
}

void SkipComma(std::string_view text, size_t& pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (pos < text.size() && text[pos] == ',') ++pos;
}

// The fields of a header line split at commas outside quotes.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> out;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ',' && !quoted) {
      out.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  out.push_back(line.substr(start));
  return out;
}

std::string Unquoted(std::string_view field) {
  field = Trim(field);
  if (!field.empty() && field.front() == '"') field.remove_prefix(1);
  if (!field.empty() && field.back() == '"') field.remove_suffix(1);
  return std::string(field);
}

// The start of the next line after pos (past CR and LF); text.size() when none.
size_t NextLine(std::string_view text, size_t pos) {
  while (pos < text.size() && !IsLineEnd(text[pos])) ++pos;
  while (pos < text.size() && IsLineEnd(text[pos])) ++pos;
  return pos;
}

// Where a text-mode message body ends: the first CR or LF followed by "OK", "+CMGL:" or
// "ERROR".
size_t TextBodyEnd(std::string_view text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (!IsLineEnd(text[i])) continue;
    std::string_view rest = text.substr(i + 1);
    if (rest.starts_with("OK") || rest.starts_with("+CMGL:") || rest.starts_with("ERROR")) return i;
  }
  return text.size();
}

}  // namespace

bool ReplyOk(std::string_view reply) {
  for (size_t at = reply.find("OK"); at != std::string_view::npos; at = reply.find("OK", at + 1)) {
    if (at + 2 < reply.size() && IsLineEnd(reply[at + 2])) return true;
  }
  return false;
}

std::string ReplyForText(std::string_view reply) {
  std::string out(reply);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  }
  return out;
}

CpmsReply ParseCpmsReply(std::string_view reply) {
  CpmsReply r;
  std::string_view line = AfterTag(reply, "+CPMS:", r.found);
  if (!r.found) return r;
  r.empty = std::none_of(line.begin(), line.end(), IsAlnum);
  size_t pos = 0;
  while (r.entries.size() < 3 && pos < line.size()) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    CpmsEntry e;
    if (pos < line.size() && !IsDigit(line[pos])) {
      bool quoted = line[pos] == '"';
      if (quoted) ++pos;
      size_t start = pos;
      while (pos < line.size() && IsAlnum(line[pos]) && pos - start < 9) ++pos;
      e.name = ToUpper(line.substr(start, pos - start));
      if (quoted && pos < line.size() && line[pos] == '"') ++pos;
      if (e.name.empty()) break;
      SkipComma(line, pos);
    }
    if (!ReadNumber(line, pos, e.used)) break;
    SkipComma(line, pos);
    if (!ReadNumber(line, pos, e.total)) break;
    SkipComma(line, pos);
    r.entries.push_back(e);
  }
  return r;
}

CpmsOffer ParseCpmsOffer(std::string_view reply) {
  CpmsOffer o;
  bool found = false;
  std::string_view line = AfterTag(reply, "+CPMS:", found);
  o.sr = line.find("\"SR\"") != std::string_view::npos;
  o.sm = line.find("\"SM\"") != std::string_view::npos;
  o.me = line.find("\"ME\"") != std::string_view::npos;
  o.mt = line.find("\"MT\"") != std::string_view::npos;
  return o;
}

std::vector<CmglEntry> ParseCmglReply(std::string_view reply, bool textMode) {
  std::vector<CmglEntry> out;
  constexpr std::string_view kTag = "+CMGL:";
  size_t at = reply.find(kTag);
  while (at != std::string_view::npos) {
    size_t lineEnd = at + kTag.size();
    while (lineEnd < reply.size() && !IsLineEnd(reply[lineEnd])) ++lineEnd;
    std::string_view header = reply.substr(at + kTag.size(), lineEnd - at - kTag.size());
    std::vector<std::string_view> fields = Fields(header);
    CmglEntry e;
    size_t pos = 0;
    bool haveIndex = ReadNumber(fields[0], pos, e.index);
    size_t next = NextLine(reply, lineEnd);
    if (textMode) {
      if (fields.size() > 1) e.status = Unquoted(fields[1]);
      if (fields.size() > 2) {
        std::string_view f = SkipSpaces(fields[2]);
        if (!f.empty() && f.front() == '"') f.remove_prefix(1);
        size_t end = 0;
        while (end < f.size() && end < 512 && f[end] != '"' && f[end] != ',' &&
               static_cast<unsigned char>(f[end]) >= 32) {
          ++end;
        }
        e.sender = std::string(f.substr(0, end));
      }
      size_t bodyEnd = next < reply.size() ? TextBodyEnd(reply, next) : reply.size();
      std::string body(reply.substr(next, std::min<size_t>(bodyEnd - std::min(next, bodyEnd), 1023)));
      while (!body.empty() && static_cast<unsigned char>(body.back()) <= 32) body.pop_back();
      e.body = body;
      if (haveIndex) out.push_back(e);
      at = reply.find(kTag, std::max(lineEnd, bodyEnd));
    } else {
      size_t end = next;
      while (end < reply.size() && !IsLineEnd(reply[end])) ++end;
      if (haveIndex && next < reply.size() && IsHexDigit(reply[next])) {
        e.body = std::string(reply.substr(next, end - next));
        out.push_back(e);
      }
      at = reply.find(kTag, lineEnd);
    }
  }
  return out;
}

std::string ParseCnumNumber(std::string_view reply) {
  bool found = false;
  std::string_view line = AfterTag(reply, "+CNUM:", found);
  size_t comma = line.find(',');
  if (comma == std::string_view::npos) return "";
  size_t quote = line.find('"', comma);
  if (quote == std::string_view::npos) return "";
  std::string out = "+";
  for (size_t i = quote + 1; i < line.size() && out.size() < 50; ++i) {
    char c = line[i];
    if (c == '+' && out.size() == 1) continue;
    if (!IsDigit(c)) break;
    out += c;
  }
  return out.size() > 1 ? out : "";
}

std::string CnmiValue(std::string_view reply) {
  bool found = false;
  return std::string(Trim(AfterTag(reply, "+CNMI:", found)));
}

std::string CnmiWithIndications(std::string_view value) {
  size_t comma = value.find(',');
  if (comma == std::string_view::npos) return "";
  if (comma + 1 < value.size() && (value[comma + 1] == '1' || value[comma + 1] == '2')) return "";
  return std::string(value.substr(0, comma + 1)) + "1";
}

std::string CnmiWithReports(std::string_view value, char digit) {
  std::vector<std::string_view> fields = Fields(value);
  if (fields.size() < 4 || Trim(fields[3]) == "1") return "";
  std::string out;
  for (size_t i = 0; i < 3; ++i) out += std::string(fields[i]) + ",";
  return out + digit;
}

bool CregNotRegistered(std::string_view reply) {
  bool found = false;
  std::string_view line = AfterTag(reply, "+CREG:", found);
  size_t pos = 0;
  uint32_t n = 0;
  if (!ReadNumber(line, pos, n)) return false;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (pos >= line.size() || line[pos] != ',') return false;
  ++pos;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  return pos < line.size() && line[pos] == '0';
}

bool CopsSelected(std::string_view reply) {
  bool found = false;
  std::string_view line = AfterTag(reply, "+COPS:", found);
  size_t pos = 0;
  uint32_t n = 0;
  if (!ReadNumber(line, pos, n)) return false;
  return pos < line.size() && line[pos] == ',';
}

bool CfunNotFull(std::string_view reply) {
  bool found = false;
  std::string_view line = Trim(AfterTag(reply, "+CFUN:", found));
  return found && line != "1";
}

bool CfunResetSupported(std::string_view reply) {
  bool found = false;
  std::string_view line = AfterTag(reply, "+CFUN:", found);
  size_t close = line.find(')');
  if (line.find('(') == std::string_view::npos || close == std::string_view::npos) return false;
  std::string_view rest = SkipSpaces(line.substr(close + 1));
  return !rest.empty() && rest.front() == ',';
}

bool CsmsPhase2Plus(std::string_view reply) {
  bool found = false;
  std::string_view line = SkipSpaces(AfterTag(reply, "+CSMS:", found));
  return line.starts_with("1,");
}

std::string CmgsReference(std::string_view reply) {
  bool found = false;
  std::string_view line = Trim(AfterTag(reply, "+CMGS:", found));
  size_t end = 0;
  while (end < line.size() && IsDigit(line[end])) ++end;
  return std::string(line.substr(0, end));
}
