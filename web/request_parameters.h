// URL and form parameters of a request: the one lookup that dispatch, login, submission
// and the list pages share.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/web_connection.h"

// The first occurrence of "name=" (without case): in the request line after "/", "\", "?"
// or "&", else in the body, whatever its type, at its start or after "?" or "&". The value
// ends at "&" or "?" (in the request line also at a space), "%XX" and "+" are decoded,
// trailing spaces and control bytes removed, and it is cut to maxLen bytes (at a UTF-8
// character boundary). An empty value counts as absent.
std::optional<std::string> RequestParameter(const WebRequest& request, std::string_view name, size_t maxLen);
std::string RequestParameterOr(const WebRequest& request, std::string_view name, size_t maxLen,
                               std::string_view fallback = {});
bool RequestFlag(const WebRequest& request, std::string_view name);
// Every "name=value" pair of the query and the body, in order, decoded.
std::vector<std::pair<std::string, std::string>> AllRequestParameters(const WebRequest& request, size_t maxLen);
// Cuts text to at most maxLen bytes without splitting a UTF-8 character.
std::string CutUtf8(std::string_view text, size_t maxLen);
