// Whether a value may be written for a key of the registry: the form it is read in and its
// length. Used wherever an operator or a client sets a key (console, provisioning).
#pragma once

#include <string>
#include <string_view>

#include "config/settings_registry.h"

// Empty when value suits k, else why not (for the operator).
std::string CheckSettingValue(const SettingKey& k, std::string_view value);
