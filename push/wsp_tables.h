// The well-known values of WSP: content types by code and character sets by IANA MIBenum,
// one table each for the encoders and the decoders.
#pragma once

#include <cstdint>
#include <span>

// Index = the well-known code (0x00..).
std::span<const char* const> WspContentTypeNames();

struct WspCharset {
  const char* name;
  uint32_t number;  // IANA MIBenum
};
// The preferred name of a number comes first; aliases follow it.
std::span<const WspCharset> WspCharsets();
