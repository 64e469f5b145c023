#include "web/address_checks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>

#include "runtime/text_helpers.h"
#include "web/web_settings.h"

namespace {
constexpr int kWildcard = -1;

std::optional<std::array<int, 4>> ParsePattern(std::string_view text, bool allowWildcard) {
  std::array<int, 4> parts{0, 0, 0, 0};
  text = SkipSpaces(text);
  size_t index = 0;
  size_t i = 0;
  bool partHasContent = false;
  int value = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '.') {
      if (!partHasContent || ++index > 3) return std::nullopt;
      partHasContent = false;
      value = 0;
    } else if (c == '*' && allowWildcard) {
      if (partHasContent) return std::nullopt;
      parts[index] = kWildcard;
      partHasContent = true;
      if (i + 1 < text.size() && text[i + 1] != '.') return std::nullopt;
    } else if (c >= '0' && c <= '9') {
      if (partHasContent && parts[index] == kWildcard) return std::nullopt;
      value = value * 10 + (c - '0');
      if (value > 255) return std::nullopt;
      parts[index] = value;
      partHasContent = true;
    } else {
      return std::nullopt;
    }
    ++i;
  }
  if (index > 0 && !partHasContent) return std::nullopt;  // trailing dot
  return parts;
}
}  // namespace

bool MatchAddressPattern(std::string_view pattern, std::string_view address) {
  auto p = ParsePattern(pattern, true);
  auto a = ParsePattern(address, false);
  if (!p || !a) return false;
  for (size_t i = 0; i < 4; ++i)
    if ((*p)[i] != kWildcard && (*p)[i] != (*a)[i]) return false;
  return true;
}

namespace {
// The listeners take IPv6 too: its loopback is the same machine as 127.0.0.1.
bool IsLoopbackAddress(std::string_view address) { return address == "127.0.0.1" || address == "::1"; }
}  // namespace

bool IPRestrictionAllows(std::string_view address) {
  if (IsLoopbackAddress(address)) return true;
  for (const std::string& blocked : IPRestrictions.Blocked)
    if (MatchAddressPattern(blocked, address)) return false;
  if (IPRestrictions.Allowed.empty()) return true;
  for (const std::string& allowed : IPRestrictions.Allowed)
    if (MatchAddressPattern(allowed, address)) return true;
  return false;
}

bool AdminAddressAllowed(std::string_view address) {
  std::string_view list = WebSettings.AdminIPAddressList;
  return Trim(list).empty() || AddressListMatches(list, address);
}

bool AddressListMatches(std::string_view list, std::string_view address) {
  for (const std::string& entry : SplitList(list, ",;")) {
    if (MatchAddressPattern(entry, address)) return true;
  }
  return false;
}

bool IsLocalAddress(std::string_view address) {
  if (IsLoopbackAddress(address)) return true;
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  struct addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0) return false;
  bool found = false;
  int count = 0;
  for (struct addrinfo* ai = list; ai != nullptr && count < 100 && !found; ai = ai->ai_next, ++count) {
    char text[INET_ADDRSTRLEN] = {0};
    if (inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, text, sizeof text) != nullptr)
      found = address == text;
  }
  freeaddrinfo(list);
  return found;
}
