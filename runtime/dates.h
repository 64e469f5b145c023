// Text forms of dates used in logs, mail and HTTP.
#pragma once

#include <ctime>
#include <string>

std::string FormatRfc822Date();                 // "Mon, 7 Dec 2026 22:36:45 +0100"
std::string FormatRfc822Date(time_t t);
std::string FormatGmtDate(time_t utcTime);      // "Mon, 07 Dec 2026 21:36:45 GMT"
std::string FormatLongDate();                   // "December 7, 2026"
std::string FormatLongDate(time_t t);
std::string FormatShortTime();                  // "22:36"
std::string FormatShortTime(time_t t);
std::string FormatTimestamp14();                // "20261207223645"
std::string FormatTimestamp14(time_t t);
