// Text in the CIMD2 character set: the GSM default alphabet and its extension table, with
// printable ASCII written as itself and every other character as its three-character
// special combination ("_a\"" for a-umlaut, "_XX" before an extension character).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cimd {

// Strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF) into code points.
bool DecodeUtf8(std::string_view utf8, std::u32string& out);

// UTF-8 text as a user data value. False when the text is not valid UTF-8 or holds a
// character the set cannot carry. septets: the length on the air (extension characters
// count two).
bool EncodeText(std::string_view utf8, std::string& out, size_t& septets);

// A user data value back to UTF-8. Lenient: an unknown combination stays as it is, a byte
// above 0x7F is read as Latin-1.
std::string DecodeText(std::string_view value);

}  // namespace cimd
