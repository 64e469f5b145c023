// Reports whose message-centre id was not known when they arrived (".rct"): the id is
// looked up again after 1, 2, 3 and 4 minutes; a report found, or still unknown after the
// fourth try, is then processed like any received message.
#pragma once

#include <ctime>
#include <string>

#include "store/message_file.h"

enum class ReceiptStep {
  Wait,     // not due: the file stays as it is
  Resolve,  // look the id up now
  LastTry,  // look the id up a last time; still unknown, it is processed unresolved
};
// What to do with a file of retryCount tries, the last at lastRetry (seconds), at now.
ReceiptStep ReceiptStepAt(uint32_t retryCount, time_t lastRetry, time_t now);
// The first second at which ReceiptStepAt no longer answers Wait (0: at once).
time_t ReceiptDueAt(uint32_t retryCount, time_t lastRetry);

// The file's text with its retry section replaced: RetryCount = retryCount + 1 and
// LastRetryTime = timestamp14.
std::string ReceiptRetryText(std::string_view text, uint32_t retryCount, std::string_view timestamp14);

// One ".rct" file: true when it was processed and deleted. A file that stays sets *nextDue
// (when given) to the second it wants another look, unless another worker held it.
bool ProcessReceiptFile(const std::string& path, time_t* nextDue = nullptr);
