// "config get|set SECTION KEY [VALUE]": keys of the settings registry only, values checked
// as provisioning checks them, written through qarvault.
#pragma once

#include <string>

// The value (the registry's default when the file has none); false with error for an
// unknown key or section.
bool ConfigGet(const std::string& section, const std::string& key, std::string& value, std::string& error);
bool ConfigSet(const std::string& section, const std::string& key, const std::string& value, std::string& error);
