#include "runtime/text_helpers.h"

#include <cctype>
#include <limits>

namespace {
// ASCII case folding: the texts compared are protocol keys and names, and the locale's
// tolower is a function call per byte on the hot path of every request.
inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(Lower(a[i]));
    unsigned char y = static_cast<unsigned char>(Lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool ConfigBool(std::string_view text) {
  if (!text.empty() && (text[0] == 'Y' || text[0] == 'y' || text[0] == '1')) return true;
  return EqualsNoCase(text, "TRUE") || EqualsNoCase(text, "On");
}

std::string SanitizePathName(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == ':' || c == '/' || c == '\\') c = '-';
  }
  return out;
}

std::string EscapeCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string UnescapeCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'r' || text[i + 1] == 'n')) {
      out.push_back(text[i + 1] == 'r' ? '\r' : '\n');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string_view SkipSpaces(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.substr(i);
}

std::string_view SkipBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= 32) ++i;
  return text.substr(i);
}

std::string_view TrimRight(std::string_view text) {
  size_t n = text.size();
  while (n > 0 && static_cast<unsigned char>(text[n - 1]) <= 32) --n;
  return text.substr(0, n);
}

std::string_view Trim(std::string_view text) { return TrimRight(SkipBlanks(text)); }

std::vector<std::string> SplitList(std::string_view text, std::string_view separators) {
  std::vector<std::string> out;
  for (;;) {
    size_t end = text.find_first_of(separators);
    std::string_view item = Trim(text.substr(0, end));
    if (!item.empty()) out.emplace_back(item);
    if (end == std::string_view::npos) return out;
    text.remove_prefix(end + 1);
  }
}

std::string_view FirstListItem(std::string_view text, std::string_view separators) {
  return Trim(text.substr(0, text.find_first_of(separators)));
}

size_t FindNoCase(std::string_view text, std::string_view word) {
  if (word.empty()) return 0;
  if (word.size() > text.size()) return std::string_view::npos;
  const char first = Lower(word[0]);
  const std::string_view rest = word.substr(1);
  const size_t last = text.size() - word.size();
  for (size_t i = 0; i <= last; ++i) {
    if (Lower(text[i]) != first) continue;
    if (EqualsNoCase(text.substr(i + 1, rest.size()), rest)) return i + word.size();
  }
  return std::string_view::npos;
}

size_t FindToken(std::string_view text, std::string_view token) {
  if (token.empty()) return std::string_view::npos;
  if (token.size() < 2 || token[0] != '@' || token[1] != '@') {
    size_t after = FindNoCase(text, token);
    return after == std::string_view::npos ? after : after - token.size();
  }
  size_t i = 0;
  while (i + 1 < text.size()) {
    if (text[i] != '@' || text[i + 1] != '@') {
      ++i;
      continue;
    }
    // Skip a longer run of at-signs to its last two.
    size_t run = i;
    while (run + 2 < text.size() && text[run + 2] == '@') ++run;
    if (run + token.size() <= text.size() && EqualsNoCase(text.substr(run, token.size()), token)) return run;
    i = run + 2;
  }
  return std::string_view::npos;
}

bool SplitHostPort(std::string_view text, std::string& host, uint16_t& port) {
  std::string_view name = text;
  size_t colon = text.find(':');
  if (!text.empty() && text[0] == '[') {
    // An IPv6 address in brackets, then optionally the port.
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    name = text.substr(1, close - 1);
    if (close + 1 == text.size()) colon = std::string_view::npos;
    else if (text[close + 1] == ':') colon = close + 1;
    else return false;
  } else if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
    colon = std::string_view::npos;  // a bare IPv6 address: no port can follow it
  } else if (colon != std::string_view::npos) {
    name = text.substr(0, colon);
  }
  if (colon == std::string_view::npos) {
    host.assign(name);
    return true;
  }
  std::string_view digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return false;
  uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  host.assign(name);
  port = static_cast<uint16_t>(value);
  return true;
}

std::string HostFromUrl(std::string_view url) {
  if (StartsWithNoCase(url, "http://")) {
    url.remove_prefix(7);
  } else if (StartsWithNoCase(url, "https://")) {
    url.remove_prefix(8);
  }
  size_t cut = url.find('\\');
  if (cut != std::string_view::npos) url = url.substr(0, cut);
  cut = url.find('/');
  if (cut != std::string_view::npos) url = url.substr(0, cut);
  return std::string(url);
}

std::string ConnectionSectionName(std::string_view displayName) {
  static constexpr std::string_view kKnown[] = {"SMPP - ", "HTTP - ", "UCP - ", "CIMD - ", "IPModem - "};
  std::string out;
  bool known = false;
  for (std::string_view prefix : kKnown) {
    if (StartsWithNoCase(displayName, prefix)) known = true;
  }
  if (!known) out = "Modem - ";
  for (char c : displayName) {
    if (c == '[') {
      out += "\\x5B";
    } else if (c == ']') {
      out += "\\x5D";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string ConnectionDisplayName(std::string_view sectionName) {
  std::string out;
  for (size_t i = 0; i < sectionName.size(); ++i) {
    std::string_view rest = sectionName.substr(i);
    if (rest.substr(0, 4) == "\\x5B") {
      out.push_back('[');
      i += 3;
    } else if (rest.substr(0, 4) == "\\x5D") {
      out.push_back(']');
      i += 3;
    } else {
      out.push_back(sectionName[i]);
    }
  }
  return out;
}

uint32_t ParseDecimal(std::string_view text) {
  text = SkipBlanks(text);
  uint64_t value = 0;
  size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  }
  return static_cast<uint32_t>(value);
}

std::string CutTo(std::string_view text, size_t maxLen) {
  return std::string(text.substr(0, text.size() < maxLen ? text.size() : maxLen));
}

bool WildcardMatchNoCase(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

size_t FindLineEnd(std::string_view text, size_t from) {
  size_t cr = text.find('\r', from);
  size_t lf = text.find('\n', from);
  return cr < lf ? cr : lf;
}
