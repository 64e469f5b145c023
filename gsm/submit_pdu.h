// SMS-SUBMIT PDUs as the modem send path hands them to "AT+CMGS", and the user data header
// layouts the submission and segmentation code writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr unsigned kSubmitReplyPath = 1;
inline constexpr unsigned kSubmitStatusReport = 2;
inline constexpr size_t kMaxUserDataOctets = 140;
inline constexpr size_t kMaxUserDataSeptets = 160;
inline constexpr size_t kMaxAddressDigits = 20;

struct SubmitPduRequest {
  std::string destination;
  std::string smsc;              // "" gives the "00" SMSC field
  uint8_t pid = 0;
  uint8_t dcs = 0;
  std::string userData;          // UTF-8 text, or hex (header included when present)
  bool headerPresent = false;
  unsigned optionBits = 0;       // kSubmitReplyPath | kSubmitStatusReport
  bool userDataIsText = true;
  std::string validity;          // "2d", "12h", "30m"; anything else: none
  bool noSmscField = false;
  bool zeroMessageReference = false;  // TestZeroMR
  // For hex user data in 7 bits: the septet count when the caller knows it (header and fill
  // included). 0 derives it from the octet count, which cannot tell a final "@" from padding.
  size_t septetCount = 0;
};

struct SubmitPdu {
  std::string hex;              // upper case, SMSC field included
  int tpduLength = 0;           // octets after the SMSC field: the AT+CMGS= number
  uint8_t messageReference = 0;
};

// False with a reason in error (a permanent failure: retrying cannot help) when the
// destination is not a number, the SMSC number is not one, the hex is not hex, or the user
// data cannot fit one PDU.
bool BuildSubmitPdu(const SubmitPduRequest& request, SubmitPdu& out, std::string& error);

// Length in digits ("+" not counted), type 0x91 for "+", else 0x81, swapped BCD with F
// padding; "00" for an empty number.
std::string EncodeAddress(std::string_view number);
// An optional "+" followed by 1..20 digits.
bool IsDialableNumber(std::string_view number);
// True when the DCS selects the GSM 7-bit default alphabet.
bool IsSevenBitDcs(uint8_t dcs);
// True when the DCS selects UCS-2 (general coding groups, or the UCS-2 message-waiting group).
bool IsUcs2Dcs(uint8_t dcs);
// Relative validity octet for a validity text, or -1 when it sets no validity period.
int ValidityPeriodOctet(std::string_view text);

// Process-wide message reference: 1..255, never 0.
uint8_t NextMessageReference();
void SetMessageReferenceCounter(uint8_t last);

// User data header layouts, as hex text.
std::string ConcatUdh8(uint8_t reference, uint8_t total, uint8_t part);
std::string ConcatUdh16(uint16_t reference, uint8_t total, uint8_t part);
// ConcatRef16Bit chooses the layout; an 8-bit reference keeps the low octet.
std::string ConcatUdh(bool ref16Bit, uint16_t reference, uint8_t total, uint8_t part);
std::string PortUdh16(uint16_t destinationPort, uint16_t sourcePort);
inline constexpr std::string_view kWapPushUdh = "0605040B8423F0";
