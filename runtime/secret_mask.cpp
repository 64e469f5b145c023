#include "runtime/secret_mask.h"

#include <cctype>

#include "runtime/text_helpers.h"

namespace {
constexpr std::string_view kMask = "****";

bool MatchesAt(std::string_view text, size_t at, std::string_view word) {
  return at + word.size() <= text.size() && EqualsNoCase(text.substr(at, word.size()), word);
}

bool EndsValue(char c) {
  auto b = static_cast<unsigned char>(c);
  return b <= 0x20 || b == 0x7F || c == '&' || c == '"' || c == '\'' || c == '<' || c == '>';
}

// Ends a URL's host part: where the path, query or fragment starts, or the URL ends.
bool EndsAuthority(char c) { return EndsValue(c) || c == '/' || c == '?' || c == '#' || c == '\\'; }

size_t SkipValue(std::string_view text, size_t at) {
  while (at < text.size() && !EndsValue(text[at])) ++at;
  return at;
}
}  // namespace

std::string MaskSecrets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    if (c == 'a' && MatchesAt(text, i, "authorization:")) {
      size_t at = i + 14;
      while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
      size_t scheme = at;
      while (scheme < text.size() && std::isalpha(static_cast<unsigned char>(text[scheme]))) ++scheme;
      if (scheme > at && scheme < text.size() && text[scheme] == ' ') at = scheme + 1;  // "Basic ", "Bearer "
      out.append(text.substr(i, at - i));
      out.append(kMask);
      i = FindLineEnd(text, at);
      if (i == std::string_view::npos) i = text.size();
      continue;
    }
    size_t name = c != 'p' ? 0 : MatchesAt(text, i, "password=") ? 9 : MatchesAt(text, i, "pw=") ? 3 : 0;
    if (name != 0) {
      size_t at = i + name;
      out.append(text.substr(i, at - i));
      size_t end = SkipValue(text, at);
      if (end > at) out.append(kMask);
      i = end;
      continue;
    }
    if (c == ':' && MatchesAt(text, i, "://")) {
      size_t start = i + 3;
      size_t end = start;
      while (end < text.size() && !EndsAuthority(text[end])) ++end;
      std::string_view authority = text.substr(start, end - start);
      size_t atSign = authority.rfind('@');
      out.append("://");
      if (atSign != std::string_view::npos) {
        std::string_view user = authority.substr(0, atSign);
        size_t colon = user.find(':');
        if (colon != std::string_view::npos) out.append(user.substr(0, colon + 1));
        out.append(kMask);
        out.push_back('@');
        i = start + atSign + 1;
      } else {
        i = start;
      }
      continue;
    }
    out.push_back(text[i++]);
  }
  return out;
}
