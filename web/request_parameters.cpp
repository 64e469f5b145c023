#include "web/request_parameters.h"

#include "runtime/text_helpers.h"
#include "httpclient/http_text.h"

namespace {
std::string DecodeValue(std::string_view raw, size_t maxLen) {
  std::string plus(raw);
  for (char& ch : plus)
    if (ch == '+') ch = ' ';
  std::string decoded = PercentDecode(plus);
  size_t end = decoded.size();
  while (end > 0 && static_cast<unsigned char>(decoded[end - 1]) <= 0x20) --end;
  decoded.resize(end);
  return CutUtf8(decoded, maxLen);
}

bool IsRequestLineLead(char c) { return c == '/' || c == '\\' || c == '?' || c == '&'; }

// Position of the value of name= in text, or npos.
size_t FindValue(std::string_view text, std::string_view name, bool requestLine) {
  std::string key = std::string(name) + "=";
  size_t from = 0;
  while (from < text.size()) {
    size_t after = FindNoCase(text.substr(from), key);
    if (after == std::string::npos) return std::string::npos;
    size_t start = from + after - key.size();
    bool lead = requestLine ? (start > 0 && IsRequestLineLead(text[start - 1]))
                            : (start == 0 || text[start - 1] == '?' || text[start - 1] == '&');
    if (lead) return from + after;
    from = start + 1;
  }
  return std::string::npos;
}

std::string_view RequestLine(const WebRequest& request) {
  std::string_view header = request.Header();
  return header.substr(0, FindLineEnd(header));
}

void SplitPairs(std::string_view text, std::string_view stops, size_t maxLen,
                std::vector<std::pair<std::string, std::string>>& out) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(stops, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string_view::npos && eq > 0)
      out.emplace_back(DecodeValue(item.substr(0, eq), 200), DecodeValue(item.substr(eq + 1), maxLen));
    pos = end + 1;
  }
}
}  // namespace

std::string CutUtf8(std::string_view text, size_t maxLen) {
  if (text.size() <= maxLen) return std::string(text);
  size_t end = maxLen;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

std::optional<std::string> RequestParameter(const WebRequest& request, std::string_view name, size_t maxLen) {
  std::string_view line = RequestLine(request);
  size_t at = FindValue(line, name, true);
  if (at != std::string::npos) {
    size_t end = line.find_first_of("&? ", at);
    std::string value = DecodeValue(line.substr(at, end == std::string_view::npos ? line.size() - at : end - at), maxLen);
    if (value.empty()) return std::nullopt;
    return value;
  }
  std::string_view body = request.Body();
  at = FindValue(body, name, false);
  if (at == std::string::npos) return std::nullopt;
  size_t end = body.find_first_of("&?", at);
  std::string value = DecodeValue(body.substr(at, end == std::string_view::npos ? body.size() - at : end - at), maxLen);
  if (value.empty()) return std::nullopt;
  return value;
}

std::string RequestParameterOr(const WebRequest& request, std::string_view name, size_t maxLen,
                               std::string_view fallback) {
  auto v = RequestParameter(request, name, maxLen);
  return v ? *v : std::string(fallback);
}

bool RequestFlag(const WebRequest& request, std::string_view name) {
  auto v = RequestParameter(request, name, 100);
  return v && ConfigBool(*v);
}

std::vector<std::pair<std::string, std::string>> AllRequestParameters(const WebRequest& request, size_t maxLen) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string_view line = RequestLine(request);
  size_t q = line.find('?');
  if (q != std::string_view::npos) {
    std::string_view query = line.substr(q + 1);
    SplitPairs(query.substr(0, query.find(' ')), "&?", maxLen, out);
  }
  SplitPairs(request.Body(), "&?", maxLen, out);
  return out;
}
