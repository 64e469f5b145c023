// Framing of every web response: version, status, connection header, length.
#pragma once

#include <string>
#include <string_view>

#include "web/web_connection.h"

// "HTTP/1.1" when the request was HTTP/1.1, else "HTTP/1.0".
const char* ResponseVersion(const WebConnection& c);
// "Connection: Keep-Alive\r\n" or "Connection: close\r\n".
const char* ConnectionHeaderLine(const WebConnection& c);
// Version, status, connection line, extraHeaders (each ended by CR LF), Content-Length and
// the empty line in one send, then the body in a second.
bool SendResponse(WebConnection& c, std::string_view status, std::string_view extraHeaders, std::string_view body);

void SendRedirectToSsl(WebConnection& c, std::string_view hostHeader, uint16_t sslPort, bool admin);
void SendForbidden(WebConnection& c, std::string_view reason);
void SendUnauthorized(WebConnection& c, std::string_view realm);
void SendNotFound(WebConnection& c);
// The error page: "200 OK" for browsers, errorStatus otherwise; title, text and detail
// are inserted HTML-escaped.
void SendErrorPage(WebConnection& c, std::string_view errorStatus, std::string_view title, std::string_view text,
                   std::string_view detail = {});
