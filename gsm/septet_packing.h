// Packing GSM septets 8 into 7 octets (least significant bits first) as hexadecimal text.
// The fill state (0..6) is the number of user-data octets in front of the text (the header
// with its length octet) modulo 7; (7 - fill) % 7 zero bits precede the first septet.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr size_t kMaxDecodedSeptets = 8192;

// Appends the packed septets to hexOut as upper-case hex.
void PackSeptetsToHex(std::string_view septets, size_t count, std::string& hexOut, int fillState);
// Unpacks up to maxSeptets septets (0 = no limit) into septets (replaced); returns the count.
size_t UnpackHexSeptets(std::string_view hex, std::string& septets, size_t maxSeptets, int fillState);
// Exactly count septets from binary octets (fewer when the octets run out), for user data
// whose septet count is known; no spare-septet rule.
std::string UnpackSeptets(std::string_view octets, size_t count, int fillState);
std::string DecodeHexSeptetsToLocal(std::string_view hex, int fillState);
std::string DecodeHexSeptetsToUtf8(std::string_view hex, int fillState);
