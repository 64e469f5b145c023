#include "web/responses.h"

#include "runtime/str_printf.h"
#include "httpclient/http_text.h"
#include "httpclient/socket_io.h"

const char* ResponseVersion(const WebConnection& c) { return c.http11 ? "HTTP/1.1" : "HTTP/1.0"; }

const char* ConnectionHeaderLine(const WebConnection& c) {
  return c.keepAlive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
}

bool SendResponse(WebConnection& c, std::string_view status, std::string_view extraHeaders, std::string_view body) {
  std::string header = StrPrintf("%s %.*s\r\n%s", ResponseVersion(c), static_cast<int>(status.size()), status.data(),
                                 ConnectionHeaderLine(c));
  header.append(extraHeaders);
  header += StrPrintf("Content-Length: %zu\r\n\r\n", body.size());
  // One send for a small answer: one segment on the wire instead of two.
  if (body.size() <= 16384) {
    header.append(body);
    return SendData(c.socket, c.ssl, header);
  }
  if (!SendData(c.socket, c.ssl, header)) return false;
  return SendData(c.socket, c.ssl, body);
}

void SendRedirectToSsl(WebConnection& c, std::string_view hostHeader, uint16_t sslPort, bool admin) {
  std::string host(hostHeader.substr(0, hostHeader.find(':')));
  std::string location = "https://" + host;
  if (sslPort != 443) location += StrPrintf(":%u", sslPort);
  location += admin ? "/ADMIN" : "/";
  std::string text = StrPrintf("%s 302 Redirect\r\n%sContent-length: 0\r\nLocation: %s\r\n\r\n", ResponseVersion(c),
                               ConnectionHeaderLine(c), location.c_str());
  SendData(c.socket, c.ssl, text);
}

void SendForbidden(WebConnection& c, std::string_view reason) {
  std::string body = "<HTML><HEAD><TITLE>\r\nConnection not allowed\r\n</TITLE></HEAD><BODY>\r\n";
  body += HtmlEscape(reason);
  body += "\r\n</BODY></HTML>\r\n";
  SendResponse(c, "403 Forbidden", "Content-type: text/html\r\n", body);
}

void SendUnauthorized(WebConnection& c, std::string_view realm) {
  static constexpr const char* kLines[] = {
      "<HTML>", "<HEAD>", "<TITLE>Authorization failed</TITLE>", "</HEAD>", "<BODY>", "<PRE>",
      "Invalid username and password, or your web browser does not support authentication.",
      "</PRE>", "</BODY>", "</HTML>"};
  std::string body;
  for (const char* line : kLines) {
    body += line;
    body += "\r\n";
  }
  // The realm goes inside a quoted string: quotes and control bytes cannot appear there.
  std::string safeRealm;
  for (char ch : realm)
    if (ch != '"' && ch != '\\' && static_cast<unsigned char>(ch) >= 32) safeRealm += ch;
  std::string headers = "WWW-Authenticate: Basic realm=\"" + safeRealm + "\"\r\nContent-type: text/html\r\n";
  SendResponse(c, "401 Authorization Required", headers, body);
}

void SendNotFound(WebConnection& c) { SendResponse(c, "404 Not Found", "", ""); }

void SendErrorPage(WebConnection& c, std::string_view errorStatus, std::string_view title, std::string_view text,
                   std::string_view detail) {
  std::string body = "<HTML><HEAD><TITLE>\r\n" + HtmlEscape(title) + "\r\n</TITLE></HEAD><BODY><H1>\r\nError:  " +
                     HtmlEscape(text) + "\r\n</H1>\r\n" + HtmlEscape(detail) + "\r\n</BODY></HTML>\r\n";
  std::string_view status = c.browser ? std::string_view("200 OK") : errorStatus;
  SendResponse(c, status, "Content-type: text/html\r\nExpires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\n",
               body);
}
