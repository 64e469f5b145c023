// UTF-8 <-> UCS-2 <-> GSM 7-bit default alphabet (with its extension table), and the
// decision whether a text can travel in 7 bits. No national shift tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Working size of every UTF-8 decode, in code units including the terminator.
inline constexpr size_t kUcs2BufferUnits = 8192;
inline constexpr size_t kGsmSeptetCountLimit = 16383;
inline constexpr uint8_t kGsmEscape = 0x1B;

// The four constant tables: septet -> Windows-1252, extension code -> Windows-1252,
// code point U+0000..U+00FF -> septet (0x1B: see the extension table), and -> extension code.
extern const std::array<uint8_t, 128> kGsmDefaultToCp1252;
extern const std::array<uint8_t, 128> kGsmExtensionToCp1252;
extern const std::array<uint8_t, 256> kGsmReverseDefault;
extern const std::array<uint8_t, 256> kGsmReverseExtension;

// Lenient decode: one character per lead byte, continuation bytes unchecked; a sequence cut
// by the end of the text (or a value above U+10FFFF) becomes '-'. Characters above U+FFFF
// become surrogate pairs. At most capacity - 1 units are produced (a pair is never split).
std::u16string Utf8ToUcs2(std::string_view utf8, size_t capacity = kUcs2BufferUnits);
// Surrogate pairs become four-byte UTF-8, a lone surrogate U+FFFD. Writing stops as soon as
// fewer than 8 bytes of a buffer of bufferSize bytes would remain (the terminator counted),
// so the text is cut at a character boundary.
std::string Ucs2ToUtf8(std::u16string_view units, size_t bufferSize = SIZE_MAX);
// UCS-2 user data: the text as big-endian UTF-16 units in hex, and big-endian units back to
// UTF-8 (an odd last octet is ignored).
std::string Utf8ToUcs2Hex(std::string_view utf8);
std::string Ucs2OctetsToUtf8(std::string_view octets);
// One code point as UTF-8 (up to four bytes; nothing is checked).
void AppendUtf8(std::string& out, uint32_t cp);
// Number of UTF-16 code units the text takes as UCS-2 user data (emoji count two).
size_t Ucs2UnitCount(std::string_view utf8);

// Septets (one per byte, 0x1B 0xNN for extension characters) for the text. maxSeptets 0
// means no limit; a character that would not fit completely stops the conversion before it.
// Returns the number of septets written to out (which is replaced).
size_t Utf8ToGsm(std::string_view utf8, std::string& out, size_t maxSeptets);
// Septets the text needs (counting stops at 16,383).
size_t GsmSeptetCount(std::string_view utf8);

// Septets -> Windows-1252 or UTF-8. A byte above 0x7F is skipped; 0x1B takes the next code
// through the extension table ('-' when it has no character or is the last septet).
std::string GsmDecodeToLocal(std::string_view septets, size_t count);
std::string GsmDecodeToUtf8(std::string_view septets, size_t count);

// 0 when the text survives the 7-bit round trip unchanged, 1 when it must go as UCS-2.
int UTF8StringRequiresUnicodeEncoding(std::string_view utf8);
// Greek capitals with a Latin twin become the Latin letter. The text is rewritten only when
// something was replaced; bufferSize bounds the rewritten text as Ucs2ToUtf8 does.
void ReplaceGreekLookalikes(std::string& utf8, size_t bufferSize = SIZE_MAX);
