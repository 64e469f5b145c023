#include "gsm/septet_packing.h"

#include <cstdint>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"

void PackSeptetsToHex(std::string_view septets, size_t count, std::string& hexOut, int fillState) {
  if (count > septets.size()) count = septets.size();
  int state = ((fillState % 7) + 7) % 7;
  unsigned carry = 0;
  bool pending = false;
  size_t i = 0;
  while (i < count) {
    unsigned x = static_cast<uint8_t>(septets[i++]) & 0x7F;
    if (state == 0) {
      if (i >= count) {
        AppendHexOctet(hexOut, static_cast<uint8_t>(x));
        pending = false;
        break;
      }
      unsigned s1 = static_cast<uint8_t>(septets[i++]) & 0x7F;
      AppendHexOctet(hexOut, static_cast<uint8_t>((s1 << 7 | x) & 0xFF));
      carry = s1 >> 1;
      pending = true;
      state = 1;
      continue;
    }
    AppendHexOctet(hexOut, static_cast<uint8_t>((carry | x << (7 - state)) & 0xFF));
    if (state == 6) {
      carry = 0;
      pending = false;
    } else {
      carry = x >> (state + 1);
      pending = true;
    }
    state = (state + 1) % 7;
  }
  if (pending) AppendHexOctet(hexOut, static_cast<uint8_t>(carry));
}

size_t UnpackHexSeptets(std::string_view hex, std::string& septets, size_t maxSeptets, int fillState) {
  septets.clear();
  int state = ((fillState % 7) + 7) % 7;
  unsigned carry = 0;
  bool first = true;
  bool lastWasSpare = false;  // the last septet came from the top 7 bits of an octet
  auto room = [&] { return maxSeptets == 0 || septets.size() < maxSeptets; };
  while (hex.size() >= 1 && room()) {
    unsigned octet = HexOctet(hex);
    const bool skipFirstEmit = first && state != 0;
    first = false;
    lastWasSpare = false;
    if (state == 0) {
      septets += static_cast<char>(octet & 0x7F);
      carry = octet >> 7;
    } else if (state < 6) {
      if (!skipFirstEmit) septets += static_cast<char>(carry + ((octet << state) & 0x7F));
      carry = octet >> (7 - state);
    } else {
      if (!skipFirstEmit) septets += static_cast<char>(carry + ((octet << 6) & 0x7F));
      if (room()) {
        septets += static_cast<char>(octet >> 1);
        lastWasSpare = true;
      }
      carry = 0;
    }
    state = (state + 1) % 7;
  }
  // A final octet with 7 spare bits reads as one more septet 0x00 ("@"). It is dropped; a
  // real "@" in that position is lost with it, which stored messages and peers rely on.
  if (state == 0 && lastWasSpare && septets.back() == 0) septets.pop_back();
  return septets.size();
}

std::string DecodeHexSeptetsToLocal(std::string_view hex, int fillState) {
  std::string septets;
  size_t count = UnpackHexSeptets(hex, septets, kMaxDecodedSeptets, fillState);
  return GsmDecodeToLocal(septets, count);
}

std::string DecodeHexSeptetsToUtf8(std::string_view hex, int fillState) {
  std::string septets;
  size_t count = UnpackHexSeptets(hex, septets, kMaxDecodedSeptets, fillState);
  return GsmDecodeToUtf8(septets, count);
}

std::string UnpackSeptets(std::string_view octets, size_t count, int fillState) {
  const unsigned fillBits = static_cast<unsigned>((7 - ((fillState % 7) + 7) % 7) % 7);
  std::string septets;
  for (size_t k = 0; k < count; ++k) {
    const size_t bit = fillBits + k * 7;
    const size_t index = bit / 8;
    if (index >= octets.size()) break;
    unsigned value = static_cast<uint8_t>(octets[index]);
    if (index + 1 < octets.size()) value |= static_cast<unsigned>(static_cast<uint8_t>(octets[index + 1])) << 8;
    septets += static_cast<char>((value >> (bit % 8)) & 0x7F);
  }
  return septets;
}
