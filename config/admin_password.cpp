#include "config/admin_password.h"

#include <cstdint>

#include "config/settings_registry.h"
#include "runtime/text_helpers.h"

namespace {
constexpr std::string_view kKey = "quibrex";

uint8_t SwapNibbles(uint8_t b) { return static_cast<uint8_t>((b << 4) | (b >> 4)); }
}  // namespace

std::string ScrambleAdminPassword(std::string_view password) {
  std::string out;
  out.reserve(password.size() * 2);
  const size_t k = kKey.size();
  for (size_t i = 0; i < password.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(password[i]) ^ static_cast<uint8_t>(kKey[i % k]);
    b = static_cast<uint8_t>(b - SwapNibbles(static_cast<uint8_t>(kKey[(i + 2) % k])));
    out.push_back(static_cast<char>('A' + (b >> 4)));
    out.push_back(static_cast<char>('K' + (b & 0x0F)));
  }
  return out;
}

std::string UnscrambleAdminPassword(std::string_view stored) {
  if (stored.size() % 2 != 0) return {};
  std::string out;
  out.reserve(stored.size() / 2);
  const size_t k = kKey.size();
  for (size_t i = 0; i * 2 < stored.size(); ++i) {
    char high = stored[i * 2];
    char low = stored[i * 2 + 1];
    if (high < 'A' || high > 'P' || low < 'K' || low > 'Z') return {};
    uint8_t b = static_cast<uint8_t>(((high - 'A') << 4) | (low - 'K'));
    b = static_cast<uint8_t>(b + SwapNibbles(static_cast<uint8_t>(kKey[(i + 2) % k])));
    out.push_back(static_cast<char>(b ^ static_cast<uint8_t>(kKey[i % k])));
  }
  return out;
}

AdminCredentials ReadAdminCredentials() {
  AdminCredentials a;
  a.user = MainValue("AdminUser");
  a.password = MainValue("AdminPassword");
  a.passwordDelete = MainValue("AdminPasswordDelete");
  a.passwordModify = MainValue("AdminPasswordModify");
  return a;
}

bool AdminLoginMatches(const AdminCredentials& admin, std::string_view user, std::string_view password) {
  if (admin.user.empty() || password.empty() || !EqualsNoCase(admin.user, user)) return false;
  std::string plain = UnscrambleAdminPassword(admin.password);
  for (std::string_view candidate : {std::string_view(plain), std::string_view(admin.passwordDelete),
                                     std::string_view(admin.passwordModify)}) {
    if (!candidate.empty() && EqualsNoCase(candidate, password)) return true;
  }
  return false;
}
