// Field codecs of the UCP 5x operations: addresses, the alphanumeric originator, the
// extra-services list (XSer) and the GSM default alphabet of MT 3 texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ucp {

// The 33 fields of operations 51 to 53, in order.
enum Field5x {
  kAdC, kOAdC, kAC, kNRq, kNAdC, kNT, kNPID, kLRq, kLRAd, kLPID, kDD, kDDT, kVP, kRPID, kSCTS, kDst, kRsn,
  kDSCTS, kMT, kNB, kMsg, kMMS, kPR, kDCs, kMCLs, kRPI, kCPg, kRPLy, kOTOA, kHPLMN, kXSer, kRES4, kRES5,
  kField5xCount
};
// Operation 60: OAdC, OTON, ONPI, STYP, PWD, NPWD, VERS, LAdC, LTON, LNPI, OPID, RES1.
inline constexpr size_t kField60Count = 12;
inline constexpr size_t kField60Password = 4;
inline constexpr size_t kField60NewPassword = 5;
// Operation 31: AdC, PID.
inline constexpr size_t kField31Count = 2;

inline constexpr size_t kMaxAddressDigits = 16;
inline constexpr size_t kMaxAlphanumericSeptets = 11;

// UTF-8 text as GSM default-alphabet codes (one octet each, extension characters as 1B xx).
// False when a character is not in the alphabet.
bool TextToGsmCodes(std::string_view utf8, std::string& codes);
// Codes back to UTF-8; false when an octet is above 0x7F.
bool GsmCodesToText(std::string_view codes, std::string& utf8);

// OAdC for OTOA 5039: the number of useful semi-octets in two hex digits, then the packed
// septets in hex. False when the text is not GSM or longer than 11 septets.
bool EncodeAlphanumericAddress(std::string_view utf8, std::string& field);
bool DecodeAlphanumericAddress(std::string_view field, std::string& utf8);

struct XSerItem {
  uint8_t type = 0;
  std::string data;  // octets
};
void AppendXSer(std::string& field, uint8_t type, std::string_view octets);
// False for anything but whole "TT LL DD.." items in hex.
bool ParseXSer(std::string_view field, std::vector<XSerItem>& items);

// Octets from hex text of even length; false otherwise.
bool HexToOctets(std::string_view hex, std::string& octets);

}  // namespace ucp
