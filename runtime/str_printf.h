// printf-style formatting into std::string (the compiler has no std::format yet).
#pragma once

#include <cstdarg>
#include <string>

std::string StrPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string StrVPrintf(const char* fmt, va_list ap);
