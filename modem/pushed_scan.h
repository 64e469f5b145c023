// Finding a message the modem pushed into a reply ("+CMT:", "+CDS:") and whether all of it
// has arrived.
#pragma once

#include <cstddef>
#include <string_view>

enum class PushedShape {
  None,        // no pushed message
  Incomplete,  // its rest is still to come
  Malformed,   // can never be complete: its header line is dropped
  Pdu,         // "+CMT:" or "+CDS:" in PDU form
  TextCmt,     // "+CMT:" in text form
  TextCds,     // "+CDS:" in text form
};

// A length claimed beyond this is no PDU a modem hands over.
inline constexpr size_t kMaxPushedPduOctets = 1024;

struct PushedScan {
  PushedShape shape = PushedShape::None;
  bool statusReport = false;     // "+CDS:"
  size_t begin = 0;              // of "+CMT:" or "+CDS:"
  size_t end = 0;                // just past the message and its line end
  std::string_view pdu;          // Pdu: the hex line
  std::string_view sender;       // TextCmt: first field, at most 49 characters
  std::string_view text;         // TextCmt: the line after the header, at most 499 characters
};

// The first pushed message at or after from.
PushedScan ScanPushed(std::string_view buffer, size_t from = 0);
