// The gateway's access to configuration and directories, over qarvault.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr const char* kMainSection = "QARHUB";

// Values cut to maxLen bytes, as each caller's buffer was.
std::string SMSIniString(std::string_view section, std::string_view key, std::string_view def = "",
                         size_t maxLen = 255);
std::string MMSCIniString(std::string_view section, std::string_view key, std::string_view def = "",
                          size_t maxLen = 255);
std::string SharedVolumeIniString(std::string_view section, std::string_view key,
                                  std::string_view def = "", size_t maxLen = 255);
// Decimal number; an empty or non-numeric value reads as 0, a missing key as def.
uint32_t SMSIniNumber(std::string_view section, std::string_view key, uint32_t def = 0);
bool SMSIniFlag(std::string_view section, std::string_view key, bool def);
bool MMSCIniFlag(std::string_view section, std::string_view key, bool def);
bool SMSIniWrite(std::string_view section, std::string_view key, std::string_view value);

// The "key=value" lines of a section in file order.
std::vector<std::pair<std::string, std::string>> SMSIniSection(std::string_view section);
std::vector<std::pair<std::string, std::string>> MMSCIniSection(std::string_view section);

// Per-connection settings: the connection's own section first, [QARHUB] second.
std::string ConnectionSetting(std::string_view section, std::string_view key,
                              std::string_view def = "", size_t maxLen = 255);

// What the configuration file (QARHUB.INI) looked like when last asked: a caller that keeps
// one can skip re-reading its settings while the file is unchanged.
struct ConfigurationStamp {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t seconds = 0, nanoseconds = 0;
  bool valid = false;
  uint64_t changeCount = 0;  // the file's watch count when looked at; 0: not watched
};
// True when the file differs from stamp (or may: changed within the last two seconds, when
// a further change could keep the same time); stamp then describes it as it is now.
bool ConfigurationChanged(ConfigurationStamp& stamp);

// A number that changes whenever the file (or, for a path ending in "/", the directory's
// list of entries) may have changed; 0 when it cannot be watched: look every time then.
// Read it before looking.
uint64_t WatchedChangeCount(const std::string& path);

// Directories, each ending in "/".
std::string ProgramDataDirectory();
std::string PrivateDataDirectory();
std::string LogDirectory();
std::string DebugLogDirectory();
std::string MMSCLogDirectory();
std::string RealProgramDirectory();
