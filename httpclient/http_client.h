// The gateway's HTTP client: one GET with optional proxy, Basic credentials from the URL,
// TLS through SealCalls, caller-held keep-alive connections, redirects, and a response
// reader for Content-Length, chunked, 1xx, 204/304 and close-delimited answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char* kHttpUserAgent = "Qar SMS/MMS Gateway v2011.01.14";

// A connection kept by a caller between requests (socket -1 when empty). A slot must not be
// used by two threads at once.
struct KeepAliveSlot {
  int socket = -1;
  void* ssl = nullptr;
};
// Frees the session and closes the socket of a slot, leaving it empty.
void CloseKeepAliveSlot(KeepAliveSlot& slot);

struct HttpClientSettingsRecord {
  uint64_t MaxResponseBytes = 32u << 20;  // header and body of one answer
};
extern HttpClientSettingsRecord HttpClientSettings;

struct HttpResponse {
  std::string text;          // header and (de-chunked) body
  std::string contentType;   // Content-Type value, up to 100 characters
  size_t headerLength = 0;   // offset of the body
  size_t bodyLength = 0;
  std::string_view Body() const { return std::string_view(text).substr(headerLength); }
};

struct RetrieveOptions {
  std::string proxy{};             // "host:port"; empty: direct
  bool acceptErrorStatus = false;  // any numeric status is an answer, not only 2xx
  KeepAliveSlot* slot = nullptr;   // the caller's keep-alive connection; none: "Connection: close"
  uint32_t timeoutSeconds = 20;    // each step: name lookup, connect, TLS, the answer
  std::string* errorText = nullptr;  // the reason of a failure, when given
};

// Fetches url. Success: a 2xx status, or with acceptErrorStatus any numeric status; 3xx with
// a Location header is followed (at most 10 deep, without the slot).
bool RetrieveURL(std::string_view url, HttpResponse& response, const RetrieveOptions& options);

// Reads one answer from the connection; bytes held in response, or 0 on failure.
size_t HttpResponseWait(int socket, void* ssl, std::string& response, bool headerOnly, uint32_t timeoutSeconds);

// The URL cut at the first "/" after "://".
std::string UrlHostPart(std::string_view url);
