// What the inbound side reads from a received message's user data header, and the names of
// the segment files it keeps while a long message is incomplete.
#pragma once

#include <string>
#include <string_view>

// Destination port (element 0x05) and concatenation (0x00 with an 8-bit reference, 0x08
// with a 16-bit one). A concatenation whose count or number is 0, or whose number is above
// its count, is no concatenation.
struct UdhFacts {
  int destinationPort = -1;
  bool concatenated = false;
  unsigned reference = 0, total = 0, number = 0;
  std::string otherElementsHex;  // the header without the concatenation element, "" when none remain
};
UdhFacts ReadUdh(std::string_view udhHex);

// "<sender>-<reference %x>-<count>-<number>.SAR": "-" in the sender becomes "_", and so
// does every character a path or the name's own parsing could not carry ("/", "\", control
// bytes, "?*:|"); "." or ".." as a whole sender too.
std::string SarFileName(std::string_view sender, unsigned reference, unsigned total, unsigned number);
struct SarName {
  std::string sender;
  unsigned reference = 0, total = 0, number = 0;
};
// False when name is not of that form (or its numbers are out of range).
bool ParseSarFileName(std::string_view name, SarName& out);
