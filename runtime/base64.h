// Base64 as HTTP Basic authentication uses it.
#pragma once

#include <string>
#include <string_view>

std::string Base64Encode(std::string_view bytes);
// Decodes until the first byte outside the alphabet or "="; never fails.
std::string Base64Decode(std::string_view text);
