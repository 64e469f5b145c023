#include "web/request_parameters.h"

#include "runtime/text_helpers.h"
#include "web/http_text.h"

namespace {
std::optional<std::string> FindIn(std::string_view query, std::string_view name, size_t maxLen) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    std::string key = PercentDecode(pair.substr(0, eq));
    if (EqualsNoCase(key, name)) {
      std::string raw(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
      for (char& ch : raw)
        if (ch == '+') ch = ' ';
      return CutTo(PercentDecode(raw), maxLen);
    }
    start = end + 1;
  }
  return std::nullopt;
}
}  // namespace

std::optional<std::string> RequestParameter(const WebRequest& request, std::string_view name, size_t maxLen) {
  std::string_view header = request.Header();
  size_t lineEnd = header.find_first_of("\r\n");
  std::string_view line = header.substr(0, lineEnd);
  size_t sp = line.find(' ');
  if (sp != std::string_view::npos) {
    std::string_view target = line.substr(sp + 1);
    target = target.substr(0, target.find(' '));
    size_t q = target.find('?');
    if (q != std::string_view::npos) {
      if (auto v = FindIn(target.substr(q + 1), name, maxLen)) return v;
    }
  }
  auto type = HttpHeaderValue(header, "Content-Type:", 200);
  if (type && FindNoCase(*type, "application/x-www-form-urlencoded") != std::string::npos)
    return FindIn(TrimRight(request.Body()), name, maxLen);
  return std::nullopt;
}
