// Cutting a long message into the segments of a concatenated SMS, and the concatenation
// header that each segment carries. Content is hexadecimal text, as message files hold it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr unsigned kMaxSegments = 100;

// The concatenation element takes 5 octets with an 8-bit reference, 6 with a 16-bit one.
inline size_t ConcatElementOctets(bool reference16) { return reference16 ? 6 : 5; }
// The Unicode DCS rule: below 0x50 or above 0xBF bit 0x08 is set, otherwise 0x08.
uint8_t UnicodeDcs(uint8_t dcs);
// A user data header: even hex digits, and a length octet that matches.
bool ValidUdh(std::string_view udh);
// Septet runs of at most size septets (at most kMaxSegments of them; the rest is dropped),
// never ending inside an escape pair.
std::vector<std::string> SplitSeptets(const std::string& septets, size_t size);
// The segments of a GSM text as packed septets: 153 septets each (152 with a 16-bit
// reference) with the fill bits of the header, or with altLongText 152 each after a
// carriage return and without fill bits.
std::vector<std::string> GsmTextSegmentData(std::string_view utf8, bool reference16, bool altLongText);
// The segments of a text that needs Unicode as UCS-2, 67 characters each (66 with a 16-bit
// reference), a surrogate pair never split.
std::vector<std::string> Ucs2SegmentData(std::string_view utf8, bool reference16);

// Binary content cut to 140 octets a segment, header included. The elements of the given
// header other than concatenation ones are kept: in the first segment, or in every one
// with repeatKept. A DCS of 0 means packed 7-bit text, repacked after each segment's header.
struct BinarySegments {
  std::string keptHex;            // the kept header elements
  std::vector<std::string> data;  // per segment
  bool repeatKept = false;
  bool KeptIn(size_t index) const { return index == 0 || repeatKept; }
};
BinarySegments SplitBinaryContent(std::string_view udhHex, std::string_view dataHex, uint8_t dcs, bool reference16,
                                  bool repeatKept);

// The whole header of segment number (1-based) of total: length octet, concatenation
// element, then the kept elements.
std::string ConcatenationUdh(unsigned reference, unsigned total, unsigned number, bool reference16,
                             std::string_view keptHex);
