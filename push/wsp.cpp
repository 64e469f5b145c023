#include "push/wsp.h"

#include <ctime>

#include "push/wsp_tables.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"

namespace {
struct Named { const char* name; uint32_t number; };
constexpr Named kApplicationIds[] = {
    {"x-wap-application:push.sia", 1},    {"x-wap-application:wml.ua", 2},  {"x-wap-application:wta.ua", 3},
    {"x-wap-application:mms.ua", 4},      {"x-wap-application:push.syncml", 5}, {"x-wap-application:loc.ua", 6},
    {"x-wap-application:syncml.dm", 7},   {"x-wap-application:drm.ua", 8}, {"x-wap-application:enm.ua", 9},
    {"x-wap-application:wv.ua", 10}};

std::string Unquoted(std::string_view v) {
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  return std::string(v);
}

// Seconds since 1970 of an HTTP date (any of its three forms) or of a plain number.
std::optional<uint64_t> DateSeconds(std::string_view text) {
  std::string t(Trim(text));
  if (t.empty()) return std::nullopt;
  bool digits = true;
  for (char c : t) digits = digits && c >= '0' && c <= '9';
  if (digits && t.size() <= 12) return std::stoull(t);
  for (const char* form : {"%a, %d %b %Y %H:%M:%S", "%A, %d-%b-%y %H:%M:%S", "%a %b %d %H:%M:%S %Y"}) {
    struct tm tm = {};
    if (strptime(t.c_str(), form, &tm) != nullptr) {
      time_t s = timegm(&tm);
      if (s >= 0) return static_cast<uint64_t>(s);
    }
  }
  return std::nullopt;
}

std::string TextHeader(std::string_view name, std::string_view value) {
  std::string out;
  AppendText(out, name);
  AppendText(out, value);
  return out;
}

std::string CacheControl(std::string_view value) {
  static const Named kPlain[] = {{"no-cache", 0x80},       {"no-store", 0x81}, {"only-if-cached", 0x85},
                                 {"public", 0x86},         {"private", 0x87},  {"no-transform", 0x88},
                                 {"must-revalidate", 0x89}, {"proxy-revalidate", 0x8A}};
  static const Named kSeconds[] = {{"max-age", 0x82}, {"max-stale", 0x83}, {"min-fresh", 0x84}, {"s-maxage", 0x8B}};
  std::string v(Trim(value));
  for (const Named& n : kPlain)
    if (EqualsNoCase(v, n.name)) return std::string(1, '\x88') + static_cast<char>(n.number);
  size_t eq = v.find('=');
  if (eq != std::string::npos) {
    std::string name(Trim(std::string_view(v).substr(0, eq)));
    for (const Named& n : kSeconds)
      if (EqualsNoCase(name, n.name)) {
        std::string body(1, static_cast<char>(n.number));
        AppendInteger(body, ParseDecimal(v.substr(eq + 1)));
        std::string out(1, '\x88');
        AppendValueLength(out, body.size());
        return out + body;
      }
  }
  std::string out(1, '\x88');
  AppendText(out, v);
  return out;
}
}  // namespace

void AppendUintvar(std::string& out, uint32_t value) {
  char buf[5];
  int n = 0;
  do {
    buf[n++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n > 0) {
    --n;
    out += static_cast<char>(buf[n] | (n > 0 ? 0x80 : 0));
  }
}

void AppendLongInteger(std::string& out, uint64_t value) {
  std::string octets;
  do {
    octets.insert(octets.begin(), static_cast<char>(value & 0xFF));
    value >>= 8;
  } while (value != 0);
  out += static_cast<char>(octets.size());
  out += octets;
}

void AppendInteger(std::string& out, uint64_t value) {
  if (value < 0x80)
    out += static_cast<char>(value | 0x80);
  else
    AppendLongInteger(out, value);
}

void AppendText(std::string& out, std::string_view text) {
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);  // a NUL would end the text early
  if (!text.empty() && static_cast<uint8_t>(text[0]) >= 0x80) out += '\x7F';
  out += text;
  out += '\0';
}

void AppendValueLength(std::string& out, size_t length) {
  if (length < 31) {
    out += static_cast<char>(length);
  } else {
    out += '\x1F';
    AppendUintvar(out, static_cast<uint32_t>(length));
  }
}

std::optional<uint8_t> ContentTypeCode(std::string_view type) {
  type = Trim(type);
  std::span<const char* const> names = WspContentTypeNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (EqualsNoCase(type, names[i])) return static_cast<uint8_t>(i);
  return std::nullopt;
}

std::optional<uint32_t> CharsetNumber(std::string_view name) {
  std::string n = Unquoted(name);
  for (const WspCharset& c : WspCharsets())
    if (EqualsNoCase(n, c.name)) return c.number;
  return std::nullopt;
}

std::optional<uint64_t> ApplicationIdNumber(std::string_view id) {
  id = Trim(id);
  for (const Named& a : kApplicationIds)
    if (EqualsNoCase(id, a.name)) return a.number;
  if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X')) {
    uint64_t v = 0;
    for (char c : id.substr(2)) {
      if (!IsHexDigit(c)) return std::nullopt;
      v = (v << 4) | static_cast<uint64_t>(HexDigitValue(c));
      if (v > 0xFFFFFFFFu) return std::nullopt;
    }
    return v;
  }
  return std::nullopt;
}

std::string ContentTypeField(std::string_view media, std::string_view parameters, bool general) {
  // Registered numbers beyond the short-integer range.
  static const Named kExtended[] = {{"application/vnd.oma.drm.roap-trigger+wbxml", 0x0316}};
  std::string type;
  const Named* extended = nullptr;
  for (const Named& e : kExtended)
    if (EqualsNoCase(Trim(media), e.name)) extended = &e;
  if (auto code = ContentTypeCode(media))
    type += static_cast<char>(*code | 0x80);
  else if (extended)
    AppendLongInteger(type, extended->number);
  else
    AppendText(type, media);
  if (parameters.empty() && !general) return type;
  std::string out;
  AppendValueLength(out, type.size() + parameters.size());
  return out + type + std::string(parameters);
}

std::string ContentTypeParameters(std::string_view text) {
  std::string out;
  for (const std::string& item : SplitList(text, ";")) {
    std::string_view p = Trim(item);
    size_t eq = p.find('=');
    if (p.empty() || eq == std::string_view::npos) continue;
    std::string name(Trim(p.substr(0, eq)));
    std::string value = Unquoted(p.substr(eq + 1));
    if (EqualsNoCase(name, "charset")) {
      out += '\x81';
      AppendInteger(out, CharsetNumber(value).value_or(106));
    } else if (EqualsNoCase(name, "type")) {
      out += '\x89';
      if (auto code = ContentTypeCode(value))
        out += static_cast<char>(*code | 0x80);
      else
        AppendText(out, value);
    } else if (EqualsNoCase(name, "name") || EqualsNoCase(name, "filename") || EqualsNoCase(name, "start")) {
      out += EqualsNoCase(name, "name") ? '\x85' : EqualsNoCase(name, "filename") ? '\x86' : '\x8A';
      AppendText(out, value);
    } else {
      AppendText(out, name);
      AppendText(out, value);
    }
  }
  return out;
}

std::string ApplicationIdHeader(std::string_view id) {
  id = Trim(id);
  if (id.empty()) return {};
  std::string out(1, '\xAF');
  if (auto number = ApplicationIdNumber(id)) {
    if (*number == 0) return {};
    AppendInteger(out, *number);
  } else {
    AppendText(out, id);
  }
  return out;
}

std::string EncodeHeaderLine(std::string_view line) {
  line = Trim(line);
  if (line.empty()) return {};
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    if (IsHexText(line)) return HexDecodeLeading(line, line.size() / 2);
    return TextHeader(line, "");
  }
  std::string name(Trim(line.substr(0, colon)));
  std::string value(Trim(line.substr(colon + 1)));
  auto is = [&](const char* n) { return EqualsNoCase(name, n); };
  if (is("Content-type")) return {};
  if (is("WWW-Authenticate") || is("Proxy-Authenticate")) {
    std::string body;
    std::string_view v = value;
    if (StartsWithNoCase(v, "Basic")) {
      body += '\x80';
      std::string_view rest = Trim(v.substr(5));
      if (StartsWithNoCase(rest, "realm=")) rest = rest.substr(6);
      AppendText(body, Unquoted(rest));
    } else {
      size_t space = v.find(' ');
      AppendText(body, v.substr(0, space));
      AppendText(body, space == std::string_view::npos ? std::string_view() : Trim(v.substr(space + 1)));
    }
    std::string out(1, is("WWW-Authenticate") ? '\xAD' : '\xA0');
    AppendValueLength(out, body.size());
    return out + body;
  }
  struct Coded { const char* name; char code; };
  static const Coded kDates[] = {{"Date", '\x92'}, {"Expires", '\x94'}, {"If-Modified-Since", '\x97'},
                                 {"Last-modified", '\x9D'}};
  for (const Coded& d : kDates)
    if (is(d.name)) {
      auto seconds = DateSeconds(value);
      if (!seconds) return TextHeader(name, value);
      std::string out(1, d.code);
      AppendLongInteger(out, *seconds);
      return out;
    }
  if (is("Cache-Control")) return CacheControl(value);
  if (is("Pragma")) {
    if (EqualsNoCase(value, "No-Cache")) return std::string("\x9F\x80", 2);
    return TextHeader(name, value);
  }
  static const Coded kTexts[] = {{"Content-base", '\x8A'}, {"ETag", '\x93'},  {"Referer", '\xA4'},
                                 {"Location", '\x9C'},     {"X-WAP-Content-URI", '\xB0'}, {"X-WAP-Initiator-URI", '\xB1'}};
  for (const Coded& t : kTexts)
    if (is(t.name)) {
      std::string out(1, t.code);
      AppendText(out, value);
      return out;
    }
  if (is("Content-Range")) {
    // bytes first-last/length
    std::string_view v = value;
    if (StartsWithNoCase(v, "bytes")) v = Trim(v.substr(5));
    size_t dash = v.find('-'), slash = v.find('/');
    if (dash != std::string_view::npos && slash != std::string_view::npos && slash > dash) {
      std::string body;
      AppendUintvar(body, ParseDecimal(v.substr(0, dash)));
      AppendUintvar(body, ParseDecimal(v.substr(slash + 1)));
      std::string out(1, '\x90');
      AppendValueLength(out, body.size());
      return out + body;
    }
    return TextHeader(name, value);
  }
  if (is("Accept-ranges")) {
    if (EqualsNoCase(value, "bytes")) return std::string("\x84\x81", 2);
    if (EqualsNoCase(value, "none")) return std::string("\x84\x80", 2);
    return TextHeader(name, value);
  }
  if (is("X-WAP-Application-ID")) return ApplicationIdHeader(value);
  if (is("Push-Flag")) return std::string(1, '\xB4') + static_cast<char>((ParseDecimal(value) & 0x7F) | 0x80);
  return TextHeader(name, value);
}

std::string NetworkPinKey(std::string_view pin) {
  size_t colon = pin.find(':');
  std::string_view imsi = pin.substr(0, colon);
  std::string digits;
  for (char c : imsi)
    if (c >= '0' && c <= '9' && digits.size() < 15) digits += c;
  std::string key;
  if (!digits.empty()) {
    bool odd = digits.size() % 2 == 1;
    key += static_cast<char>(((digits[0] - '0') << 4) | (odd ? 0x9 : 0x1));
    for (size_t i = 1; i < digits.size(); i += 2) {
      unsigned low = static_cast<unsigned>(digits[i] - '0');
      unsigned high = i + 1 < digits.size() ? static_cast<unsigned>(digits[i + 1] - '0') : 0xF;
      key += static_cast<char>((high << 4) | low);
    }
  }
  if (colon != std::string_view::npos) key += pin.substr(colon + 1);
  return key;
}
