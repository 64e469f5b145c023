// URL and form parameters of a request: the query of the request line, and for a form
// POST (application/x-www-form-urlencoded) its body.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/web_connection.h"

// The decoded value ("+" as space) of the first parameter named name (without case), cut
// to maxLen; nullopt when absent.
std::optional<std::string> RequestParameter(const WebRequest& request, std::string_view name, size_t maxLen);
