#include "console/config_command.h"

#include "config/admin_password.h"
#include "config/settings_registry.h"
#include "config/value_checks.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
enum class SectionKind { Main, Mmsc, Connection };

SectionKind KindOf(const std::string& section) {
  if (EqualsNoCase(section, kMainSection)) return SectionKind::Main;
  if (EqualsNoCase(section, "MMSC")) return SectionKind::Mmsc;
  return SectionKind::Connection;
}

bool Allowed(const SettingKey& k, SectionKind kind) {
  switch (kind) {
    case SectionKind::Main:
      return k.scope == KeyScope::Main || k.scope == KeyScope::ConnectionOrMain;
    case SectionKind::Mmsc:
      return k.scope == KeyScope::Mmsc;
    case SectionKind::Connection:
      return k.scope == KeyScope::Connection || k.scope == KeyScope::ConnectionOrMain;
  }
  return false;
}

// The registry's entry for key in section, or null with the operator's error.
const SettingKey* Lookup(const std::string& section, const std::string& key, std::string& error) {
  SectionKind kind = KindOf(section);
  bool bad = section.empty() || section.find(']') != std::string::npos;
  for (unsigned char c : section) bad = bad || c < 0x20;
  if (bad) {
    error = "Invalid section name";
    return nullptr;
  }
  const SettingKey* k = FindSettingKey(key);
  if (k != nullptr && Allowed(*k, kind)) return k;
  for (const SettingKey& other : SettingKeys())  // a name that stands in more than one place
    if (EqualsNoCase(other.name, key) && Allowed(other, kind)) return &other;
  error = "Unknown key " + key + " in [" + section + "]";
  std::string nearest = kind == SectionKind::Mmsc ? "" : NearestKnownKey(key, kind == SectionKind::Connection);
  if (!nearest.empty()) error += "; did you mean " + nearest + "?";
  return nullptr;
}
}  // namespace

bool ConfigGet(const std::string& section, const std::string& key, std::string& value, std::string& error) {
  const SettingKey* k = Lookup(section, key, error);
  if (k == nullptr) return false;
  if (KindOf(section) == SectionKind::Mmsc)
    value = MMSCIniString("MMSC", key, k->def, k->maxLen);
  else
    value = SMSIniString(section, key, k->def, k->maxLen);
  // Passwords are set, never shown.
  if (FindNoCase(k->name, "Password") != std::string::npos && !value.empty()) value = "********";
  return true;
}

bool ConfigSet(const std::string& section, const std::string& key, const std::string& value, std::string& error) {
  const SettingKey* k = Lookup(section, key, error);
  if (k == nullptr) return false;
  std::string why = CheckSettingValue(*k, value);
  if (!why.empty()) {
    error = "Invalid value for " + key + ": " + why;
    return false;
  }
  // The administrator's password is kept scrambled, as the administration pages read it.
  std::string stored = EqualsNoCase(k->name, "AdminPassword") && !value.empty() ? ScrambleAdminPassword(value) : value;
  bool ok = KindOf(section) == SectionKind::Mmsc
                ? MMSCIniWriteProfileString("MMSC", key.c_str(), stored.c_str()) != 0
                : SMSIniWrite(section, key, stored);
  if (!ok) error = "Cannot write " + key + " to the configuration file";
  return ok;
}
