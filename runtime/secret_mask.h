// Passwords and credentials hidden from log text.
#pragma once

#include <string>
#include <string_view>

// The text with every secret replaced by "****": the value of an "Authorization:" header
// (also "Proxy-Authorization:"; its scheme word is kept), the password (or, without a
// colon, the whole user part) of a URL's "user:password@", and the values of parameters
// whose names end in "Password=" or "PW=" (any case). A value ends at "&", a quote, "<",
// ">", a space or a control byte; a header value at the end of its line.
std::string MaskSecrets(std::string_view text);
