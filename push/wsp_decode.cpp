#include "push/wsp_decode.h"

#include <cstring>

#include "runtime/text_helpers.h"

namespace {

const char* const kContentTypes[] = {
    "*/*", "text/*", "text/html", "text/plain", "text/x-hdml", "text/x-ttml", "text/x-vCalendar",
    "text/x-vCard", "text/vnd.wap.wml", "text/vnd.wap.wmlscript", "text/vnd.wap.wta-event", "multipart/*",
    "multipart/mixed", "multipart/form-data", "multipart/byteranges", "multipart/alternative", "application/*",
    "application/java-vm", "application/x-www-form-urlencoded", "application/x-hdmlc", "application/vnd.wap.wmlc",
    "application/vnd.wap.wmlscriptc", "application/vnd.wap.wta-eventc", "application/vnd.wap.uaprof",
    "application/vnd.wap.wtls-ca-certificate", "application/vnd.wap.wtls-user-certificate",
    "application/x-x509-ca-cert", "application/x-x509-user-cert", "image/*", "image/gif", "image/jpeg",
    "image/tiff", "image/png", "image/vnd.wap.wbmp", "application/vnd.wap.multipart.*",
    "application/vnd.wap.multipart.mixed", "application/vnd.wap.multipart.form-data",
    "application/vnd.wap.multipart.byteranges", "application/vnd.wap.multipart.alternative", "application/xml",
    "text/xml", "application/vnd.wap.wbxml", "application/x-x968-cross-cert", "application/x-x968-ca-cert",
    "application/x-x968-user-cert", "text/vnd.wap.si", "application/vnd.wap.sic", "text/vnd.wap.sl",
    "application/vnd.wap.slc", "text/vnd.wap.co", "application/vnd.wap.coc", "application/vnd.wap.multipart.related",
    "application/vnd.wap.sia", "text/vnd.wap.connectivity-xml", "application/vnd.wap.connectivity-wbxml",
    "application/pkcs7-mime", "application/vnd.wap.hashed-certificate", "application/vnd.wap.signed-certificate",
    "application/vnd.wap.cert-response", "application/xhtml+xml", "application/wml+xml", "text/css",
    "application/vnd.wap.mms-message", "application/vnd.wap.rollover-certificate",
    "application/vnd.wap.locc+wbxml", "application/vnd.wap.loc+xml", "application/vnd.syncml.dm+wbxml",
    "application/vnd.syncml.dm+xml", "application/vnd.syncml.notification", "application/vnd.wap.xhtml+xml",
    "application/vnd.wv.csp.cir"};
static_assert(sizeof(kContentTypes) / sizeof(kContentTypes[0]) == 0x47);

struct Charset {
  uint32_t mib;
  const char* name;
};
const Charset kCharsets[] = {{3, "us-ascii"},    {4, "iso-8859-1"},       {5, "iso-8859-2"}, {6, "iso-8859-3"},
                             {7, "iso-8859-4"},  {8, "iso-8859-5"},       {9, "iso-8859-6"}, {10, "iso-8859-7"},
                             {11, "iso-8859-8"}, {12, "iso-8859-9"},      {17, "shift_JIS"}, {106, "utf-8"},
                             {1000, "iso-10646-ucs-2"}, {2025, "gb2312"}, {2026, "big5"}};

}  // namespace

bool ReadUintvar(WspReader& r, uint32_t& value) {
  uint64_t v = 0;
  for (size_t i = 0; i < 5 && r.pos + i < r.data.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(r.data[r.pos + i]);
    v = (v << 7) | (b & 0x7F);
    if (!(b & 0x80)) {
      if (v > 0xFFFFFFFFu) return false;
      value = static_cast<uint32_t>(v);
      r.pos += i + 1;
      return true;
    }
  }
  return false;
}

bool ReadLongInteger(WspReader& r, uint64_t& value) {
  if (r.AtEnd()) return false;
  size_t length = r.Peek();
  if (length == 0 || length > 30 || length >= r.Left()) return false;
  if (length > 8) {
    r.pos += 1 + length;  // too long for any field of ours: skipped
    return false;
  }
  uint64_t v = 0;
  for (size_t i = 1; i <= length; ++i) v = (v << 8) | static_cast<uint8_t>(r.data[r.pos + i]);
  value = v;
  r.pos += 1 + length;
  return true;
}

bool ReadShortOrLongInteger(WspReader& r, uint64_t& value) {
  if (r.AtEnd()) return false;
  if (r.Peek() & 0x80) {
    value = r.Peek() & 0x7F;
    ++r.pos;
    return true;
  }
  return ReadLongInteger(r, value);
}

bool ReadValueLength(WspReader& r, uint32_t& length) {
  if (r.AtEnd()) return false;
  uint8_t b = r.Peek();
  WspReader probe = r;
  uint32_t v;
  if (b <= 30) {
    v = b;
    ++probe.pos;
  } else if (b == 31) {
    ++probe.pos;
    if (!ReadUintvar(probe, v)) return false;
  } else {
    return false;
  }
  if (v > probe.Left()) return false;
  length = v;
  r.pos = probe.pos;
  return true;
}

bool ReadText(WspReader& r, std::string& text) {
  if (r.AtEnd()) return false;
  size_t end = r.data.find('\0', r.pos);
  if (end == std::string_view::npos) return false;
  size_t start = r.pos;
  uint8_t first = r.Peek();
  if (first == 0x7F || (first == '"' && end > start)) ++start;
  text.assign(r.data.substr(start, end - start));
  r.pos = end + 1;
  return true;
}

bool SkipFieldValue(WspReader& r) {
  if (r.AtEnd()) return false;
  uint8_t b = r.Peek();
  if (b >= 0x80) {
    ++r.pos;
    return true;
  }
  if (b >= 0x20) {
    std::string ignored;
    return ReadText(r, ignored);
  }
  uint32_t length;
  if (!ReadValueLength(r, length)) return false;
  r.pos += length;
  return true;
}

std::string_view WellKnownContentType(uint32_t value) {
  if (value < sizeof(kContentTypes) / sizeof(kContentTypes[0])) return kContentTypes[value];
  return "application/unknown";
}

int WellKnownContentTypeCode(std::string_view type) {
  for (size_t i = 0; i < sizeof(kContentTypes) / sizeof(kContentTypes[0]); ++i)
    if (EqualsNoCase(type, kContentTypes[i])) return static_cast<int>(i);
  return -1;
}

std::string_view CharsetName(uint64_t mib) {
  for (const Charset& c : kCharsets)
    if (c.mib == mib) return c.name;
  return "unknown";
}

uint32_t CharsetMib(std::string_view name) {
  for (const Charset& c : kCharsets)
    if (EqualsNoCase(name, c.name)) return c.mib;
  return 0;
}

bool ReadHeaderField(WspReader& r, WspField& field, std::string* name) {
  if (r.AtEnd()) return false;
  uint8_t code = r.Peek();
  if (code >= 0x80) {
    WspReader probe = r;
    ++probe.pos;
    size_t start = probe.pos;
    if (!SkipFieldValue(probe)) return false;
    field.code = code;
    field.value = r.data.substr(start, probe.pos - start);
    r.pos = probe.pos;
    return true;
  }
  if (code < 0x20) return false;
  WspReader probe = r;
  std::string fieldName;
  if (!ReadText(probe, fieldName)) return false;
  size_t start = probe.pos;
  if (!SkipFieldValue(probe)) return false;
  field.code = 0;
  field.value = r.data.substr(start, probe.pos - start);
  if (name) *name = fieldName;
  r.pos = probe.pos;
  return true;
}

bool FindHeaderField(std::string_view pdu, uint8_t code, WspField& field, size_t maxValue) {
  WspReader r{pdu};
  WspField f;
  while (ReadHeaderField(r, f)) {
    if (f.code == code) {
      if (f.value.size() > maxValue) return false;
      field = f;
      return true;
    }
    if (f.code == 0x84) return false;
  }
  return false;
}
