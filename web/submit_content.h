// Turns the content of a submission into the message parts that are written: one part, or
// the segments of a long text, a long Unicode text or long binary data, each with its own
// concatenation header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SubmitContent {
  std::string data;    // UTF-8 text, or hexadecimal when binary
  std::string udh;     // hexadecimal
  uint8_t pid = 0;
  uint8_t dcs = 0;
  bool binary = false;
};

struct MessagePart {
  std::string data;
  std::string udh;        // the whole header of a part that is not a segment
  std::string udhKept;    // segments: the header elements (hex) kept beside the concatenation element
  bool segment = false;
  unsigned number = 0;    // 1-based
  unsigned total = 0;
  uint8_t pid = 0;
  uint8_t dcs = 0;
  bool binary = false;
};

inline constexpr unsigned kMaxSegments = 100;
inline constexpr size_t kOnePartContentMax = 1023;

// The Unicode DCS rule: below 0x50 or above 0xBF bit 0x08 is set, otherwise 0x08.
uint8_t UnicodeDcs(uint8_t dcs);
// Checks a user data header: even hex digits, and a length octet that matches.
bool ValidUdh(const std::string& udh);
// The parts of the content (already validated). Empty with error set when the content
// cannot be written (a one-part content longer than kOnePartContentMax).
std::vector<MessagePart> BuildMessageParts(const SubmitContent& content, std::string& error);
// The header of a part for a concatenation reference.
std::string PartUdh(const MessagePart& part, unsigned reference);
// A text packed after a header of udhOctets octets, or as UCS-2 when it needs Unicode.
void PackTextAfterUdh(SubmitContent& content);
