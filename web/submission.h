// The message submission interface: a request carrying Phone, PhoneNumber or
// ReceiptMessageId becomes message files in the outbound (or inbound) queue.
#pragma once

#include <string>
#include <string_view>

#include "web/web_connection.h"

// Answers the submission (success page or error page). Always true.
bool HandleSubmission(WebConnection& c, WebRequest& request);
// Start-up: registers the submission handler, the multipart rewriter and the address-book
// and distribution-list handlers with the web dispatch.
void RegisterSubmissionHandlers();
// Called after an inbound file was written (start-up installs the inbound wake-up).
void SetInboundWakeHook(void (*wake)());

// Pieces exposed for tests.
// "%04d%02d%02d%02d%02d" from a free-form local time, "" when no year is found.
std::string DelayKey(std::string_view value);
// The text of an injected delivery receipt.
std::string ReceiptText(std::string_view storedId, bool delivered, bool intransit, time_t submitted, time_t now);
