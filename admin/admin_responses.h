// The raw answers of the administration area: status line and headers as given, the
// body, and the connection closed by the listener afterwards.
#pragma once

#include <string>
#include <string_view>

#include "web/web_connection.h"

inline constexpr std::string_view kHtmlHeader = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
inline constexpr std::string_view kNoCacheHeaders =
    "Expires: Tue, 01 Jan 1980 12:00 GMT\r\nCache-Control: max-age=0\r\nCache-Control: must-revalidate\r\n";

// Sends text as it is; false when the peer is gone.
bool SendRaw(WebConnection& c, std::string_view text);
// "HTTP/1.0 200 OK", the type, the no-cache lines, the empty line and body.
bool SendNoCache(WebConnection& c, std::string_view contentType, std::string_view body);
// "HTTP/1.0 200 OK", the type, Content-Length, the empty line and body.
bool SendWithLength(WebConnection& c, std::string_view contentType, std::string_view body);
// The 403 page of a refused address.
void SendAdminForbidden(WebConnection& c);
void SendAdminUnauthorized(WebConnection& c, std::string_view realm);
