#include "admin/markup_escapes.h"

#include <cstdint>

#include "push/xml_reader.h"
#include "runtime/str_printf.h"

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of a well-formed UTF-8 sequence at text[i], 0 when it is not one.
size_t SequenceLength(std::string_view text, size_t i) {
  unsigned char b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}
}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = SequenceLength(text, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string StatusXmlEscape(std::string_view text) { return XmlEscape(ValidUtf8(text)); }

std::string JsonEscape(std::string_view text) {
  std::string out;
  for (char ch : ValidUtf8(text)) {
    unsigned char u = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (u < 32 || u == 127) {
      out += StrPrintf("\\u%04x", u);
    } else {
      out += ch;
    }
  }
  return out;
}

std::string MetricsLabelEscape(std::string_view text) {
  std::string out;
  for (char ch : ValidUtf8(text)) {
    if (ch == '\\') out += "\\\\";
    else if (ch == '"') out += "\\\"";
    else if (ch == '\n') out += "\\n";
    else if (ch != '\r') out += ch;
  }
  return out;
}
