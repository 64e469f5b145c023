// The HTTP submission: a request carrying Phone, PhoneNumber or ReceiptMessageId is read
// into a submission for SubmitMessage, and its result answered as a page.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "submit/submission.h"
#include "web/web_connection.h"

// Answers the submission (success page or error page). Always true.
bool HandleSubmission(WebConnection& c, WebRequest& request);
// Start-up: registers the submission handler, the multipart rewriter and the address-book
// and distribution-list handlers with the web dispatch.
void RegisterSubmissionHandlers();
// The success page (SUBMITOK.HTM) with one @@SubmitInfo@@ line per entry of lines.
void SendSubmitOkPage(WebConnection& c, const std::string& continueUrl, const std::vector<std::string>& lines);

// Pieces exposed for tests.
// "%04d%02d%02d%02d%02d" from a free-form local time, "" when no year is found.
std::string DelayKey(std::string_view value);
