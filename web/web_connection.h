// One client connection of the web listener and the request it is answering.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct WebConnection {
  int socket = -1;
  void* ssl = nullptr;          // TLS session, null for a plain connection
  std::string clientAddress;    // dotted text
  uint16_t clientPort = 0;
  std::string pipeline;         // bytes read past the end of the previous request
  bool keepAlive = true;
  bool http11 = false;
  bool browser = false;         // User-agent contains "Mozilla"
  // Set by authentication for the current request.
  std::string user;             // the given user name ("" when none)
  std::string forcedSender;
  uint8_t webOptions = 0;
  std::string path;             // up to 1,024 characters
  bool isPost = false;
};

// Files saved from a request's multipart body: removed when the request ends, whatever
// handled it.
struct RequestUploads {
  std::vector<std::string> paths;
  std::vector<std::string> clientNames;  // the client's file name of each, as sent
  RequestUploads() = default;
  RequestUploads(const RequestUploads&) = delete;
  RequestUploads& operator=(const RequestUploads&) = delete;
  ~RequestUploads() {
    for (const std::string& path : paths) unlink(path.c_str());
  }
};

struct WebRequest {
  std::string text;             // header and (de-chunked) body
  size_t headerLength = 0;
  RequestUploads uploads;
  std::string_view Header() const { return std::string_view(text).substr(0, headerLength); }
  std::string_view Body() const { return std::string_view(text).substr(headerLength); }
};

// A handler answers the request on the connection and returns true, or returns false
// when it leaves the request unanswered. It may switch keepAlive off.
using WebHandler = std::function<bool(WebConnection&, WebRequest&)>;
