// Long messages that a client has split itself: the concatenation reference it chose is
// replaced by one of the gateway's, the same for every segment of one message (keyed by
// account, recipient, reference and count), so that messages of different clients or
// submissions to one recipient never share a reference.
#pragma once

#include <string>

// The concatenation element of a header (hex): false when there is none.
struct ConcatElement {
  size_t offset = 0;  // of the reference digits in the hex text
  bool reference16 = false;
  unsigned reference = 0, count = 0, number = 0;
};
bool FindConcatElement(const std::string& udhHex, ConcatElement& out);

// Rewrites the reference of the header's concatenation element with the gateway's own for
// the message; the header is left as it is without such an element.
void RemapSegmentReference(const std::string& user, const std::string& recipient, std::string& udhHex);
