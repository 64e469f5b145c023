// Parameters of a message submission: lookup in the request line and the body, the list
// of all parameters, and multipart form bodies rewritten into parameter text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/web_connection.h"

// The first occurrence of "name=" (without case): in the request line after "/", "\", "?"
// or "&", else in the body at its start or after "?" or "&". The value ends at "&" or "?"
// (in the request line also at a space), "%XX" and "+" are decoded, trailing spaces and
// control bytes removed, and it is cut to maxLen bytes (at a UTF-8 character boundary).
// An empty value counts as absent.
std::optional<std::string> SubmitParameter(const WebRequest& request, std::string_view name, size_t maxLen);
std::string SubmitParameterOr(const WebRequest& request, std::string_view name, size_t maxLen,
                              std::string_view fallback = {});
bool SubmitFlag(const WebRequest& request, std::string_view name);
// Every "name=value" pair of the query and the body, in order, decoded.
std::vector<std::pair<std::string, std::string>> AllSubmitParameters(const WebRequest& request, size_t maxLen);

// Rewrites a multipart/form-data request: file parts are saved in TEMP of the private data
// directory under new unique names (kept in uploads), and the body becomes the parameter
// text "name=value&..." (file parts give the saved name). The Content-Type becomes
// application/x-www-form-urlencoded. False when the body is not a multipart form.
bool ParseMultipart(WebRequest& request, std::vector<std::string>& uploads);
// Files saved by ParseMultipart on this thread and not yet removed; RemoveUploads deletes them.
std::vector<std::string>& ThreadUploads();
void RemoveUploads();
// The saved upload a parameter names, only when it was uploaded with this request.
std::string UploadedFilePath(std::string_view value);
// Cuts text to at most maxLen bytes without splitting a UTF-8 character.
std::string CutUtf8(std::string_view text, size_t maxLen);
