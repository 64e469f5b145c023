#include "gsm/code_pages.h"

#include <cerrno>
#include <iconv.h>

#include "gsm/gsm_alphabet.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {

constexpr size_t kCodePageWideUnits = 16384;

// Owns an iconv descriptor.
struct IconvHandle {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  IconvHandle(const std::string& to, const std::string& from) : cd(iconv_open(to.c_str(), from.c_str())) {}
  ~IconvHandle() {
    if (ok()) iconv_close(cd);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

std::string UnitsToUtf16Le(std::u16string_view units) {
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

// Code page bytes -> UTF-16 units (at most maxUnits). A byte the code page does not define
// becomes U+FFFD; in Windows-1252 the five unassigned bytes keep their value, as Windows has it.
bool WidenCodePage(std::string_view text, unsigned codePage, size_t maxUnits, std::u16string& units) {
  units.clear();
  const std::string name = IconvNameForCodePage(codePage);
  if (name.empty()) return false;
  IconvHandle cd("UTF-16LE", name);
  if (!cd.ok()) return false;
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  std::string wide(maxUnits * 2, '\0');
  char* out = wide.data();
  size_t outLeft = wide.size();
  while (inLeft > 0) {
    size_t r = iconv(cd.cd, &in, &inLeft, &out, &outLeft);
    if (r != static_cast<size_t>(-1) || errno == E2BIG || outLeft < 2) break;
    const uint8_t bad = static_cast<uint8_t>(*in);
    const char16_t unit = codePage == kCodePageAnsi ? bad : u'\uFFFD';
    *out++ = static_cast<char>(unit & 0xFF);
    *out++ = static_cast<char>(unit >> 8);
    outLeft -= 2;
    ++in;
    --inLeft;
    iconv(cd.cd, nullptr, nullptr, nullptr, nullptr);
  }
  const size_t produced = wide.size() - outLeft;
  for (size_t k = 0; k + 1 < produced; k += 2) {
    units += static_cast<char16_t>(static_cast<uint8_t>(wide[k]) | static_cast<uint8_t>(wide[k + 1]) << 8);
  }
  return true;
}

}  // namespace

std::string IconvNameForCodePage(unsigned codePage) {
  switch (codePage) {
    case 0: return "";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 50220: return "ISO-2022-JP";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 65001: return "UTF-8";
    default: break;
  }
  if (codePage >= 28591 && codePage <= 28599) return StrPrintf("ISO-8859-%u", codePage - 28590);
  return StrPrintf("CP%u", codePage);
}

void Cp1252ToUtf8(std::string& text, size_t bufferSize) {
  std::u16string units;
  WidenCodePage(text, kCodePageAnsi, kUcs2BufferUnits, units);
  text = Ucs2ToUtf8(units, bufferSize);
}

void CodePageToUtf8(std::string& text, size_t bufferSize, unsigned codePage) {
  std::u16string units;
  if (!WidenCodePage(text, codePage, kCodePageWideUnits, units)) {
    WriteDebugLogf("CodePageToUtf8", "Code page %u is not available", codePage);
    return;
  }
  text = Ucs2ToUtf8(units, bufferSize);
}

bool UTF8ToLocalString(std::string& text, size_t bufferSize, unsigned codePage) {
  std::u16string units = Utf8ToUcs2(text);
  if (codePage == 1256) {
    for (auto& u : units) {
      if (u >= 0x0660 && u <= 0x0669) u = static_cast<char16_t>(u'0' + (u - 0x0660));
    }
  }
  const std::string name = IconvNameForCodePage(codePage);
  IconvHandle cd(name, "UTF-16LE");
  if (name.empty() || !cd.ok()) {
    WriteDebugLogf("UTF8ToLocalString", "Error %u from WideCharToMultiByte", static_cast<unsigned>(EINVAL));
    return false;
  }
  const size_t room = bufferSize == 0 ? 0 : bufferSize - 1;
  std::string wide = UnitsToUtf16Le(units);
  char* in = wide.data();
  size_t inLeft = wide.size();
  std::string out(room, '\0');
  char* outPtr = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    size_t r = iconv(cd.cd, &in, &inLeft, &outPtr, &outLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == EILSEQ || errno == EINVAL) {
      // Not in the code page: one character (a surrogate pair counts as one) becomes '?'.
      if (outLeft == 0) {
        ok = false;
        break;
      }
      *outPtr++ = '?';
      --outLeft;
      uint16_t unit = static_cast<uint8_t>(in[0]) | static_cast<uint8_t>(inLeft > 1 ? in[1] : 0) << 8;
      size_t skip = (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 4) ? 4 : 2;
      if (skip > inLeft) skip = inLeft;
      in += skip;
      inLeft -= skip;
      iconv(cd.cd, nullptr, nullptr, nullptr, nullptr);
      continue;
    }
    ok = false;  // E2BIG: the buffer is full
    break;
  }
  if (ok) {
    // Shift back to the initial state for stateful encodings.
    iconv(cd.cd, nullptr, nullptr, &outPtr, &outLeft);
  }
  const int err = errno;
  out.resize(out.size() - outLeft);
  text = out;
  if (!ok) {
    WriteDebugLogf("UTF8ToLocalString", "Error %u from WideCharToMultiByte", static_cast<unsigned>(err));
  }
  return ok;
}

void Utf8ToCp1252(std::string& text, size_t bufferSize) { UTF8ToLocalString(text, bufferSize, kCodePageAnsi); }

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t value = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      uint8_t next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = value << 6 | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

void QueueTextToUtf8(std::string& text) {
  if (!IsValidUtf8(text)) Cp1252ToUtf8(text, text.size() * 3 + 8);
}

int ContainsNonAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<uint8_t>(c) & 0x80) return 1;
  }
  return 0;
}

std::string CharsetNameForMib(unsigned mib) {
  switch (mib) {
    case 3: return "us-ascii";
    case 4: return "iso-8859-1";
    case 5: return "iso-8859-2";
    case 6: return "iso-8859-3";
    case 7: return "iso-8859-4";
    case 8: return "iso-8859-5";
    case 9: return "iso-8859-6";
    case 10: return "iso-8859-7";
    case 11: return "iso-8859-8";
    case 12: return "iso-8859-9";
    case 17: return "shift_JIS";
    case 106: return "utf-8";
    case 1000: return "iso-10646-ucs-2";
    case 2025: return "gb2312";
    case 2026: return "big5";
    default: return "unknown";
  }
}

namespace {

constexpr std::string_view kCharsetTable =
    "[Charset]\r\n"
    "iso-8859-1=1252\r\n"
    "us-ascii=1252\r\n"
    "big5=950\r\n"
    "big-5=950\r\n"
    "gbk=936\r\n"
    "gb2312=936\r\n"
    "gb2312-80=936\r\n"
    "shift-jis=932\r\n"
    "shift_jis=932\r\n"
    "iso-8859-2=1250\r\n"
    "iso-8859-4=1257\r\n"
    "iso-8859-5=1251\r\n"
    "iso-8859-6=1256\r\n"
    "iso-8859-7=1253\r\n"
    "iso-8859-8=1255\r\n"
    "iso-8859-9=1254\r\n";

// The system's MIME character-set database: a name has a code page or is an alias.
struct CharsetKey {
  const char* name;
  unsigned codePage;
  const char* aliasFor;
};
constexpr CharsetKey kCharsetDatabase[] = {
    {"utf-8", 65001, nullptr},        {"utf8", 0, "utf-8"},
    {"unicode-1-1-utf-8", 0, "utf-8"}, {"utf-16", 1200, nullptr},
    {"utf-16le", 1200, nullptr},      {"unicode", 0, "utf-16"},
    {"utf-16be", 1201, nullptr},      {"unicodefffe", 0, "utf-16be"},
    {"iso-10646-ucs-2", 0, "utf-16be"}, {"windows-1250", 1250, nullptr},
    {"windows-1251", 1251, nullptr},  {"windows-1252", 1252, nullptr},
    {"windows-1253", 1253, nullptr},  {"windows-1254", 1254, nullptr},
    {"windows-1255", 1255, nullptr},  {"windows-1256", 1256, nullptr},
    {"windows-1257", 1257, nullptr},  {"windows-1258", 1258, nullptr},
    {"iso-8859-3", 28593, nullptr},   {"iso-8859-13", 28603, nullptr},
    {"iso-8859-15", 28605, nullptr},  {"latin1", 0, "iso-8859-1"},
    {"iso-8859-1", 28591, nullptr},   {"iso_8859-1", 0, "iso-8859-1"},
    {"l1", 0, "latin1"},              {"ascii", 0, "us-ascii"},
    {"us-ascii", 20127, nullptr},     {"koi8-r", 20866, nullptr},
    {"koi8-u", 21866, nullptr},       {"euc-jp", 51932, nullptr},
    {"iso-2022-jp", 50220, nullptr},  {"euc-kr", 51949, nullptr},
    {"ks_c_5601-1987", 949, nullptr}, {"ks_c_5601", 0, "ks_c_5601-1987"},
    {"gb18030", 54936, nullptr},      {"cp936", 0, "gbk"},
    {"gbk", 936, nullptr},            {"x-sjis", 0, "shift_jis"},
    {"shift_jis", 932, nullptr},      {"windows-874", 874, nullptr},
    {"ibm437", 437, nullptr},         {"ibm850", 850, nullptr},
    {"cp866", 866, nullptr},
};

const CharsetKey* FindCharsetKey(std::string_view name) {
  for (const auto& key : kCharsetDatabase) {
    if (EqualsNoCase(key.name, name)) return &key;
  }
  return nullptr;
}

unsigned FromCharsetTable(std::string_view name) {
  std::string_view table = kCharsetTable;
  while (!table.empty()) {
    size_t eol = table.find("\r\n");
    std::string_view line = table.substr(0, eol);
    table = eol == std::string_view::npos ? std::string_view() : table.substr(eol + 2);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || !EqualsNoCase(line.substr(0, eq), name)) continue;
    return ParseDecimal(SkipSpaces(line.substr(eq + 1)));
  }
  return 0;
}

}  // namespace

unsigned CodePageForCharset(std::string_view name) {
  if (name.empty()) return 0;
  if (unsigned cp = FromCharsetTable(name); cp != 0) return cp;
  std::string current(name);
  for (int visited = 0; visited < 11; ++visited) {
    const CharsetKey* key = FindCharsetKey(current);
    if (key == nullptr) return 0;
    if (key->aliasFor == nullptr) return key->codePage;
    current = key->aliasFor;
  }
  return 0;
}
