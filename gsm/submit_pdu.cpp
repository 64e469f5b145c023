#include "gsm/submit_pdu.h"

#include <algorithm>
#include <atomic>
#include <cctype>

#include "gsm/gsm_alphabet.h"
#include "runtime/hex_text.h"
#include "gsm/septet_packing.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {

std::atomic<uint8_t> gMessageReference{0};

constexpr int kMaxRelativeDays = 30;

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

uint8_t NextMessageReference() {
  uint8_t current = gMessageReference.load();
  uint8_t next;
  do {
    next = static_cast<uint8_t>(current + 1);
    if (next == 0) next = 1;
  } while (!gMessageReference.compare_exchange_weak(current, next));
  return next;
}

void SetMessageReferenceCounter(uint8_t last) { gMessageReference.store(last); }

bool IsDialableNumber(std::string_view number) {
  if (!number.empty() && number[0] == '+') number.remove_prefix(1);
  return AllDigits(number) && number.size() <= kMaxAddressDigits;
}

std::string EncodeAddress(std::string_view number) {
  if (number.empty()) return "00";
  uint8_t type = 0x81;
  if (number[0] == '+') {
    type = 0x91;
    number.remove_prefix(1);
  }
  std::string out;
  AppendHexOctet(out, static_cast<uint8_t>(number.size()));
  AppendHexOctet(out, type);
  for (size_t i = 0; i < number.size(); i += 2) {
    if (i + 1 < number.size()) out += number[i + 1];
    else out += 'F';
    out += number[i];
  }
  return out;
}

bool IsUcs2Dcs(uint8_t dcs) { return (dcs <= 0x7F && (dcs & 0x0C) == 0x08) || (dcs & 0xF0) == 0xE0; }

bool IsSevenBitDcs(uint8_t dcs) {
  if (dcs <= 0x3F) {
    const unsigned alphabet = (dcs >> 2) & 3;
    return alphabet == 0 || alphabet == 3;
  }
  if (dcs >= 0xF0) return (dcs & 0x04) == 0;
  return dcs >= 0xC0 && dcs <= 0xDF;
}

int ValidityPeriodOctet(std::string_view text) {
  while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 1000000000) value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (i == 0 || value == 0 || i >= text.size()) return -1;
  char unit = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
  // Each formula is used only inside its range; longer periods move to the next coarser
  // step, rounded up, and the longest is the relative format's 30 days.
  if (unit == 'm') {
    if (value <= 715) return static_cast<int>((value + 4) / 5);
    value = (value + 59) / 60;
    unit = 'h';
  }
  if (unit == 'h') {
    if (value < 12) return static_cast<int>((value * 60 + 4) / 5);
    if (value <= 24) return static_cast<int>((value - 12) * 2 + 143);
    value = (value + 23) / 24;
    unit = 'd';
  }
  if (unit == 'd') {
    return static_cast<int>(std::min<uint64_t>(value, kMaxRelativeDays) + 166);
  }
  return -1;
}

bool BuildSubmitPdu(const SubmitPduRequest& request, SubmitPdu& out, std::string& error) {
  out = SubmitPdu{};
  if (!IsDialableNumber(request.destination)) {
    error = StrPrintf("Invalid destination number \"%s\": only digits with an optional leading + are allowed",
                      request.destination.substr(0, 40).c_str());
    return false;
  }
  if (!request.noSmscField && !request.smsc.empty() && !IsDialableNumber(request.smsc)) {
    error = StrPrintf("Invalid SMSC number \"%s\"", request.smsc.substr(0, 40).c_str());
    return false;
  }

  const bool sevenBit = IsSevenBitDcs(request.dcs);
  std::string userData;
  size_t userDataLength = 0;
  if (request.userDataIsText && request.headerPresent) {
    error = "A user data header needs the user data as hexadecimal text";
    return false;
  }
  if (request.userDataIsText && sevenBit) {
    std::string septets;
    size_t count = Utf8ToGsm(request.userData, septets, 500);
    if (count > kMaxUserDataSeptets) {
      error = StrPrintf("Message text needs %zu septets, more than %zu fit one SMS",
                        GsmSeptetCount(request.userData), kMaxUserDataSeptets);
      return false;
    }
    PackSeptetsToHex(septets, count, userData, 0);
    userDataLength = count;
  } else if (request.userDataIsText) {
    if (IsUcs2Dcs(request.dcs)) {
      // UCS-2 alphabet: the text goes as UTF-16 big-endian units.
      userData = Utf8ToUcs2Hex(request.userData);
    } else {
      userData = HexEncode(request.userData);
    }
    userDataLength = userData.size() / 2;
    if (userDataLength > kMaxUserDataOctets) {
      error = StrPrintf("User data of %zu octets, more than %zu fit one SMS", userDataLength, kMaxUserDataOctets);
      return false;
    }
  } else {
    if (!IsHexText(request.userData)) {
      error = "User data is not hexadecimal text";
      return false;
    }
    userData = ToUpper(request.userData);
    size_t octets = userData.size() / 2;
    bool headerOnly = false;
    if (request.headerPresent) {
      std::string_view cursor = userData;
      const size_t headerOctets = octets == 0 ? 1 : static_cast<size_t>(HexOctet(cursor)) + 1;
      if (headerOctets > octets) {
        error = "User data header is longer than the user data";
        return false;
      }
      headerOnly = octets == headerOctets;
      if (sevenBit && headerOnly && octets % 7 >= 2 && request.septetCount == 0) {
        userData += "00";
        ++octets;
      }
    }
    if (octets > kMaxUserDataOctets) {
      error = StrPrintf("User data of %zu octets, more than %zu fit one SMS", octets, kMaxUserDataOctets);
      return false;
    }
    if (!sevenBit) {
      userDataLength = octets;
    } else if (request.septetCount != 0) {
      if ((request.septetCount * 7 + 7) / 8 != octets) {
        error = StrPrintf("%zu septets do not take %zu octets", request.septetCount, octets);
        return false;
      }
      userDataLength = request.septetCount;
    } else {
      userDataLength = octets * 8 / 7;
      const uint8_t last = octets ? static_cast<uint8_t>(HexToInt(userData.substr(userData.size() - 2))) : 0;
      if (!headerOnly && userDataLength != 0 && userDataLength % 8 == 0 && last <= 1) --userDataLength;
    }
  }

  std::string pdu;
  if (!request.noSmscField) {
    if (request.smsc.empty()) {
      pdu = "00";
    } else {
      std::string smsc = EncodeAddress(request.smsc);
      AppendHexOctet(pdu, static_cast<uint8_t>(smsc.size() / 2 - 1));
      pdu += smsc.substr(2);
    }
  }
  const size_t tpduStart = pdu.size();
  const int validity = ValidityPeriodOctet(request.validity);
  uint8_t first = 0x01;
  if (request.headerPresent) first |= 0x40;
  if (request.optionBits & kSubmitStatusReport) first |= 0x20;
  if (validity >= 0) first |= 0x10;
  if (request.optionBits & kSubmitReplyPath) first |= 0x80;
  AppendHexOctet(pdu, first);
  out.messageReference = request.zeroMessageReference ? 0 : NextMessageReference();
  AppendHexOctet(pdu, out.messageReference);
  pdu += EncodeAddress(request.destination);
  AppendHexOctet(pdu, request.pid);
  AppendHexOctet(pdu, request.dcs);
  if (validity >= 0) AppendHexOctet(pdu, static_cast<uint8_t>(validity));
  AppendHexOctet(pdu, static_cast<uint8_t>(userDataLength));
  pdu += userData;
  out.tpduLength = static_cast<int>((pdu.size() - tpduStart) / 2);
  out.hex = std::move(pdu);
  return true;
}

std::string ConcatUdh8(uint8_t reference, uint8_t total, uint8_t part) {
  return StrPrintf("050003%02X%02X%02X", reference, total, part);
}

std::string ConcatUdh16(uint16_t reference, uint8_t total, uint8_t part) {
  return StrPrintf("060804%04X%02X%02X", reference, total, part);
}

std::string ConcatUdh(bool ref16Bit, uint16_t reference, uint8_t total, uint8_t part) {
  return ref16Bit ? ConcatUdh16(reference, total, part)
                  : ConcatUdh8(static_cast<uint8_t>(reference & 0xFF), total, part);
}

std::string PortUdh16(uint16_t destinationPort, uint16_t sourcePort) {
  return StrPrintf("060504%04X%04X", destinationPort, sourcePort);
}
