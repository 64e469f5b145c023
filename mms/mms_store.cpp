#include "mms/mms_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

#include "config/settings_registry.h"
#include "httpclient/http_client.h"
#include "httpclient/http_text.h"
#include "mms/mms_headers.h"
#include "push/wsp_decode.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/names.h"
#include "runtime/process_runner.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"
#include "store/queue_dirs.h"
#include "store/unique_ids.h"

namespace {

constexpr const char* kLabel = "ParseInboundMMS";
constexpr size_t kHeaderArea = 2048;
constexpr unsigned kMaxParts = 1000;
constexpr size_t kMaxNameLength = 200;

struct HeaderField {
  WspField field;
  std::string name;  // application headers only (code 0)
};

// The fields of a PDU's header block, through the content type.
std::vector<HeaderField> HeaderFields(std::string_view pdu, size_t* end = nullptr) {
  std::vector<HeaderField> out;
  WspReader r{pdu};
  HeaderField f;
  while (ReadHeaderField(r, f.field, &f.name)) {
    out.push_back(f);
    f.name.clear();
    if (f.field.code == 0x84) break;
  }
  if (end) *end = r.pos;
  return out;
}

bool HasCode(const std::vector<HeaderField>& fields, uint8_t code) {
  for (const HeaderField& f : fields)
    if (f.field.code == code && f.field.value.size() <= kHeaderArea) return true;
  return false;
}

// Every line of code from the message when it has the field, else from the notification.
void AppendFieldLines(std::string& out, uint8_t code, const std::vector<HeaderField>& message,
                      const std::vector<HeaderField>& notification) {
  const std::vector<HeaderField>& source = HasCode(message, code) ? message : notification;
  for (const HeaderField& f : source) {
    if (f.field.code != code || f.field.value.size() > kHeaderArea) continue;
    std::string line = MmsFieldLine(f.field);
    if (!line.empty()) out += line + "\r\n";
    if (code == 0x84) break;
  }
}

std::string Lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

const std::map<std::string, std::string>& SystemMimeTypes() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> t;
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> words = SplitList(line, " \t");
      if (words.size() < 2) continue;
      t.emplace(Lowercase(words[0]), words[1]);
    }
    return t;
  }();
  return table;
}

bool HasBadNameByte(std::string_view name) { return name.find_first_of("?*:/\\|") != std::string_view::npos; }

std::string StripQuotes(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '"' && c != '\'' && c != '<' && c != '>') out += c;
  return out;
}

std::string TrimQuotes(std::string_view text) {
  size_t b = 0, e = text.size();
  auto quote = [](char c) { return c == '"' || c == '\'' || c == '<' || c == '>'; };
  while (b < e && quote(text[b])) ++b;
  while (e > b && quote(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

// The last component of name, with the bytes a file name cannot hold replaced.
std::string FileNameFrom(std::string_view name) {
  std::string text = StripControlBytes(StripQuotes(name));
  size_t cut = text.find_last_of("\\/:");
  if (cut != std::string::npos) text = text.substr(cut + 1);
  for (char& c : text)
    if (c == '?' || c == '*' || c == '|') c = '-';
  if (text.size() > kMaxNameLength) text = text.substr(text.size() - kMaxNameLength);
  return text;
}

struct StoredPart {
  std::string fileName, type, charset, contentId;
  std::vector<std::string> extraHeaders;
};

// Creates the part file under name, or name1..name100 before the extension, or a fresh name;
// never replaces a file. "" when the data could not be written.
std::string WritePartFile(const std::string& folder, const std::string& name, std::string_view data) {
  size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
  for (unsigned attempt = 0; attempt < 110; ++attempt) {
    std::string candidate;
    if (attempt == 0)
      candidate = name;
    else if (attempt <= 100)
      candidate = stem + StrPrintf("%u", attempt) + ext;
    else
      candidate = stem + StrPrintf("-%08X", NextUniqueId()) + ext;
    std::string path = folder + candidate;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return "";
    }
    if (!data.empty() && WriteText(fd.get(), data) != data.size()) {
      fd.reset();
      unlink(path.c_str());
      return "";
    }
    return candidate;
  }
  return "";
}

void StoreParts(std::string_view message, const std::string& folder, std::vector<StoredPart>& parts) {
  for (MmsBodyPart& p : MmsBodyParts(message, true)) {
    StoredPart part{WritePartFile(folder, p.fileName, p.data), std::move(p.type), std::move(p.charset),
                    std::move(p.contentId), std::move(p.extraHeaders)};
    if (part.fileName.empty()) {
      WriteDebugLogf(kLabel, "body part #%u could not be written to %s%s", p.number, folder.c_str(), p.fileName.c_str());
      continue;
    }
    parts.push_back(std::move(part));
  }
}

}  // namespace

std::vector<MmsBodyPart> MmsBodyParts(std::string_view message, bool log) {
  std::vector<MmsBodyPart> parts;
  size_t end = 0;
  std::vector<HeaderField> fields = HeaderFields(message, &end);
  if (fields.empty() || fields.back().field.code != 0x84) return parts;
  WspReader r{message, end};
  uint32_t count;
  if (!ReadUintvar(r, count)) return parts;
  for (unsigned number = 1; !r.AtEnd() && number <= kMaxParts; ++number) {
    uint32_t headersLength, dataLength;
    if (!ReadUintvar(r, headersLength) || !ReadUintvar(r, dataLength)) break;
    if (headersLength > r.Left() || dataLength > r.Left() - headersLength) break;
    WspReader headers{message.substr(r.pos, headersLength)};
    MmsBodyPart part;
    part.number = number;
    part.data = message.substr(r.pos + headersLength, dataLength);
    r.pos += size_t{headersLength} + dataLength;

    MmsContentType type;
    DecodeMmsContentType(headers, type);
    part.type = type.type;
    part.charset = type.charset;
    std::string name = type.name;
    if (log && !name.empty()) WriteDebugLogf(kLabel, "body part #%u name = %s", number, name.c_str());
    if (log && !part.charset.empty()) WriteDebugLogf(kLabel, "body part #%u charset = %s", number, part.charset.c_str());
    if (log) WriteDebugLogf(kLabel, "body part #%u Content-type = %s", number, part.type.c_str());
    size_t extraLength = 0;
    WspField f;
    std::string headerName;
    while (ReadHeaderField(headers, f, &headerName)) {
      WspReader value{f.value};
      std::string text;
      if (f.code == 0x8E) {
        if (!value.AtEnd() && value.Peek() >= 0x20 && value.Peek() < 0x80 && ReadText(value, text)) {
          name = StripControlBytes(text);
          if (log) WriteDebugLogf(kLabel, "body part #%u Content-location = %s", number, name.c_str());
        }
      } else if (f.code == 0xC0) {
        if (!value.AtEnd() && value.Peek() >= 0x20 && value.Peek() < 0x80 && ReadText(value, text)) {
          part.contentId = StripControlBytes(TrimQuotes(text));
          if (log) WriteDebugLogf(kLabel, "body part #%u Content-id = %s", number, part.contentId.c_str());
        }
      } else if (f.code == 0 && (headerName.starts_with("X-") || headerName.starts_with("x-"))) {
        if (ReadText(value, text)) {
          std::string line = MmsApplicationHeaderLine(headerName, text);
          if (!line.empty() && extraLength + line.size() <= kHeaderArea) {
            extraLength += line.size();
            part.extraHeaders.push_back(line);
          }
        }
      }
      headerName.clear();
    }

    std::string extension = MmsExtensionForType(part.type);
    part.fileName = FileNameFrom(name);
    if (name.empty() && !part.contentId.empty() && !HasBadNameByte(part.contentId)) {
      part.fileName = FileNameFrom(part.contentId);
      if (part.fileName.find('.') == std::string::npos && !part.fileName.empty()) part.fileName += extension;
    }
    if (part.fileName.empty() || part.fileName == "." || part.fileName == ".." || !IsSafePathName(part.fileName))
      part.fileName = StrPrintf("unk%u", number) + extension;
    parts.push_back(std::move(part));
  }
  return parts;
}

namespace {

std::string PartLines(const std::string& id, const std::vector<StoredPart>& parts) {
  std::string out;
  for (const StoredPart& p : parts) {
    out += "X-QarMMS-Content-Location: " + id + "\\" + p.fileName;
    if (!p.type.empty()) out += ";" + p.type;
    if (!p.charset.empty()) out += ";charset=" + p.charset;
    out += "\r\n";
    if (!p.contentId.empty() && !EqualsNoCase(p.contentId, p.fileName))
      out += "X-QarMMS-Content-ID: " + p.contentId + "\r\n";
    for (const std::string& h : p.extraHeaders) out += "X-QarMMS-Content-Header: " + h + "\r\n";
  }
  return out;
}

// Reserves an id by creating its part folder (create-new); "" when 1000 ids were taken.
std::string ReservePartFolder(const std::string& dir, std::string& id) {
  bool madeDir = false;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    id = StrPrintf("%08X", NextUniqueId());
    if (FileExists(dir + id + ".hdr")) continue;
    std::string folder = dir + id;
    if (mkdir(folder.c_str(), 0755) == 0) return folder + "/";
    if (errno == ENOENT && !madeDir) {
      madeDir = true;
      CreatePathDirectories(dir);
      --attempt;
      continue;
    }
    if (errno != EEXIST) {
      WriteDebugLogf(kLabel, "Cannot create %s (%s)", folder.c_str(), strerror(errno));
      return "";
    }
  }
  return "";
}

bool PublishHeaderFile(const std::string& dir, const std::string& id, std::string_view text) {
  std::string temp = dir + id + ".tmp", final = dir + id + ".hdr";
  {
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid() || WriteText(fd.get(), text) != text.size() || fsync(fd.get()) != 0) {
      unlink(temp.c_str());
      return false;
    }
  }
  bool ok = link(temp.c_str(), final.c_str()) == 0;
  unlink(temp.c_str());
  return ok;
}

}  // namespace

std::string MmsExtensionForType(std::string_view contentType) {
  std::string type = Lowercase(Trim(contentType.substr(0, contentType.find(';'))));
  static const std::pair<const char*, const char*> kBuiltIn[] = {{"image/jpeg", ".jpg"},
                                                                 {"image/gif", ".gif"},
                                                                 {"image/vnd.wap.wbmp", ".wbmp"},
                                                                 {"text/plain", ".txt"},
                                                                 {"application/smil", ".smil"}};
  for (const auto& [t, e] : kBuiltIn)
    if (type == t) return e;
  const auto& system = SystemMimeTypes();
  auto it = system.find(type);
  if (it == system.end() || !IsSafePathName(it->second)) return "";
  return "." + it->second;
}

std::string MmsHeaderLines(std::string_view recipient, std::string_view notification,
                           std::optional<std::string_view> message) {
  std::vector<HeaderField> m = message ? HeaderFields(*message) : std::vector<HeaderField>{};
  std::vector<HeaderField> n = HeaderFields(notification);
  std::string out;
  size_t before = out.size();
  AppendFieldLines(out, 0x8C, m, n);
  if (out.size() == before) out += "Message-type: m-retrieve-conf\r\n";
  AppendFieldLines(out, 0x98, m, n);
  AppendFieldLines(out, 0x8D, m, n);
  std::string to = StripControlBytes(recipient);
  if (!to.empty()) out += "To: " + to + "\r\n";
  AppendFieldLines(out, 0x89, m, n);
  for (unsigned code = 0x81; code <= 0xBF; ++code) {
    if (code == 0x83 || code == 0x84 || code == 0x8C || code == 0x98 || code == 0x8D || code == 0x89) continue;
    if (code == 0x97 && !to.empty()) continue;
    AppendFieldLines(out, static_cast<uint8_t>(code), m, n);
  }
  // Application headers (X-... of the sender) are kept too, from the same source.
  const std::vector<HeaderField>& apps = message ? m : n;
  for (const HeaderField& f : apps) {
    if (f.field.code != 0 || f.field.value.size() > kHeaderArea) continue;
    WspReader r{f.field.value};
    std::string value;
    if (r.AtEnd() || r.Peek() < 0x20 || r.Peek() >= 0x80 || !ReadText(r, value)) continue;
    std::string line = MmsApplicationHeaderLine(f.name, value);
    if (!line.empty()) out += line + "\r\n";
  }
  AppendFieldLines(out, 0x84, m, n);
  return out;
}

bool ParseInboundMMS(std::string_view recipient, std::string_view notification,
                     std::optional<std::string_view> message, std::string* headerPath) {
  std::string dir = MmsInDir();
  std::string id;
  std::string folder = ReservePartFolder(dir, id);
  if (folder.empty()) {
    WriteDebugLogf(kLabel, "Cannot create a header file in %s, nothing stored", dir.c_str());
    return false;
  }
  std::vector<StoredPart> parts;
  if (message) StoreParts(*message, folder, parts);
  std::string text = MmsHeaderLines(recipient, notification, message) + PartLines(id, parts);
  if (!PublishHeaderFile(dir, id, text)) {
    WriteDebugLogf(kLabel, "Cannot write %s%s.hdr, nothing stored", dir.c_str(), id.c_str());
    for (const StoredPart& p : parts) unlink((folder + p.fileName).c_str());
    rmdir(folder.c_str());
    return false;
  }
  WriteDebugLogf(kLabel, "Stored %s%s.hdr with %zu part(s)", dir.c_str(), id.c_str(), parts.size());
  if (headerPath) *headerPath = dir + id + ".hdr";
  RunReceiveMMSCallback(id + ".hdr");
  return true;
}

bool RunReceiveMMSCallback(std::string_view headerFileName) {
  std::string callback = MainValue("ReceiveMMSCallback");
  if (Trim(callback).empty()) return true;
  bool http = StartsWithNoCase(callback, "http://") || StartsWithNoCase(callback, "https://");
  std::string value = http ? UrlEscape(headerFileName) : std::string(headerFileName);
  std::string command;
  for (size_t pos = 0;;) {
    size_t at = FindToken(std::string_view(callback).substr(pos), "@@Filename@@");
    if (at == std::string::npos) {
      command += callback.substr(pos);
      break;
    }
    command += callback.substr(pos, at) + value;
    pos += at + 12;
  }
  WriteDebugLogf("ExecReceiveMMSCallback", "%s", command.c_str());
  if (http) {
    HttpResponse response;
    RetrieveOptions options;
    options.timeoutSeconds = 120;
    std::string error;
    options.errorText = &error;
    if (!RetrieveURL(command, response, options)) {
      WriteDebugLogf("ExecReceiveMMSCallback", "Request failed: %s", error.c_str());
      return false;
    }
    return true;
  }
  std::vector<std::string> argv = SplitCommandLine(command);
  if (argv.empty()) return false;
  ProcessOptions options;
  options.timeoutMs = 300000;
  int status = RunProcess(argv, options);
  if (status < 0) WriteDebugLogf("ExecReceiveMMSCallback", "Command failed (%d)", status);
  return status >= 0;
}
