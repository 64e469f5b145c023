#include "runtime/config_access.h"

#include <string.h>
#include <sys/stat.h>

#include <ctime>

#include "outside/qarvault/qarvault.h"
#include "runtime/text_helpers.h"

namespace {
// A default no configuration file can hold, to tell a missing key from an empty one.
constexpr const char* kMissing = "\x01\x02missing";

using ProfileReader = uint32_t (*)(const char*, const char*, const char*, char*, uint32_t);
using SectionReader = uint32_t (*)(const char*, char*, uint32_t);

std::string ReadProfile(ProfileReader reader, std::string_view section, std::string_view key, std::string_view def,
                        size_t maxLen) {
  std::string sec(section), k(key), d(def);
  std::string buf(maxLen + 1, '\0');
  uint32_t n = reader(sec.c_str(), k.c_str(), d.c_str(), buf.data(), static_cast<uint32_t>(buf.size()));
  buf.resize(n < buf.size() ? n : buf.size() - 1);
  return buf;
}

std::vector<std::pair<std::string, std::string>> ReadSection(SectionReader reader, std::string_view section) {
  std::string sec(section);
  std::string buf(32768, '\0');
  for (;;) {
    uint32_t n = reader(sec.c_str(), buf.data(), static_cast<uint32_t>(buf.size()));
    if (n + 2 < buf.size() || buf.size() >= (64u << 20)) break;
    buf.assign(buf.size() * 4, '\0');
  }
  std::vector<std::pair<std::string, std::string>> out;
  const char* p = buf.data();
  const char* end = buf.data() + buf.size();
  while (p < end && *p != '\0') {
    std::string_view line(p, strnlen(p, static_cast<size_t>(end - p)));
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      out.emplace_back(std::string(Trim(line)), std::string());
    } else {
      out.emplace_back(std::string(Trim(line.substr(0, eq))), std::string(Trim(line.substr(eq + 1))));
    }
    p += line.size() + 1;
  }
  return out;
}

std::string Directory(int (*getter)(char*, uint32_t)) {
  char buf[4096];
  if (getter(buf, sizeof buf) == 0) return std::string();
  return std::string(buf);
}
}  // namespace

std::string SMSIniString(std::string_view section, std::string_view key, std::string_view def, size_t maxLen) {
  return ReadProfile(SMSIniGetProfileString, section, key, def, maxLen);
}

std::string MMSCIniString(std::string_view section, std::string_view key, std::string_view def, size_t maxLen) {
  return ReadProfile(MMSCIniGetProfileString, section, key, def, maxLen);
}

std::string SharedVolumeIniString(std::string_view section, std::string_view key, std::string_view def,
                                  size_t maxLen) {
  return ReadProfile(SharedVolumeIniGetProfileString, section, key, def, maxLen);
}

uint32_t SMSIniNumber(std::string_view section, std::string_view key, uint32_t def) {
  std::string value = SMSIniString(section, key, kMissing, 49);
  if (value == kMissing) return def;
  return ParseDecimal(value);
}

bool SMSIniFlag(std::string_view section, std::string_view key, bool def) {
  return ConfigBool(SMSIniString(section, key, def ? "Yes" : "No", 49));
}

bool MMSCIniFlag(std::string_view section, std::string_view key, bool def) {
  return ConfigBool(MMSCIniString(section, key, def ? "Yes" : "No", 49));
}

bool SMSIniWrite(std::string_view section, std::string_view key, std::string_view value) {
  std::string sec(section), k(key), v(value);
  return SMSIniWriteProfileString(sec.c_str(), k.c_str(), v.c_str()) != 0;
}

std::vector<std::pair<std::string, std::string>> SMSIniSection(std::string_view section) {
  return ReadSection(SMSIniGetProfileSection, section);
}

std::vector<std::pair<std::string, std::string>> MMSCIniSection(std::string_view section) {
  return ReadSection(MMSCIniGetProfileSection, section);
}

std::string ConnectionSetting(std::string_view section, std::string_view key, std::string_view def, size_t maxLen) {
  std::string own = SMSIniString(section, key, kMissing, maxLen);
  if (own != kMissing && !own.empty()) return own;
  return SMSIniString(kMainSection, key, def, maxLen);
}

std::string ProgramDataDirectory() { return Directory(GetProgramDataDirectory); }
std::string PrivateDataDirectory() { return Directory(GetPrivateDataDirectory); }
std::string LogDirectory() { return Directory(GetLogDirectory); }
std::string DebugLogDirectory() { return Directory(GetDebugLogDirectory); }
std::string MMSCLogDirectory() { return Directory(GetMMSCLogDirectory); }
std::string RealProgramDirectory() { return Directory(GetRealProgramDirectory); }

uint64_t WatchedChangeCount(const std::string& path) { return WatchedFileChangeCount(path.c_str()); }

bool ConfigurationChanged(ConfigurationStamp& stamp) {
  std::string path = ProgramDataDirectory() + "QARHUB.INI";
  // Asked on every request: while the watch saw no change the file is not looked at.
  uint64_t changeCount = WatchedFileChangeCount(path.c_str());
  if (changeCount != 0 && changeCount == stamp.changeCount) return false;
  struct stat st;
  ConfigurationStamp now;
  now.changeCount = changeCount;
  if (stat(path.c_str(), &st) == 0) {
    now.device = uint64_t(st.st_dev);
    now.inode = uint64_t(st.st_ino);
    now.size = uint64_t(st.st_size);
    now.seconds = st.st_mtim.tv_sec;
    now.nanoseconds = st.st_mtim.tv_nsec;
    now.valid = true;
  }
  // File times are coarse: a change in the same tick as an earlier one keeps its time.
  bool recent = now.valid && time(nullptr) - now.seconds < 2;
  bool changed = !now.valid || !stamp.valid || recent || now.device != stamp.device || now.inode != stamp.inode ||
                 now.size != stamp.size || now.seconds != stamp.seconds || now.nanoseconds != stamp.nanoseconds;
  stamp = now;
  return changed;
}
