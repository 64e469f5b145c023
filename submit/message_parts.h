// Turns the content of a submission (Data, UDH, Pid, Dcs, Binary of its record) into the
// message parts that are written: one part, or the segments of a long text, a long Unicode
// text or long binary data, each with its own concatenation header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gsm/segmentation.h"
#include "store/message_file.h"

// One file's worth of a submission: the submission's record with this part's content
// (Data, Pid, Dcs, Binary; the whole UDH of a part that is not a segment).
struct MessagePart {
  SmsMessageRecord message;
  std::string udhKept;    // segments: the header elements (hex) kept beside the concatenation element
  bool segment = false;
  bool keptFirst = false; // segments: the kept elements before the concatenation element (push ports)
  unsigned number = 0;    // 1-based
  unsigned total = 0;
  // A segment its producer's client cut and referenced itself: its header is written as
  // given and its file named by this reference; -1: the writer chooses one.
  int givenReference = -1;
};

inline constexpr size_t kOnePartContentMax = 1023;

// The parts of the content (already validated). Empty with error set when the content
// cannot be written (a one-part content longer than kOnePartContentMax).
std::vector<MessagePart> BuildMessageParts(const SmsMessageRecord& content, std::string& error);
// The header of a part for a concatenation reference.
std::string PartUdh(const MessagePart& part, unsigned reference);
// A text packed after a header of udhOctets octets, or as UCS-2 when it needs Unicode.
void PackTextAfterUdh(SmsMessageRecord& content);
