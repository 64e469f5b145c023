#include "outside/qarkite/ucp_fields.h"

#include "gsm/gsm_alphabet.h"
#include "gsm/septet_packing.h"
#include "runtime/hex_text.h"

namespace ucp {

bool TextToGsmCodes(std::string_view utf8, std::string& codes) {
  Utf8ToGsm(utf8, codes, 0);
  // The conversion puts a stand-in for what the alphabet lacks: only an exact round trip
  // proves every character made it.
  return GsmDecodeToUtf8(codes, codes.size()) == utf8;
}

bool GsmCodesToText(std::string_view codes, std::string& utf8) {
  for (unsigned char c : codes) {
    if (c > 0x7F) return false;
  }
  utf8 = GsmDecodeToUtf8(codes, codes.size());
  return true;
}

bool HexToOctets(std::string_view hex, std::string& octets) {
  if (!IsHexText(hex)) return false;
  octets = HexDecodeLeading(hex, hex.size() / 2);
  return true;
}

bool EncodeAlphanumericAddress(std::string_view utf8, std::string& field) {
  std::string septets;
  if (utf8.empty() || !TextToGsmCodes(utf8, septets) || septets.size() > kMaxAlphanumericSeptets) return false;
  field.clear();
  AppendHexOctet(field, uint8_t((septets.size() * 7 + 3) / 4));
  PackSeptetsToHex(septets, septets.size(), field, 0);
  return true;
}

bool DecodeAlphanumericAddress(std::string_view field, std::string& utf8) {
  std::string octets;
  if (field.size() < 4 || !HexToOctets(field, octets)) return false;
  size_t semiOctets = uint8_t(octets[0]);
  std::string packed = octets.substr(1);
  if ((semiOctets + 1) / 2 > packed.size() || packed.size() > 10) return false;
  std::string septets = UnpackSeptets(packed, semiOctets * 4 / 7, 0);
  return GsmCodesToText(septets, utf8);
}

void AppendXSer(std::string& field, uint8_t type, std::string_view octets) {
  AppendHexOctet(field, type);
  AppendHexOctet(field, uint8_t(octets.size()));
  field += HexEncode(octets);
}

bool ParseXSer(std::string_view field, std::vector<XSerItem>& items) {
  items.clear();
  std::string octets;
  if (!HexToOctets(field, octets)) return false;
  std::string_view rest = octets;
  while (!rest.empty()) {
    if (rest.size() < 2) return false;
    size_t length = uint8_t(rest[1]);
    if (rest.size() < 2 + length) return false;
    items.push_back({uint8_t(rest[0]), std::string(rest.substr(2, length))});
    rest.remove_prefix(2 + length);
  }
  return true;
}

}  // namespace ucp
