// Reading HTTP request and response text: header end, header lookups, chunked framing,
// and the escapes used on paths and pages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Offset just past the header: the first LF followed by CR LF or by LF. 0 while the
// header is not complete.
size_t HttpHeaderLength(std::string_view text);

// The value of a header; name includes its colon ("Content-Length:"). Matches only at the
// start of a line of the header, without case; the value starts after spaces and ends at
// the first control byte (with stopAtSpace also at a space); cut to maxLen.
std::optional<std::string> HttpHeaderValue(std::string_view header, std::string_view name, size_t maxLen,
                                           bool stopAtSpace = false);
// The number after the protocol token of a status line beginning "HTTP/"; 0 when none.
unsigned HttpStatusCode(std::string_view header);
// Content-Length as a 64-bit number (0 when absent; UINT64_MAX when it overflows).
uint64_t HttpContentLength(std::string_view header);
bool HttpIsChunked(std::string_view header);
// User and password of "Authorization: Basic" (value up to 250 characters, split at the
// first colon). False when there is no such header.
bool HttpBasicCredentials(std::string_view header, std::string& user, std::string& password);

enum class ChunkState { Incomplete, Complete, Malformed, TooLarge };
// Where a check of a growing body stopped, so that the next check goes on from there.
struct ChunkScan {
  size_t position = 0;  // start of the first chunk not yet complete
  uint64_t total = 0;   // data bytes of the complete chunks before it
};
// Checks the chunk chain in body (the bytes after the header) without reading past its
// end. On Complete, consumed is the length of the chunked body including its end. The
// sum of the chunk sizes may not exceed limit. With resume, complete chunks already
// checked are not read again.
ChunkState HttpChunkComplete(std::string_view body, uint64_t limit, size_t& consumed, bool logErrors = true,
                             ChunkScan* resume = nullptr);
// Removes the chunk framing from text after headerLength; bytes after the last chunk are
// dropped. Returns the new length.
size_t HttpChunkStrip(std::string& text, size_t headerLength);

// The URL form of a value in a request line: every byte except "$'()-./0-9:=@A-Z[]^_`a-z{|}~"
// becomes "%" and two upper-case hexadecimal digits (control bytes, DEL and bytes of 0x80
// and above always), so that a value can neither end the request line nor add a parameter.
std::string UrlEscape(std::string_view value);
// %XX escapes decoded ("+" left as it is).
std::string PercentDecode(std::string_view text);
// The double quote, <, > and & as entities, so that a value cannot add markup.
std::string HtmlEscape(std::string_view text);
