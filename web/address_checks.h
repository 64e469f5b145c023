// Client address checks: address patterns, the IP restriction lists, the administration
// list and the local-address test.
#pragma once

#include <string_view>

// A pattern is a dotted quad of up to four parts, each 0..255 or "*"; missing trailing
// parts count as 0. An invalid pattern matches nothing.
bool MatchAddressPattern(std::string_view pattern, std::string_view address);
// "127.0.0.1" always passes; a Blocked match refuses; else an empty Allowed list or an
// Allowed match passes.
bool IPRestrictionAllows(std::string_view address);
// True when an entry of list (patterns separated by "," and ";", leading spaces ignored)
// matches the address.
bool AddressListMatches(std::string_view list, std::string_view address);
// True when AdminIPAddressList is empty or one of its entries (split at "," and ";")
// matches the address.
bool AdminAddressAllowed(std::string_view address);
// True for "127.0.0.1" and any of the first 100 addresses of the host's own name.
bool IsLocalAddress(std::string_view address);
