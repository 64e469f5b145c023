#include "admin/admin_responses.h"

#include <cerrno>

#include "httpclient/socket_io.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"

bool SendRaw(WebConnection& c, std::string_view text) { return SendData(c.socket, c.ssl, text); }

bool SendNoCache(WebConnection& c, std::string_view contentType, std::string_view body) {
  std::string text = "HTTP/1.0 200 OK\r\nContent-Type: " + std::string(contentType) + "\r\n" +
                     std::string(kNoCacheHeaders) + "\r\n";
  text.append(body);
  return SendRaw(c, text);
}

bool SendWithLength(WebConnection& c, std::string_view contentType, std::string_view body) {
  std::string text = StrPrintf("HTTP/1.0 200 OK\r\nContent-Type: %.*s\r\nContent-Length: %zu\r\n\r\n",
                               static_cast<int>(contentType.size()), contentType.data(), body.size());
  text.append(body);
  if (SendRaw(c, text)) return true;
  int error = errno;
  WriteDebugLogf("SendAFile", "Error %08X (%u) sending response", static_cast<unsigned>(error), static_cast<unsigned>(error));
  return false;
}

void SendAdminForbidden(WebConnection& c) {
  // The address is ours (the peer's), never request text; HTML-safe as it is.
  SendRaw(c, StrPrintf("HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\n\r\n<HTML><HEAD><TITLE>\r\n"
                       "Connection not allowed\r\n</TITLE></HEAD><BODY>\r\nERROR:  Connection not allowed from %s.\r\n"
                       "</BODY></HTML>\r\n",
                       c.clientAddress.c_str()));
}

void SendAdminUnauthorized(WebConnection& c, std::string_view realm) {
  SendRaw(c, StrPrintf("HTTP/1.0 401 Auth Required\r\nWWW-Authenticate: Basic realm=\"%.*s\"\r\n\r\n",
                       static_cast<int>(realm.size()), realm.data()));
}
