// INI files with profile-string semantics: sections and keys without case, the first
// occurrence wins, blanks around keys and values ignored, a value in matching single or
// double quotes read without them, ";" starts a comment line.
// Reads come from a parsed copy cached per file; writes replace the file atomically.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The files bound by SMSIniSetFilename / MMSCIniSetFilename, else the program data
// directory + "QARHUB.INI" / "MMSC.INI"; and program data + "SHARED.INI".
std::string SMSIniPath();
std::string MMSCIniPath();
std::string SharedVolumeIniPath();
void SetSMSIniPath(std::string_view path);
void SetMMSCIniPath(std::string_view path);

// The value of key in section, or def when the section or key is missing.
std::string IniGetString(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view def);
std::optional<std::string> IniFindString(const std::string& path, std::string_view section,
                                         std::string_view key);
// The lines of a section: "key=value" (trimmed) for key lines, other lines as they are.
std::vector<std::string> IniSectionLines(const std::string& path, std::string_view section);
std::vector<std::string> IniSectionNames(const std::string& path);
std::vector<std::string> IniKeyNames(const std::string& path, std::string_view section);

// Sets key=value in section (added at the end of the section, the section added at the
// end of the file); no value deletes the key, no key deletes the section. Every other
// line stays as it was. False for a value, key or section that cannot be written as one
// line, or when the file cannot be replaced.
bool IniWriteString(const std::string& path, std::string_view section,
                    std::optional<std::string_view> key, std::optional<std::string_view> value);
