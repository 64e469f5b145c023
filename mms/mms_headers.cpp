#include "mms/mms_headers.h"

#include <cstdio>

#include "runtime/dates.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {

constexpr const char* kMessageTypes[] = {
    "m-send-req",         "m-send-conf",        "m-notification-ind", "m-notifyresp-ind",  "m-retrieve-conf",
    "m-acknowledge-ind",  "m-delivery-ind",     "m-read-rec-ind",     "m-read-orig-ind",   "m-forward-req",
    "m-forward-conf",     "m-mbox-store-req",   "m-mbox-store-conf",  "m-mbox-view-req",   "m-mbox-view-conf",
    "m-mbox-upload-req",  "m-mbox-upload-conf", "m-mbox-delete-req",  "m-mbox-delete-conf", "m-mbox-descr"};

struct Named {
  uint8_t value;
  const char* name;
};

const Named kResponseStatus[] = {
    {0x80, "Ok"}, {0x81, "Error-unspecified"}, {0x82, "Error-service-denied"},
    {0x83, "Error-message-format-corrupt"}, {0x84, "Error-sending-address-unresolved"},
    {0x85, "Error-message-not-found"}, {0x86, "Error-network-problem"}, {0x87, "Error-content-not-accepted"},
    {0x88, "Error-unsupported-message"}, {0xC0, "Error-transient-failure"},
    {0xC1, "Error-transient-sending-address-unresolved"}, {0xC2, "Error-transient-message-not-found"},
    {0xC3, "Error-transient-network-problem"}, {0xC4, "Error-transient-partial-success"},
    {0xE0, "Error-permanent-failure"}, {0xE1, "Error-permanent-service-denied"},
    {0xE2, "Error-permanent-message-format-corrupt"}, {0xE3, "Error-permanent-sending-address-unresolved"},
    {0xE4, "Error-permanent-message-not-found"}, {0xE5, "Error-permanent-content-not-accepted"},
    {0xE6, "Error-permanent-reply-charging-limitations-not-met"},
    {0xE7, "Error-permanent-reply-charging-request-not-accepted"},
    {0xE8, "Error-permanent-reply-charging-forwarding-denied"},
    {0xE9, "Error-permanent-reply-charging-not-supported"}, {0xEA, "Error-permanent-address-hiding-not-supported"}};
const Named kRetrieveStatus[] = {{0x80, "Ok"},
                                 {0xC0, "Error-transient-failure"},
                                 {0xC1, "Error-transient-message-not-found"},
                                 {0xC2, "Error-transient-network-problem"},
                                 {0xE0, "Error-permanent-failure"},
                                 {0xE1, "Error-permanent-service-denied"},
                                 {0xE2, "Error-permanent-message-not-found"},
                                 {0xE3, "Error-permanent-content-unsupported"}};
const Named kStoreStatus[] = {{0x80, "Success"},
                              {0xC0, "Error-transient-failure"},
                              {0xC1, "Error-transient-network-problem"},
                              {0xE0, "Error-permanent-failure"},
                              {0xE1, "Error-permanent-service-denied"},
                              {0xE2, "Error-permanent-message-format-corrupt"},
                              {0xE3, "Error-permanent-message-not-found"},
                              {0xE4, "Error-permanent-mmbox-full"}};

template <size_t N>
std::string NamedOrNumber(const Named (&table)[N], uint8_t value) {
  for (const Named& n : table)
    if (n.value == value) return n.name;
  return StrPrintf("%u", value);
}

// A name from a list indexed by value - 0x80; "" (field dropped) outside it.
std::string Token(uint8_t value, std::initializer_list<const char*> names) {
  size_t index = value >= 0x80 ? value - 0x80u : names.size();
  if (index >= names.size()) return "";
  return names.begin()[index];
}

std::string Clean(std::string_view text) { return StripControlBytes(text); }

bool ReadTextValue(WspReader& r, std::string& text) {
  if (r.AtEnd() || r.Peek() < 0x20 || r.Peek() >= 0x80) return false;
  return ReadText(r, text);
}

// Encoded-string-value: text, or value-length + charset + text. charset "" when none.
bool ReadEncodedString(WspReader& r, std::string& text, std::string& charset) {
  charset.clear();
  if (r.AtEnd()) return false;
  if (r.Peek() >= 0x20) return ReadTextValue(r, text);
  uint32_t length;
  if (!ReadValueLength(r, length)) return false;
  WspReader inner{r.data.substr(r.pos, length)};
  r.pos += length;
  uint64_t mib;
  if (!ReadShortOrLongInteger(inner, mib)) return false;
  std::string_view name = CharsetName(mib);
  if (name != "unknown") charset = name;
  return ReadText(inner, text);
}

std::string QEncode(std::string_view text) {
  std::string out;
  size_t count = 0;
  for (unsigned char c : text) {
    if (count++ == 100) break;
    if (c == ' ') {
      out += '_';
    } else if (c > 0x20 && c < 0x7F && c != '=' && c != '?' && c != '_') {
      out += static_cast<char>(c);
    } else {
      out += StrPrintf("=%02X", c);
    }
  }
  return out;
}

// Subject and the other texts that may carry a charset.
std::string EncodedStringText(WspReader& r) {
  std::string text, charset;
  if (!ReadEncodedString(r, text, charset)) return "";
  if (charset.empty() || charset == "utf-8") return Clean(text);
  return "=?" + charset + "?Q?" + QEncode(text) + "?=";
}

// A plain text or the text of an encoded string (addresses, ids).
std::string PlainText(WspReader& r) {
  std::string text, charset;
  if (!ReadEncodedString(r, text, charset)) return "";
  return Clean(text);
}

std::string YesNo(uint8_t v) { return Token(v, {"Yes", "No"}); }

bool ReadInteger(WspReader& r, uint64_t& v) { return ReadShortOrLongInteger(r, v); }

std::string DecimalOf(WspReader& r) {
  uint64_t v;
  if (!ReadInteger(r, v)) return "";
  return StrPrintf("%llu", static_cast<unsigned long long>(v));
}

std::string DateOf(WspReader& r) {
  uint64_t v;
  if (!ReadLongInteger(r, v)) return "";
  return MmsDateText(v);
}

// value-length, 0x80 absolute date | 0x81 relative seconds.
std::string DateOrDelta(WspReader& r) {
  uint32_t length;
  if (!ReadValueLength(r, length) || length == 0) return "";
  WspReader inner{r.data.substr(r.pos, length)};
  uint8_t token = inner.Peek();
  ++inner.pos;
  uint64_t v;
  if (token == 0x80) {
    if (!ReadLongInteger(inner, v)) return "";
    return MmsDateText(v);
  }
  if (token == 0x81) {
    if (!ReadInteger(inner, v)) return "";
    return StrPrintf("%llu", static_cast<unsigned long long>(v));
  }
  return "";
}

// value-length + integer + rest; rest read by the given reader.
template <typename Rest>
std::string IndexedValue(WspReader& r, Rest rest) {
  uint32_t length;
  if (!ReadValueLength(r, length)) return "";
  WspReader inner{r.data.substr(r.pos, length)};
  uint64_t index;
  if (!ReadInteger(inner, index)) return "";
  std::string value = rest(inner);
  if (value.empty()) return "";
  return StrPrintf("%llu,", static_cast<unsigned long long>(index)) + value;
}

std::string FromValue(WspReader& r) {
  uint32_t length;
  if (!ReadValueLength(r, length) || length == 0) return "";
  WspReader inner{r.data.substr(r.pos, length)};
  uint8_t token = inner.Peek();
  ++inner.pos;
  if (token == 0x81) return "Insert-address-token";
  if (token != 0x80) return "";
  std::string text, charset;
  if (!ReadEncodedString(inner, text, charset)) return "";
  if (!charset.empty()) return "?" + charset + "?" + Clean(text);
  return Clean(text);
}

std::string TokenCount(WspReader& r, const char* first, const char* second) {
  uint32_t length;
  if (!ReadValueLength(r, length) || length == 0) return "";
  WspReader inner{r.data.substr(r.pos, length)};
  uint8_t token = inner.Peek();
  ++inner.pos;
  const char* name = token == 0x80 ? first : token == 0x81 ? second : nullptr;
  uint64_t v;
  if (!name || !ReadInteger(inner, v)) return "";
  return StrPrintf("%s,%llu", name, static_cast<unsigned long long>(v));
}

std::string FlagsValue(WspReader& r) {
  uint32_t length;
  if (!ReadValueLength(r, length) || length == 0) return "";
  WspReader inner{r.data.substr(r.pos, length)};
  std::string token = Token(inner.Peek(), {"Add-token", "Remove-token", "Filter-token"});
  ++inner.pos;
  std::string text = PlainText(inner);
  if (token.empty() || text.empty()) return "";
  return token + "," + text;
}

std::string MessageClass(WspReader& r) {
  if (r.AtEnd()) return "";
  if (r.Peek() >= 0x80) return Token(r.Peek(), {"Personal", "Advertisement", "Informational", "Auto"});
  std::string text;
  return ReadTextValue(r, text) ? Clean(text) : "";
}

std::string Version(uint8_t v) {
  if (v < 0x80) return "";
  unsigned major = (v >> 4) & 7, minor = v & 0x0F;
  return minor == 15 ? StrPrintf("%u", major) : StrPrintf("%u.%u", major, minor);
}

// The value of the field: "" drops it.
std::string FieldValue(uint8_t code, WspReader& r) {
  uint8_t first = r.AtEnd() ? 0 : r.Peek();
  switch (code) {
    case 0x81: case 0x82: case 0x97: return PlainText(r);
    case 0x83: case 0x8B: case 0x98: case 0x9E: case 0xB7: case 0xB8: case 0xB9: case 0xBD: case 0xBE: {
      std::string text;
      return ReadTextValue(r, text) ? Clean(text) : "";
    }
    case 0x84: {
      MmsContentType type;
      if (!DecodeMmsContentType(r, type) || type.type.empty()) return "";
      return type.type + type.parameters;
    }
    case 0x85: return DateOf(r);
    case 0x86: case 0x90: case 0x91: case 0xA2: case 0xA7: case 0xA9: case 0xAB: case 0xB1: case 0xBB:
    case 0xBC: return YesNo(first);
    case 0x87: case 0x88: case 0x9D: return DateOrDelta(r);
    case 0x89: return FromValue(r);
    case 0x8A: return MessageClass(r);
    case 0x8C: return std::string(MmsMessageTypeName(first));
    case 0x8D: return Version(first);
    case 0x8E: case 0x9F: case 0xAD: case 0xAF: case 0xB3: return DecimalOf(r);
    case 0x8F: return Token(first, {"low", "normal", "high"});
    case 0x92: return first >= 0x80 ? NamedOrNumber(kResponseStatus, first) : "";
    case 0x93: case 0x96: case 0x9A: case 0xA6: case 0xB5: case 0xB6: return EncodedStringText(r);
    case 0x94: return Token(first, {"Hide", "Show"});
    case 0x95:
      if (first < 0x80) return "";
      return first <= 0x87 ? Token(first, {"Expired", "Retrieved", "Rejected", "Deferred", "Unrecognised",
                                           "Indeterminate", "Forwarded", "Unreachable"})
                           : StrPrintf("%u", first);
    case 0x99: return first >= 0x80 ? NamedOrNumber(kRetrieveStatus, first) : "";
    case 0x9B: return Token(first, {"Read", "Deleted"});
    case 0x9C: return Token(first, {"Requested", "Requested-text", "Accepted", "Accepted-text"});
    case 0xA0: return IndexedValue(r, [](WspReader& in) { return PlainText(in); });
    case 0xA1: return IndexedValue(r, [](WspReader& in) { return DateOf(in); });
    case 0xA3: return Token(first, {"Draft", "Sent", "New", "Retrieved", "Forwarded"});
    case 0xA4: return FlagsValue(r);
    case 0xA5: return first >= 0x80 ? NamedOrNumber(kStoreStatus, first) : "";
    case 0xAA: return TokenCount(r, "Message-total-token", "Size-total-token");
    case 0xAC: return TokenCount(r, "Message-quota-token", "Size-quota-token");
    case 0xB4: return first == 0x80 ? "Manual" : "";
    case 0xBA:
      if (first < 0x80) return "";
      return first <= 0x87 ? Token(first, {"text", "image-basic", "image-rich", "video-basic", "video-rich",
                                           "megapixel", "content-basic", "content-rich"})
                           : StrPrintf("%u", first);
    case 0xBF: return Token(first, {"Cancel Request Successfully received", "Cancel Request corrupted"});
    default: return "";
  }
}

const char* FieldName(uint8_t code) {
  switch (code) {
    case 0x81: return "Bcc";
    case 0x82: return "Cc";
    case 0x83: return "Content-location";
    case 0x84: return "Content-type";
    case 0x85: return "Date";
    case 0x86: return "Delivery-report";
    case 0x87: return "Delivery-time";
    case 0x88: return "Expiry";
    case 0x89: return "From";
    case 0x8A: return "Message-class";
    case 0x8B: return "Message-id";
    case 0x8C: return "Message-type";
    case 0x8D: return "MMS-version";
    case 0x8E: return "Message-size";
    case 0x8F: return "Priority";
    case 0x90: return "Read-reply";
    case 0x91: return "Report-allowed";
    case 0x92: return "Response-status";
    case 0x93: return "Response-text";
    case 0x94: return "Sender-visibility";
    case 0x95: return "Status";
    case 0x96: return "Subject";
    case 0x97: return "To";
    case 0x98: return "Transaction-id";
    case 0x99: return "X-Mms-Retrieve-Status";
    case 0x9A: return "X-Mms-Retrieve-Text";
    case 0x9B: return "X-Mms-Read-Status";
    case 0x9C: return "X-Mms-Reply-Charging";
    case 0x9D: return "X-Mms-Reply-Charging-Deadline";
    case 0x9E: return "X-Mms-Reply-Charging-ID";
    case 0x9F: return "X-Mms-Reply-Charging-Size";
    case 0xA0: return "X-Mms-Previously-Sent-By";
    case 0xA1: return "X-Mms-Previously-Sent-Date";
    case 0xA2: return "X-Mms-Store";
    case 0xA3: return "X-Mms-MM-State";
    case 0xA4: return "X-Mms-MM-Flags";
    case 0xA5: return "X-Mms-Store-Status";
    case 0xA6: return "X-Mms-Store-Status-Text";
    case 0xA7: return "X-Mms-Stored";
    case 0xA9: return "X-Mms-Totals";
    case 0xAA: return "X-Mms-Mbox-Totals";
    case 0xAB: return "X-Mms-Quotas";
    case 0xAC: return "X-Mms-Mbox-Quotas";
    case 0xAD: return "X-Mms-Message-Count";
    case 0xAF: return "X-Mms-Start";
    case 0xB1: return "X-Mms-Distribution-Indicator";
    case 0xB3: return "X-Mms-Limit";
    case 0xB4: case 0xB5: return "X-Mms-Recommended-Retrieval-Mode";
    case 0xB6: return "X-Mms-Status-Text";
    case 0xB7: return "X-Mms-Applic-ID";
    case 0xB8: return "X-Mms-Reply-Applic-ID";
    case 0xB9: return "X-Mms-Aux-Applic-Info";
    case 0xBA: return "X-Mms-Content-Class";
    case 0xBB: return "X-Mms-DRM-Content";
    case 0xBC: return "X-Mms-Adaptation-Allowed";
    case 0xBD: return "X-Mms-Replace-ID";
    case 0xBE: return "X-Mms-Cancel-ID";
    case 0xBF: return "X-Mms-Cancel-Status";
    default: return nullptr;
  }
}

// One typed or untyped parameter of a content type; false ends the parameter list.
bool ReadParameter(WspReader& r, MmsContentType& out) {
  if (r.AtEnd()) return false;
  uint8_t code = r.Peek();
  if (code < 0x80) {  // untyped: token text + text or integer value
    std::string name, text;
    if (!ReadText(r, name)) return false;
    if (!r.AtEnd() && r.Peek() >= 0x20 && r.Peek() < 0x80) {
      if (!ReadText(r, text)) return false;
    } else {
      uint64_t v;
      if (!ReadInteger(r, v)) return false;
      text = StrPrintf("%llu", static_cast<unsigned long long>(v));
    }
    out.parameters += "; " + Clean(name) + "=" + Clean(text);
    if (EqualsNoCase(name, "name") && out.name.empty()) out.name = Clean(text);
    if (EqualsNoCase(name, "charset")) out.charset = Clean(text);
    if (EqualsNoCase(name, "start")) out.start = Clean(text);
    return true;
  }
  ++r.pos;
  auto text = [&](const char* label, std::string* keep) {
    std::string value;
    if (!ReadText(r, value)) return false;
    value = Clean(value);
    out.parameters += std::string("; ") + label + "=" + value;
    if (keep) *keep = value;
    return true;
  };
  auto number = [&](const char* label) {
    uint64_t v;
    if (!ReadInteger(r, v)) return false;
    out.parameters += StrPrintf("; %s=%llu", label, static_cast<unsigned long long>(v));
    return true;
  };
  auto date = [&](const char* label) {
    uint64_t v;
    if (!ReadLongInteger(r, v)) return false;
    std::string d = MmsDateText(v);
    if (!d.empty()) out.parameters += std::string("; ") + label + "=" + d;
    return true;
  };
  switch (code) {
    case 0x80: {
      uint32_t q;
      if (!ReadUintvar(r, q)) return false;
      out.parameters += StrPrintf("; Q=0.%u", q > 0 ? q - 1 : 0);
      return true;
    }
    case 0x81: {
      if (r.AtEnd()) return false;
      if (r.Peek() == 0x80) {
        ++r.pos;
        out.parameters += "; charset=*";
        return true;
      }
      uint64_t mib;
      if (!ReadInteger(r, mib)) return false;
      std::string_view name = CharsetName(mib);
      if (name != "unknown") out.charset = name;
      out.parameters += "; charset=" + std::string(name);
      return true;
    }
    case 0x82:
      if (!r.AtEnd() && r.Peek() >= 0x80) {
        out.parameters += "; version=" + Version(r.Peek());
        ++r.pos;
        return true;
      }
      return text("version", nullptr);
    case 0x83: return number("type");
    case 0x85: case 0x97: return text("name", out.name.empty() ? &out.name : nullptr);
    case 0x86: case 0x98: return text("filename", nullptr);
    case 0x88: return number("padding");
    case 0x89:
      if (!r.AtEnd() && r.Peek() >= 0x80) {
        out.parameters += "; type=" + std::string(WellKnownContentType(r.Peek() & 0x7F));
        ++r.pos;
        return true;
      }
      return text("type", nullptr);
    case 0x8A: case 0x99: return text("start", &out.start);
    case 0x8B: case 0x9A: return text("start-info", nullptr);
    case 0x8C: case 0x9B: return text("comment", nullptr);
    case 0x8D: case 0x9C: return text("domain", nullptr);
    case 0x8E: return number("max-age");
    case 0x8F: case 0x9D: return text("path", nullptr);
    case 0x90:
      if (!r.AtEnd() && r.Peek() == 0) ++r.pos;
      out.parameters += "; secure";
      return true;
    case 0x91: return number("SEC");
    case 0x92: return text("MAC", nullptr);
    case 0x93: return date("creation-date");
    case 0x94: return date("modification-date");
    case 0x95: return date("read-date");
    case 0x96: return number("size");
    default: return false;
  }
}

}  // namespace

const char* MmsFieldName(uint8_t code) { return FieldName(code); }

std::string_view MmsMessageTypeName(uint32_t value) {
  if (value < 0x80 || value - 0x80 >= sizeof(kMessageTypes) / sizeof(kMessageTypes[0])) return "";
  return kMessageTypes[value - 0x80];
}

std::string MmsDateText(uint64_t seconds) {
  // 253402300799 = 9999-12-31 23:59:59 UTC
  if (seconds > 253402300799ull) return "";
  return FormatGmtDate(static_cast<time_t>(seconds));
}

bool DecodeMmsContentType(WspReader& r, MmsContentType& out) {
  out = MmsContentType{};
  if (r.AtEnd()) return false;
  uint8_t first = r.Peek();
  if (first >= 0x80) {
    out.type = WellKnownContentType(first & 0x7F);
    ++r.pos;
    return true;
  }
  if (first >= 0x20) {
    std::string text;
    if (!ReadText(r, text)) return false;
    out.type = Clean(text);
    return true;
  }
  uint32_t length;
  if (!ReadValueLength(r, length)) return false;
  WspReader inner{r.data.substr(r.pos, length)};
  r.pos += length;
  if (inner.AtEnd()) return false;
  if (inner.Peek() >= 0x80) {
    out.type = WellKnownContentType(inner.Peek() & 0x7F);
    ++inner.pos;
  } else if (inner.Peek() >= 0x20) {
    std::string text;
    if (!ReadText(inner, text)) return false;
    out.type = Clean(text);
  } else {
    uint64_t v;
    if (!ReadLongInteger(inner, v)) return false;
    out.type = WellKnownContentType(v > 0xFFFF ? 0xFFFF : static_cast<uint32_t>(v));
  }
  while (ReadParameter(inner, out)) {
  }
  return true;
}

std::string MmsFieldLine(const WspField& field) {
  const char* name = FieldName(field.code);
  if (!name) return "";
  WspReader r{field.value};
  std::string value = FieldValue(field.code, r);
  if (value.empty()) return "";
  return std::string(name) + ": " + value;
}

std::string MmsApplicationHeaderLine(std::string_view name, std::string_view value) {
  std::string n = Clean(name), v = Clean(value);
  if (n.empty()) return "";
  return n + ": " + v;
}
