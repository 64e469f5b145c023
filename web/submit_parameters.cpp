#include "web/submit_parameters.h"

#include <cctype>

#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "store/unique_files.h"
#include "httpclient/http_text.h"

namespace {
std::string TempDirectory() { return PrivateDataDirectory() + "TEMP/"; }

// Space as "+", and "+", "&", "?" and "%" escaped, so that the lookup decodes it once.
std::string FormEscape(std::string_view value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case ' ': out += '+'; break;
      case '+': out += "%2B"; break;
      case '&': out += "%26"; break;
      case '?': out += "%3F"; break;
      case '%': out += "%25"; break;
      default: out += c;
    }
  }
  return out;
}

// The value of attribute (name= or filename=) in a Content-Disposition line.
std::optional<std::string> DispositionValue(std::string_view headers, std::string_view attribute) {
  size_t at = 0;
  for (;;) {
    size_t found = FindNoCase(headers.substr(at), attribute);
    if (found == std::string::npos) return std::nullopt;
    size_t start = at + found - attribute.size();
    if (start == 0 || headers[start - 1] == ' ' || headers[start - 1] == ';' || headers[start - 1] == '\t') {
      std::string_view rest = headers.substr(at + found);
      if (!rest.empty() && rest[0] == '"') {
        size_t close = rest.find('"', 1);
        return std::string(rest.substr(1, close == std::string_view::npos ? rest.size() - 1 : close - 1));
      }
      return std::string(Trim(rest.substr(0, rest.find_first_of(";\r\n"))));
    }
    at += found;
  }
}
}  // namespace

namespace {
// The index of the upload value names, or npos.
size_t UploadIndex(const WebRequest& request, std::string_view value) {
  const std::vector<std::string>& paths = request.uploads.paths;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    if (!value.empty() && path.size() > value.size() &&
        path.compare(path.size() - value.size(), value.size(), value) == 0 && path[path.size() - value.size() - 1] == '/')
      return i;
  }
  return std::string::npos;
}
}  // namespace

std::string UploadedFilePath(const WebRequest& request, std::string_view value) {
  size_t i = UploadIndex(request, value);
  return i == std::string::npos ? std::string() : request.uploads.paths[i];
}

std::string UploadedFileClientName(const WebRequest& request, std::string_view value) {
  size_t i = UploadIndex(request, value);
  return i == std::string::npos || i >= request.uploads.clientNames.size() ? std::string()
                                                                         : request.uploads.clientNames[i];
}

bool ParseMultipart(WebRequest& request) {
  std::string_view header = request.Header();
  if (FindNoCase(request.text, "multipart/form-data") == std::string::npos &&
      FindNoCase(request.text, "multipart\\form-data") == std::string::npos)
    return false;
  size_t b = FindNoCase(header, "boundary=");
  if (b == std::string::npos) return false;
  std::string_view boundaryValue = header.substr(b);
  if (!boundaryValue.empty() && boundaryValue[0] == '"') boundaryValue = boundaryValue.substr(1);
  std::string boundary = "--" + std::string(boundaryValue.substr(0, boundaryValue.find_first_of("\"\r\n; ")));
  if (boundary.size() <= 2) return false;
  std::string_view body = request.Body();
  struct Part {
    std::string name, value;
    bool file = false;
  };
  std::vector<Part> parts;
  size_t pos = body.find(boundary);
  while (pos != std::string_view::npos) {
    size_t start = pos + boundary.size();
    if (body.substr(start, 2) == "--") break;
    size_t headersStart = body.find('\n', start);
    if (headersStart == std::string_view::npos) break;
    ++headersStart;
    size_t headersEnd = body.find("\r\n\r\n", headersStart);
    size_t contentStart = headersEnd == std::string_view::npos ? std::string_view::npos : headersEnd + 4;
    if (contentStart == std::string_view::npos) break;
    size_t next = body.find("\r\n" + boundary, contentStart);
    if (next == std::string_view::npos) break;
    std::string_view headers = body.substr(headersStart, headersEnd - headersStart);
    std::string_view content = body.substr(contentStart, next - contentStart);
    Part part;
    if (auto name = DispositionValue(headers, "name=")) part.name = CutTo(*name, 200);
    if (auto filename = DispositionValue(headers, "filename=")) {
      part.file = true;
      // Only the extension of the client's name is kept: the saved name is new and unique.
      std::string given = *filename;
      size_t slash = given.find_last_of("/\\");
      if (slash != std::string::npos) given = given.substr(slash + 1);
      size_t dot = given.rfind('.');
      std::string extension = dot == std::string::npos ? "" : CutTo(given.substr(dot + 1), 10);
      if (!extension.empty() && !IsSafePathName(extension)) extension.clear();
      for (char c : extension)
        if (!std::isalnum(static_cast<unsigned char>(c))) extension.clear();
      if (!given.empty() || !content.empty()) {
        std::string path = CreateUniqueFileNoPrefix(TempDirectory(), extension.empty() ? "UPL" : extension, content);
        if (!path.empty()) {
          request.uploads.paths.push_back(path);
          request.uploads.clientNames.push_back(CutTo(StripControlBytes(given), 200));
          part.value = path.substr(path.rfind('/') + 1);
        }
      }
    } else {
      part.value = std::string(TrimRight(content));
    }
    if (!part.name.empty()) parts.push_back(std::move(part));
    pos = next + 2;
  }
  std::string text;
  for (const Part& p : parts) text += FormEscape(p.name) + "=" + FormEscape(p.value) + "&";
  std::string newHeader;
  std::string_view rest = header;
  while (!rest.empty()) {
    size_t eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol == std::string_view::npos ? rest.size() : eol + 1);
    rest.remove_prefix(line.size());
    if (StartsWithNoCase(line, "Content-Type:"))
      newHeader += "Content-Type: application/x-www-form-urlencoded\r\n";
    else if (!StartsWithNoCase(line, "Content-Length:"))
      newHeader += line;
  }
  request.text = newHeader + text;
  request.headerLength = newHeader.size();
  WriteDebugLog("ParseMultipart", text);
  return true;
}
