// Parameters of a message submission, and multipart form bodies rewritten into parameter
// text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/request_parameters.h"
#include "web/web_connection.h"

// Submission code reads its parameters through the request's one lookup.
inline std::optional<std::string> SubmitParameter(const WebRequest& request, std::string_view name, size_t maxLen) {
  return RequestParameter(request, name, maxLen);
}
inline std::string SubmitParameterOr(const WebRequest& request, std::string_view name, size_t maxLen,
                                     std::string_view fallback = {}) {
  return RequestParameterOr(request, name, maxLen, fallback);
}
inline bool SubmitFlag(const WebRequest& request, std::string_view name) { return RequestFlag(request, name); }
inline std::vector<std::pair<std::string, std::string>> AllSubmitParameters(const WebRequest& request, size_t maxLen) {
  return AllRequestParameters(request, maxLen);
}

// Rewrites a multipart/form-data request: file parts are saved in TEMP of the private data
// directory under new unique names (kept in request.uploads, so removed with the request),
// and the body becomes the parameter text "name=value&..." (file parts give the saved
// name). The Content-Type becomes application/x-www-form-urlencoded. False when the body
// is not a multipart form.
bool ParseMultipart(WebRequest& request);
// The saved upload a parameter names, only when it was uploaded with this request.
std::string UploadedFilePath(const WebRequest& request, std::string_view value);
// The client's own file name of that upload ("" when not uploaded with this request).
std::string UploadedFileClientName(const WebRequest& request, std::string_view value);
