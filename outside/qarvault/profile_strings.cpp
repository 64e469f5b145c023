// The C interface of the INI files.
#include <optional>

#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/file_watch.h"
#include "outside/qarvault/ini_file.h"
#include "outside/qarvault/qarvault.h"

namespace {

// A null section lists the section names, a null key the key names, as the profile
// functions of the platform this interface comes from do.
uint32_t GetProfileString(const std::string& path, const char* section, const char* key,
                          const char* def, char* buf, uint32_t size) {
  if (section == nullptr) return CopyMultiString(IniSectionNames(path), buf, size);
  if (key == nullptr) return CopyMultiString(IniKeyNames(path, section), buf, size);
  return CopyToBuffer(IniGetString(path, section, key, TextOrEmpty(def)), buf, size);
}

int WriteProfileString(const std::string& path, const char* section, const char* key,
                       const char* value) {
  if (section == nullptr) return 0;
  std::optional<std::string_view> k, v;
  if (key != nullptr) k = key;
  if (value != nullptr) v = value;
  return IniWriteString(path, section, k, v) ? 1 : 0;
}

uint32_t GetProfileSection(const std::string& path, const char* section, char* buf,
                           uint32_t size) {
  if (section == nullptr) return CopyMultiString({}, buf, size);
  return CopyMultiString(IniSectionLines(path, section), buf, size);
}

}  // namespace

extern "C" {

uint64_t WatchedFileChangeCount(const char* path) { return path ? FileChangeCount(path) : 0; }

void SMSIniSetFilename(const char* path) { SetSMSIniPath(TextOrEmpty(path)); }
void MMSCIniSetFilename(const char* path) { SetMMSCIniPath(TextOrEmpty(path)); }

uint32_t SMSIniGetProfileString(const char* section, const char* key, const char* def, char* buf,
                                uint32_t size) {
  return GetProfileString(SMSIniPath(), section, key, def, buf, size);
}

uint32_t MMSCIniGetProfileString(const char* section, const char* key, const char* def,
                                 char* buf, uint32_t size) {
  return GetProfileString(MMSCIniPath(), section, key, def, buf, size);
}

uint32_t SharedVolumeIniGetProfileString(const char* section, const char* key, const char* def,
                                         char* buf, uint32_t size) {
  return GetProfileString(SharedVolumeIniPath(), section, key, def, buf, size);
}

int SMSIniWriteProfileString(const char* section, const char* key, const char* value) {
  return WriteProfileString(SMSIniPath(), section, key, value);
}

int MMSCIniWriteProfileString(const char* section, const char* key, const char* value) {
  return WriteProfileString(MMSCIniPath(), section, key, value);
}

uint32_t SMSIniGetProfileSection(const char* section, char* buf, uint32_t size) {
  return GetProfileSection(SMSIniPath(), section, buf, size);
}

uint32_t MMSCIniGetProfileSection(const char* section, char* buf, uint32_t size) {
  return GetProfileSection(MMSCIniPath(), section, buf, size);
}

}  // extern "C"
