#include "config/settings_registry.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

#include "config/connections.h"
#include "runtime/broadcast_wake.h"
#include "runtime/config_access.h"
#include "runtime/hex_text.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
// A default no configuration file can hold, to tell a missing key from an empty one.
constexpr const char* kAbsent = "\x01\x02";

bool NameMatches(std::string_view pattern, std::string_view name) {
  if (!pattern.empty() && pattern.back() == '#') {
    std::string_view stem = pattern.substr(0, pattern.size() - 1);
    if (name.size() <= stem.size() || !EqualsNoCase(name.substr(0, stem.size()), stem)) return false;
    std::string_view digits = name.substr(stem.size());
    return digits[0] != '0' && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  }
  return EqualsNoCase(pattern, name);
}

const SettingKey& Key(std::string_view name) {
  static const SettingKey unknown{"", KeyScope::Main, KeyForm::Text, "", 255, KeyRead::StartUp, "", ""};
  const SettingKey* key = FindSettingKey(name);
  if (key == nullptr) {
    WriteDebugLogf("SettingsRegistry", "Key %.*s is not in the registry", int(name.size()), name.data());
    return unknown;
  }
  return *key;
}

std::string ReadRaw(std::string_view section, std::string_view key, std::string_view def, size_t maxLen) {
  return SMSIniString(section, key, def, maxLen);
}

// Values of keys that follow the file while running, dropped when QARHUB.INI changed.
struct RunningCache {
  std::mutex lock;
  ConfigurationStamp stamp;
  std::map<std::tuple<std::string, std::string, std::string>, std::string> values;
};
RunningCache& Cache() {
  static RunningCache cache;
  return cache;
}

std::string Read(const SettingKey& k, std::string_view section, std::string_view key, std::string_view def) {
  if (k.read != KeyRead::Running) return ReadRaw(section, key, def, k.maxLen);
  RunningCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  if (ConfigurationChanged(cache.stamp)) cache.values.clear();
  auto id = std::make_tuple(std::string(section), std::string(key), std::string(def));
  auto it = cache.values.find(id);
  if (it != cache.values.end()) return it->second;
  std::string value = ReadRaw(section, key, def, k.maxLen);
  cache.values.emplace(std::move(id), value);
  return value;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      bool same = std::toupper(static_cast<unsigned char>(a[i - 1])) == std::toupper(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool AllowedIn(const SettingKey& k, bool connectionSection) {
  if (k.scope == KeyScope::ConnectionOrMain) return true;
  return connectionSection ? k.scope == KeyScope::Connection : k.scope == KeyScope::Main;
}

bool Known(std::string_view name, bool connectionSection) {
  for (const SettingKey& k : SettingKeys()) {
    if (AllowedIn(k, connectionSection) && NameMatches(k.name, name)) return true;
  }
  return false;
}

void AddReports(std::vector<std::string>& out, std::string_view section, bool connectionSection) {
  std::vector<std::string> seen;
  for (const auto& [name, value] : SMSIniSection(section)) {
    if (name.empty() || name[0] == ';' || Known(name, connectionSection)) continue;
    std::string upper = ToUpper(name);
    if (std::find(seen.begin(), seen.end(), upper) != seen.end()) continue;
    seen.push_back(upper);
    std::string line = StrPrintf("unknown key %s in [%.*s]", name.c_str(), int(section.size()), section.data());
    std::string nearest = NearestKnownKey(name, connectionSection);
    if (!nearest.empty()) line += "; did you mean " + nearest + "?";
    out.push_back(std::move(line));
  }
}
}  // namespace

const SettingKey* FindSettingKey(std::string_view name) {
  for (const SettingKey& k : SettingKeys()) {
    if (NameMatches(k.name, name)) return &k;
  }
  return nullptr;
}

std::string MainValue(std::string_view key) {
  const SettingKey& k = Key(key);
  return Read(k, kMainSection, key, k.def);
}
bool MainFlag(std::string_view key) { return ConfigBool(MainValue(key)); }
uint32_t MainNumber(std::string_view key) { return NumberValue(Key(key), MainValue(key)); }

std::string ConnectionValue(std::string_view section, std::string_view key) {
  const SettingKey& k = Key(key);
  return Read(k, section, key, k.def);
}
bool ConnectionFlag(std::string_view section, std::string_view key) { return ConfigBool(ConnectionValue(section, key)); }
uint32_t ConnectionNumber(std::string_view section, std::string_view key) {
  return NumberValue(Key(key), ConnectionValue(section, key));
}

std::string ConnectionOrMainValue(std::string_view section, std::string_view key) {
  const SettingKey& k = Key(key);
  std::string own = Read(k, section, key, kAbsent);
  if (own != kAbsent && !own.empty()) return own;
  return Read(k, kMainSection, key, k.def);
}
bool ConnectionOrMainFlag(std::string_view section, std::string_view key) {
  return ConfigBool(ConnectionOrMainValue(section, key));
}
uint32_t ConnectionOrMainNumber(std::string_view section, std::string_view key) {
  return NumberValue(Key(key), ConnectionOrMainValue(section, key));
}

std::string MmscValue(std::string_view key) {
  const SettingKey& k = Key(key);
  return MMSCIniString("MMSC", key, k.def, k.maxLen);
}

uint32_t NumberValue(const SettingKey& k, std::string_view text) {
  uint32_t value = ParseDecimal(text);
  if (value == 0 && k.form == KeyForm::NonZero) return ParseDecimal(k.def);
  if (value == 0 && k.form == KeyForm::Limit) return 0xFFFFFFFFu;
  return value;
}

uint8_t HexByteValue(std::string_view text, uint8_t fallback) {
  if (text.empty() || !IsHexDigit(text[0])) return fallback;
  return static_cast<uint8_t>(HexToInt(text.substr(0, 2)));
}

std::string NearestKnownKey(std::string_view name, bool connectionSection) {
  // Close means at most a third of the name differs (and at most 3 edits).
  size_t limit = std::min<size_t>(3, std::max<size_t>(1, name.size() / 3));
  std::string best;
  size_t bestDistance = limit + 1;
  // A numbered name keeps its own number: "Rute3" suggests "Route3".
  size_t digitsAt = name.find_last_not_of("0123456789") + 1;
  std::string_view base = name.substr(0, digitsAt);
  std::string number(digitsAt < name.size() ? name.substr(digitsAt) : "1");
  for (const SettingKey& k : SettingKeys()) {
    if (!AllowedIn(k, connectionSection)) continue;
    std::string candidate(k.name);
    size_t d;
    if (!candidate.empty() && candidate.back() == '#') {
      candidate.pop_back();
      d = EditDistance(base, candidate) + (digitsAt < name.size() ? 0 : 1);
      candidate += number;
    } else {
      d = EditDistance(name, candidate);
    }
    if (d < bestDistance) {
      bestDistance = d;
      best = candidate;
    }
  }
  return best;
}

std::vector<std::string> UnknownKeyReports() {
  std::vector<std::string> out;
  AddReports(out, kMainSection, false);
  std::vector<std::string> done;
  for (const ConfiguredConnection& c : EnumerateConnections()) {
    std::string section = ConnectionSectionName(c.displayName);
    std::string upper = ToUpper(section);
    if (std::find(done.begin(), done.end(), upper) != done.end()) continue;
    done.push_back(upper);
    AddReports(out, section, true);
  }
  return out;
}

void ReportUnknownKeys() {
  for (const std::string& line : UnknownKeyReports()) {
    WriteDebugLog("Settings", line);
    ReportEvent(EventKind::Warning, line);
  }
}

bool NoteConfigurationChange() {
  static std::mutex lock;
  static ConfigurationStamp stamp;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!ConfigurationChanged(stamp)) return false;
  }
  SignalBroadcast(kConfigurationChangeChannel);
  return true;
}
