#include "mms/packer/packer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>

#include "mms/mms_headers.h"
#include "mms/mms_submit.h"
#include "push/wsp.h"
#include "push/wsp_decode.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"

namespace {

// The code of a header name in either spelling; 0 when unknown.
uint8_t FieldCode(std::string_view name) {
  std::string_view bare = StartsWithNoCase(name, "X-MMS-") ? name.substr(6) : name;
  for (unsigned code = 0x81; code <= 0xBF; ++code) {
    const char* known = MmsFieldName(static_cast<uint8_t>(code));
    if (!known) continue;
    std::string_view k = known;
    std::string_view kBare = StartsWithNoCase(k, "X-Mms-") ? k.substr(6) : k;
    if (EqualsNoCase(name, k) || EqualsNoCase(bare, kBare)) return static_cast<uint8_t>(code);
  }
  return 0;
}

int IndexOf(std::string_view value, std::initializer_list<const char*> names) {
  int i = 0;
  for (const char* n : names) {
    if (EqualsNoCase(Trim(value), n)) return i;
    ++i;
  }
  return -1;
}

// "=?charset?Q?...?=" back to its octets and charset; plain text as it is.
void DecodeWord(std::string_view value, std::string& text, uint32_t& mib) {
  mib = 0;
  text.assign(value);
  if (!value.starts_with("=?") || !value.ends_with("?=")) return;
  std::string_view inner = value.substr(2, value.size() - 4);
  size_t q = inner.find('?');
  if (q == std::string_view::npos || inner.size() < q + 3 || (inner[q + 1] != 'Q' && inner[q + 1] != 'q') ||
      inner[q + 2] != '?')
    return;
  mib = CharsetNumber(inner.substr(0, q)).value_or(0);
  std::string_view encoded = inner.substr(q + 3);
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '_') {
      out += ' ';
    } else if (encoded[i] == '=' && i + 2 < encoded.size() + 0 && IsHexDigit(encoded[i + 1]) && IsHexDigit(encoded[i + 2])) {
      std::string_view pair = encoded.substr(i + 1, 2);
      out += static_cast<char>(HexOctet(pair));
      i += 2;
    } else {
      out += encoded[i];
    }
  }
  text = out;
  if (mib == 0) mib = 106;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

void AppendEncodedString(std::string& out, std::string_view value) {
  std::string text;
  uint32_t mib;
  DecodeWord(value, text, mib);
  if (mib == 0 && IsAscii(text)) {
    AppendText(out, text);
    return;
  }
  std::string inner;
  AppendInteger(inner, mib ? mib : 106);
  AppendText(inner, text);
  AppendValueLength(out, inner.size());
  out += inner;
}

bool ParseHttpDate(std::string_view value, uint64_t& seconds) {
  struct tm t{};
  const char* end = strptime(std::string(Trim(value)).c_str(), "%a, %d %b %Y %H:%M:%S", &t);
  if (!end) return false;
  time_t s = timegm(&t);
  if (s < 0) return false;
  seconds = static_cast<uint64_t>(s);
  return true;
}

// The encoded value of one field, "" when its text cannot be encoded.
std::string FieldValue(uint8_t code, std::string_view value, bool sendReq) {
  std::string out;
  auto token = [&](std::initializer_list<const char*> names) {
    int i = IndexOf(value, names);
    if (i >= 0) out += static_cast<char>(0x80 + i);
  };
  switch (code) {
    case 0x8C: {
      for (uint32_t v = 0x80; v <= 0x93; ++v)
        if (EqualsNoCase(Trim(value), MmsMessageTypeName(v))) out += static_cast<char>(v);
      break;
    }
    case 0x8D: {
      std::string_view v = Trim(value);
      unsigned major = 1, minor = 2;
      if (v.size() >= 3 && v[1] == '.') major = v[0] - '0', minor = ParseDecimal(v.substr(2));
      else if (v.size() == 1 && v[0] >= '0' && v[0] <= '7') major = v[0] - '0', minor = 15;
      if (major > 7 || minor > 15) major = 1, minor = 2;
      out += static_cast<char>(0x80 | (major << 4) | minor);
      break;
    }
    case 0x89: {
      std::string inner;
      if (EqualsNoCase(Trim(value), "Insert-address-token") || Trim(value).empty()) {
        inner = "\x81";
      } else {
        inner = "\x80";
        AppendEncodedString(inner, Trim(value));
      }
      AppendValueLength(out, inner.size());
      out += inner;
      break;
    }
    case 0x81: case 0x82: case 0x97: case 0x93: case 0x96: case 0x9A: case 0xA6: case 0xB5: case 0xB6:
      AppendEncodedString(out, value);
      break;
    case 0x83: case 0x8B: case 0x98: case 0x9E: case 0xB7: case 0xB8: case 0xB9: case 0xBD: case 0xBE:
      AppendText(out, Trim(value));
      break;
    case 0x85: {
      uint64_t s;
      if (ParseHttpDate(value, s)) AppendLongInteger(out, s);
      break;
    }
    case 0x87: case 0x88: case 0x9D: {
      std::string inner;
      uint64_t s;
      if (ParseHttpDate(value, s)) {
        inner = "\x80";
        AppendLongInteger(inner, s);
      } else if (!Trim(value).empty() && Trim(value).find_first_not_of("0123456789") == std::string_view::npos) {
        inner = "\x81";
        AppendInteger(inner, ParseDecimal(Trim(value)));
      } else {
        break;
      }
      AppendValueLength(out, inner.size());
      out += inner;
      break;
    }
    case 0x86: case 0x90: case 0x91: case 0xA2: case 0xA7: case 0xA9: case 0xAB: case 0xB1: case 0xBB: case 0xBC:
      token({"Yes", "No"});
      break;
    case 0x8A: {
      int i = IndexOf(value, {"Personal", "Advertisement", "Informational", "Auto"});
      if (i >= 0) out += static_cast<char>(0x80 + i);
      else if (!Trim(value).empty()) AppendText(out, Trim(value));
      break;
    }
    case 0x8F: token({"Low", "Normal", "High"}); break;
    case 0x94: token({"Hide", "Show"}); break;
    case 0x9B: token({"Read", "Deleted"}); break;
    case 0x9C: token({"Requested", "Requested-text", "Accepted", "Accepted-text"}); break;
    case 0xA3: token({"Draft", "Sent", "New", "Retrieved", "Forwarded"}); break;
    case 0x95:
      token({"Expired", "Retrieved", "Rejected", "Deferred", "Unrecognised", "Indeterminate", "Forwarded",
             "Unreachable"});
      break;
    case 0xBA:
      token({"text", "image-basic", "image-rich", "video-basic", "video-rich", "megapixel", "content-basic",
             "content-rich"});
      break;
    case 0x8E: case 0x9F: case 0xAD: case 0xAF: case 0xB3:
      if (!Trim(value).empty() && Trim(value).find_first_not_of("0123456789") == std::string_view::npos)
        AppendInteger(out, ParseDecimal(Trim(value)));
      break;
    default: break;
  }
  (void)sendReq;
  return out;
}

std::string PartTypeField(const PackerPart& p) {
  std::string type = p.type.empty() ? MmsTypeForFileName(p.fileName) : p.type;
  if (type.empty()) type = "application/octet-stream";
  std::string inner;
  if (std::optional<uint8_t> code = ContentTypeCode(type))
    inner += static_cast<char>(0x80 | *code);
  else
    AppendText(inner, type);
  if (uint32_t mib = CharsetNumber(p.charset).value_or(0); mib != 0) {
    inner += '\x81';
    AppendInteger(inner, mib);
  }
  inner += '\x85';
  AppendText(inner, p.fileName);
  std::string out;
  AppendValueLength(out, inner.size());
  return out + inner;
}

}  // namespace

bool ReadPackerHeader(std::string_view text, PackerMessage& out, std::string& error) {
  out = PackerMessage{};
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = FindLineEnd(text, pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    size_t colon = line.find(':');
    if (Trim(line).empty() || colon == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "X-QarMMS-Content-Location")) {
      PackerPart part;
      std::vector<std::string> items = SplitList(value, ";");
      if (items.empty()) continue;
      part.path = items[0];
      for (char& c : part.path)
        if (c == '\\') c = '/';
      if (part.path.starts_with("/") || part.path == ".." || part.path.starts_with("../") ||
          part.path.find("/../") != std::string::npos || part.path.ends_with("/..")) {
        error = "part path outside the header file's folder: " + items[0];
        return false;
      }
      part.fileName = part.path.substr(part.path.rfind('/') + 1);
      for (size_t i = 1; i < items.size(); ++i) {
        if (StartsWithNoCase(items[i], "charset=")) part.charset = items[i].substr(8);
        else if (part.type.empty()) part.type = items[i];
      }
      out.parts.push_back(std::move(part));
    } else if (EqualsNoCase(name, "X-QarMMS-Content-ID")) {
      if (!out.parts.empty()) out.parts.back().contentId = std::string(value);
    } else if (EqualsNoCase(name, "X-QarMMS-Content-Header")) {
      size_t c = value.find(':');
      if (!out.parts.empty() && c != std::string_view::npos)
        out.parts.back().headers.emplace_back(Trim(value.substr(0, c)), Trim(value.substr(c + 1)));
    } else if (uint8_t code = FieldCode(name); code != 0) {
      out.fields.emplace_back(code, std::string(value));
    } else if (StartsWithNoCase(name, "X-")) {
      out.appHeaders.emplace_back(name, value);
    }
  }
  return true;
}

bool EncodeMms(const PackerMessage& m, const std::string& folder, std::string& pdu, std::string& error) {
  std::string type = "m-retrieve-conf", version = "Auto", tid;
  bool version13 = false;
  for (const auto& [code, value] : m.fields) {
    if (code == 0x8C) type = value;
    if (code == 0x8D) version = value;
    if (code == 0x98) tid = value;
    if (code >= 0xB7 && code <= 0xB9) version13 = true;
  }
  bool sendReq = EqualsNoCase(type, "m-send-req");
  if (EqualsNoCase(version, "Auto")) version = version13 ? "1.3" : "1.2";
  std::string out = FieldValue(0x8C, type, sendReq);
  if (out.empty()) {
    error = "unknown message type " + type;
    return false;
  }
  out.insert(out.begin(), '\x8C');
  if (tid.empty()) tid = "1";
  out += '\x98';
  AppendText(out, tid);
  out += '\x8D' + FieldValue(0x8D, version, sendReq);
  bool from = false;
  for (const auto& [code, value] : m.fields) {
    if (code == 0x8C || code == 0x8D || code == 0x98 || code == 0x84) continue;
    std::string v = FieldValue(code, value, sendReq);
    if (v.empty()) continue;
    if (code == 0x89) from = true;
    out += static_cast<char>(code) + v;
  }
  if (sendReq && !from) out += std::string("\x89\x01\x81", 3);
  for (const auto& [name, value] : m.appHeaders) {
    AppendText(out, name);
    AppendText(out, value);
  }
  // Content type: related with the SMIL as its start, else mixed.
  const PackerPart* smil = nullptr;
  for (const PackerPart& p : m.parts) {
    std::string t = p.type.empty() ? MmsTypeForFileName(p.fileName) : p.type;
    if (EqualsNoCase(t, "application/smil")) {
      smil = &p;
      break;
    }
  }
  out += '\x84';
  if (smil) {
    std::string inner = "\xB3\x8A";
    AppendText(inner, "<" + (smil->contentId.empty() ? smil->fileName : smil->contentId) + ">");
    inner += '\x89';
    AppendText(inner, "application/smil");
    AppendValueLength(out, inner.size());
    out += inner;
  } else {
    out += '\xA3';
  }
  AppendUintvar(out, static_cast<uint32_t>(m.parts.size()));
  for (const PackerPart& p : m.parts) {
    std::string data;
    if (!ReadWholeFile(folder + p.path, data)) {
      error = "part file not readable: " + p.path;
      return false;
    }
    std::string headers = PartTypeField(p);
    headers += '\x8E';
    AppendText(headers, p.fileName);
    std::string cid = p.contentId.empty() && &p == smil ? p.fileName : p.contentId;
    if (!cid.empty()) {
      headers += "\xC0\x22";
      headers += "<" + cid + ">";
      headers += '\0';
    }
    for (const auto& [name, value] : p.headers) {
      AppendText(headers, name);
      AppendText(headers, value);
    }
    AppendUintvar(out, static_cast<uint32_t>(headers.size()));
    AppendUintvar(out, static_cast<uint32_t>(data.size()));
    out += headers + data;
  }
  pdu = std::move(out);
  return true;
}

int RunPacker(const std::vector<std::string>& args) {
  if (args.empty()) {
    fprintf(stderr, "usage: qarpacker [options] <header file>\n");
    return 2;
  }
  const std::string& header = args.back();
  std::string text;
  if (!ReadWholeFile(header, text, 1u << 20)) {
    fprintf(stderr, "qarpacker: cannot read %s\n", header.c_str());
    return 3;
  }
  PackerMessage message;
  std::string error, pdu;
  size_t slash = header.rfind('/');
  std::string folder = slash == std::string::npos ? "./" : header.substr(0, slash + 1);
  if (!ReadPackerHeader(text, message, error) || !EncodeMms(message, folder, pdu, error)) {
    fprintf(stderr, "qarpacker: %s\n", error.c_str());
    return 4;
  }
  size_t dot = header.rfind('.');
  std::string target = (dot == std::string::npos || (slash != std::string::npos && dot < slash) ? header
                                                                                                : header.substr(0, dot)) +
                       ".MMS";
  std::string temp = target + ".tmp";
  {
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || WriteText(fd.get(), pdu) != pdu.size()) {
      unlink(temp.c_str());
      fprintf(stderr, "qarpacker: cannot write %s\n", target.c_str());
      return 5;
    }
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return 5;
  }
  return 0;
}
