#include "smsc/http/http_answer.h"

#include "httpclient/http_text.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
constexpr size_t kMaxMessageId = 149;

SubmitResult Failure(SubmitOutcome outcome, int status, std::string text) {
  SubmitResult r;
  r.outcome = outcome;
  r.status = status;
  r.errorText = std::move(text);
  return r;
}
}  // namespace

HttpSmscAnswer ReadHttpSmscAnswer(std::string_view raw) {
  HttpSmscAnswer a;
  size_t headerLength = HttpHeaderLength(raw);
  if (headerLength == 0) headerLength = raw.size();
  a.header = raw.substr(0, headerLength);
  a.body = raw.substr(headerLength);
  a.status = HttpStatusCode(a.header);
  std::string connection = HttpHeaderValue(a.header, "Connection:", 100).value_or("");
  if (StartsWithNoCase(a.header, "HTTP/1.0"))
    a.keepsConnection = StartsWithNoCase(connection, "Keep-Alive");
  else
    a.keepsConnection = StartsWithNoCase(a.header, "HTTP/1.1") && !StartsWithNoCase(connection, "close");
  return a;
}

std::string MessageIdAfterPrefix(std::string_view body, std::string_view prefix) {
  if (prefix.empty()) return "";
  size_t at = body.find(prefix);
  if (at == std::string_view::npos) return "";
  std::string_view rest = body.substr(at + prefix.size());
  size_t i = 0;
  while (i < rest.size() && rest[i] == ' ') ++i;
  std::string id;
  for (; i < rest.size() && id.size() < kMaxMessageId; ++i) {
    unsigned char c = static_cast<unsigned char>(rest[i]);
    if (c <= ' ' || c == '<' || c == '>') break;
    id += char(c);
  }
  while (!id.empty() && (id.back() == '.' || id.back() == ',' || id.back() == ';')) id.pop_back();
  return id;
}

SubmitResult JudgeHttpSmscAnswer(const HttpSmscSettings& s, const HttpSmscAnswer& a) {
  int status = int(a.status);
  if (a.status == 401) return Failure(SubmitOutcome::Retry, status, "HTTPSMSC:  Invalid user name or password");
  if (a.status == 403) {
    return Failure(SubmitOutcome::Retry, status,
                   "HTTPSMSC:  Connection denied.  Possible invalid user name or password, or connection not allowed "
                   "from this IP address.");
  }
  if (a.status < 200 || a.status > 299) {
    return Failure(SubmitOutcome::Retry, status,
                   StrPrintf("HTTPSMSC:  Connection failed, HTTP status code = %u.", a.status));
  }
  for (const std::string& text : s.parseFailure) {
    if (a.body.find(text) != std::string_view::npos) {
      return Failure(SubmitOutcome::Rejected, status, "HTTPSMSC:  Failure Response from SMSC");
    }
  }
  if (!s.parseSuccess.empty()) {
    bool found = false;
    for (const std::string& text : s.parseSuccess) found = found || a.body.find(text) != std::string_view::npos;
    if (!found) return Failure(SubmitOutcome::Rejected, status, "HTTPSMSC:  SMSC Response indicates Failure");
  }
  SubmitResult r;
  r.status = 0;
  r.smscMessageId = MessageIdAfterPrefix(a.body, s.messageIdPrefix);
  return r;
}
