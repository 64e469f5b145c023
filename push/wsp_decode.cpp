#include "push/wsp_decode.h"

#include <cstring>

#include "push/wsp_tables.h"
#include "runtime/text_helpers.h"

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
  std::span<const char* const> names = WspContentTypeNames();
  if (value < names.size()) return names[value];
  return "application/unknown";
}

std::string_view CharsetName(uint64_t mib) {
  for (const WspCharset& c : WspCharsets())
    if (c.number == mib) return c.name;
  return "unknown";
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
