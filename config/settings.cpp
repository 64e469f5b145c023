#include "config/settings.h"

#include <type_traits>

#include "config/connections.h"
#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
SettingsBlock g_settings;

// Stores text as the key's form reads it.
void SetField(SettingsBlock& s, const SettingKey& k, const std::string& text) {
  std::visit(
      [&](auto member) {
        using Member = decltype(member);
        if constexpr (!std::is_same_v<Member, std::monostate>) {
          auto& field = s.*member;
          using Field = std::remove_reference_t<decltype(field)>;
          if constexpr (std::is_same_v<Field, bool>) {
            field = ConfigBool(text);
          } else if constexpr (std::is_same_v<Field, std::string>) {
            field = text;
          } else if constexpr (std::is_same_v<Field, std::vector<std::string>>) {
            field = SplitList(text, ",;");
          } else if constexpr (std::is_same_v<Field, uint8_t>) {
            field = HexByteValue(text, HexByteValue(k.def, 0));
          } else {
            field = static_cast<Field>(NumberValue(k, text));
          }
        }
      },
      k.field);
}
}  // namespace

SettingsBlock::SettingsBlock() {
  for (const SettingKey& k : SettingKeys()) SetField(*this, k, std::string(k.def));
}

const SettingsBlock& Settings = g_settings;

// Tests change the block only through SettingsOverride.
SettingsBlock& WritableSettingsForTests() { return g_settings; }

void InstallSettings(const SettingsBlock& s) { g_settings = s; }

uint32_t CountConfiguredTransmitters() {
  uint32_t total = 0;
  for (const ConfiguredConnection& c : EnumerateConnections()) total += c.transmitterCount;
  return total;
}

void LoadSettings(SettingsBlock& s) {
  for (const SettingKey& k : SettingKeys()) {
    if (k.scope == KeyScope::Main) SetField(s, k, MainValue(k.name));
  }
  if (s.MaxQDirEntries == 0) s.MaxQDirEntries = 1000000;
  s.UseRouteCache = SMSIniFlag(kMainSection, "UseRouteCache", CountConfiguredTransmitters() >= 4);
  std::string shared = SharedVolumeIniString("SharedVolume", "MessageIDPrefix", "", FindSettingKey("MessageIDPrefix")->maxLen);
  if (!shared.empty()) s.MessageIDPrefix = shared;
}
