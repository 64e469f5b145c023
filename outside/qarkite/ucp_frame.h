// UCP/EMI framing: STX TRN/LEN/O|R/OT/fields.../checksum ETX, cut out of a byte stream and
// checked (header, length, checksum) before anything reads a field.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ucp {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
// Longest content (between STX and ETX) taken from a peer; longer frames are dropped unread.
inline constexpr size_t kMaxFrameChars = 8192;

struct Frame {
  int trn = -1;       // 0..99
  char kind = 0;      // 'O' operation, 'R' result
  int ot = -1;        // operation type 00..99
  std::vector<std::string> fields;  // between OT and the checksum
};

enum class FrameFault {
  None,
  Header,    // TRN, LEN, O/R or OT unreadable: nothing can be answered
  Length,    // LEN differs from the frame
  Checksum,  // checksum missing or wrong
};

// Sum of the characters modulo 256, as two upper-case hex digits.
std::string Checksum(std::string_view text);
// The complete frame with STX and ETX. Fields must not hold "/", STX or ETX (callers encode).
std::string EncodeFrame(int trn, char kind, int ot, const std::vector<std::string>& fields);
// Decodes the content between STX and ETX. With a Length or Checksum fault trn, kind and ot
// are still filled (the peer can be told), fields are not.
FrameFault DecodeFrame(std::string_view content, Frame& out);

enum class Cut {
  NeedMore,  // no complete frame yet
  Frame,     // content holds one frame's content
  Dropped,   // dropped holds bytes outside a frame, a frame broken by a new STX, or a frame
             // longer than kMaxFrameChars (its rest is dropped as it arrives)
};
// Takes the next piece off the front of buffer.
Cut CutFrame(std::string& buffer, std::string& content, std::string& dropped);

// True when every character is an ASCII digit and the count is within [minCount, maxCount].
bool IsDigits(std::string_view text, size_t minCount, size_t maxCount);

}  // namespace ucp
