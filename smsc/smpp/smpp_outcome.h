// SMPP statuses as the queue pass sees them: each submit_sm status classed into an outcome.
#pragma once

#include <string>
#include <string_view>

#include "smsc/queue_pass.h"

// 0 done; a status in the connection's SMPPRejectErrorCodes, or an invalid address (0x0A,
// 0x0B, 0x66), rejected; 0x58 throttled, and 0x14 too with ThrottleForQFull, else busy; a
// lost or broken link (the library's -1, -3) link lost; anything else retried.
SubmitOutcome SmppOutcome(int status, bool throttleForQFull, std::string_view rejectList);
// The outcome under the connection's SMPPRejectErrorCodes (its section, else [QARHUB]'s),
// read only for a failure.
SubmitOutcome SmppOutcomeFor(std::string_view connection, int status, bool throttleForQFull);
