// Every configuration key the gateway knows: where it may stand, its form, default and
// length, and whether it is read once at start-up or follows the file while running.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/settings.h"

enum class KeyScope : uint8_t {
  Main,              // [QARHUB]
  Connection,        // a connection's own section
  ConnectionOrMain,  // a connection's section, with [QARHUB] as the fallback
  Mmsc,              // [MMSC] of MMSC.INI
};

enum class KeyForm : uint8_t {
  Flag,     // Yes/No as ConfigBool reads it
  Number,   // decimal; empty or non-numeric text reads as 0
  NonZero,  // decimal; 0 reads as the default
  Limit,    // decimal; 0 means no limit (all-ones)
  Port,     // decimal, 16 bits
  Text,
  List,     // split at "," and ";"
  HexByte,  // one or two hexadecimal digits, else the default
};

enum class KeyRead : uint8_t {
  StartUp,  // read once; a change needs a restart
  Running,  // re-read after the configuration file changed
};

using SettingsField =
    std::variant<std::monostate, bool SettingsBlock::*, uint32_t SettingsBlock::*, uint16_t SettingsBlock::*,
                 uint8_t SettingsBlock::*, std::string SettingsBlock::*, std::vector<std::string> SettingsBlock::*>;

struct SettingKey {
  std::string_view name;  // a trailing '#' stands for a number from 1 ("Route#": Route1, Route2, ...)
  KeyScope scope;
  KeyForm form;
  std::string_view def;   // as the file would hold it
  uint16_t maxLen;
  KeyRead read;
  std::string_view later;  // the coming reader of a key nothing reads yet; empty when read today
  std::string_view meaning;
  SettingsField field = {};  // where LoadSettings keeps it
};

std::span<const SettingKey> SettingKeys();
// Case-insensitive; "Route17" finds "Route#". Null when the key is unknown.
const SettingKey* FindSettingKey(std::string_view name);

// The change notice: the waiters of this channel (BroadcastWake) are woken when
// NoteConfigurationChange finds QARHUB.INI changed. The main loop looks once a second for
// the whole process, so that waiting threads need no clock of their own for it.
inline constexpr const char* kConfigurationChangeChannel = "configuration";
// True (and the channel signalled) when the file changed since the last call.
bool NoteConfigurationChange();

// Values with the table's default and maximum length. Keys marked Running are served from
// a copy that is refreshed only when QARHUB.INI changed.
std::string MainValue(std::string_view key);
bool MainFlag(std::string_view key);
uint32_t MainNumber(std::string_view key);
// The connection's own section only.
std::string ConnectionValue(std::string_view section, std::string_view key);
bool ConnectionFlag(std::string_view section, std::string_view key);
uint32_t ConnectionNumber(std::string_view section, std::string_view key);
// The connection's section when it holds a non-empty value, else [QARHUB].
std::string ConnectionOrMainValue(std::string_view section, std::string_view key);
bool ConnectionOrMainFlag(std::string_view section, std::string_view key);
uint32_t ConnectionOrMainNumber(std::string_view section, std::string_view key);
std::string MmscValue(std::string_view key);

// A number of key k as its form reads the text.
uint32_t NumberValue(const SettingKey& k, std::string_view text);
// One or two hexadecimal digits; fallback when the first character is not one.
uint8_t HexByteValue(std::string_view text, uint8_t fallback);

// The nearest known key by edit distance (case-insensitive) among those allowed in the
// section kind, or empty when none is close.
std::string NearestKnownKey(std::string_view name, bool connectionSection);
// Lines "unknown key X in [S]; did you mean Y?" for the keys of [QARHUB] and of each
// configured connection's section that the table does not know.
std::vector<std::string> UnknownKeyReports();
// Writes each of those lines to the debug log and the event log.
void ReportUnknownKeys();
