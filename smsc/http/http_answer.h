// What an HTTP SMS centre's answer means: the status and the configured success and
// failure texts give the outcome; the message id follows MessageIDResponsePrefix.
#pragma once

#include <string>
#include <string_view>

#include "smsc/http/http_settings.h"
#include "smsc/queue_pass.h"

// The answer of one request, as read (header and de-chunked body).
struct HttpSmscAnswer {
  unsigned status = 0;
  std::string_view header, body;
  // With UseKeepAlive: whether the server keeps the connection (HTTP/1.1 without
  // "Connection: close", HTTP/1.0 with "Connection: Keep-Alive").
  bool keepsConnection = false;
};
HttpSmscAnswer ReadHttpSmscAnswer(std::string_view raw);

// The outcome: Done (with the id after the prefix), Retry for a status outside 200-299,
// Rejected for a failure text, or a missing success text.
SubmitResult JudgeHttpSmscAnswer(const HttpSmscSettings& s, const HttpSmscAnswer& answer);

// The id after prefix in body: spaces skipped, then the bytes above space up to "<" or ">",
// at most 149, without trailing ".", "," and ";". Empty when the prefix is empty or absent.
std::string MessageIdAfterPrefix(std::string_view body, std::string_view prefix);
