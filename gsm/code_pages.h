// Windows code pages (through iconv) and the character-set names and numbers of MIME, MMS
// and WAP headers. In-place conversions keep their result below bufferSize bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr unsigned kCodePageAnsi = 1252;

// iconv name of a Windows code page ("" when there is none).
std::string IconvNameForCodePage(unsigned codePage);

void Utf8ToCp1252(std::string& text, size_t bufferSize);
void Cp1252ToUtf8(std::string& text, size_t bufferSize);
void CodePageToUtf8(std::string& text, size_t bufferSize, unsigned codePage);
// UTF-8 -> code page; characters the code page lacks become '?'. For 1256 the Arabic-Indic
// digits become ASCII digits first. Returns false (logged) when the conversion failed; the
// text then keeps what was converted.
bool UTF8ToLocalString(std::string& text, size_t bufferSize, unsigned codePage);
int ContainsNonAscii(std::string_view text);
// Well-formed UTF-8: no stray or missing continuation bytes, overlong forms, surrogates or
// values above U+10FFFF.
bool IsValidUtf8(std::string_view text);
// Message text from a queue file, as UTF-8. Gateway writers store UTF-8; only a text that is
// not valid UTF-8 (dropped in by another program) is taken as Windows-1252.
void QueueTextToUtf8(std::string& text);

// IANA MIBenum -> name ("unknown" for numbers not in the table).
std::string CharsetNameForMib(unsigned mib);
// Charset name -> Windows code page, 0 when unknown.
unsigned CodePageForCharset(std::string_view name);
