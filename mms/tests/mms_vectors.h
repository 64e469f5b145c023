// MMS PDUs written by hand from the encapsulation tables, for the tests and the fuzz seeds.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Octets.
std::string Bytes(std::initializer_list<int> octets);
// A NUL-terminated text.
std::string Txt(std::string_view text);
// A value-length prefix (short or 31 + uintvar) followed by value.
std::string WithLength(std::string_view value);
// A uintvar.
std::string Uintvar(uint32_t value);
// One multipart entry: headers (content type first) and data.
std::string Entry(std::string_view headers, std::string_view data);

// An m-retrieve-conf with three parts (SMIL, a named JPEG, a text with a Content-ID and an
// application header), two To fields, a utf-8 Subject and a date.
std::string RetrieveConfThreeParts();
// A content server's (or WAP gateway's) HTTP/1.1 200 answer carrying message.
std::string MmsHttpAnswer(const std::string& message);
// The header lines ParseInboundMMS writes for it, with "ID" standing for the message id.
std::string RetrieveConfThreePartsHeader();
// An m-notification-ind with its Content-location, size, expiry and class.
std::string NotificationInd();
