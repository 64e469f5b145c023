#include "smsc/smpp/smpp_outcome.h"

#include "config/settings_registry.h"
#include "outside/qarpeer/qarpeer.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"
#include "smsc/route_decision.h"

namespace {

constexpr int kStatusQueueFull = 0x14;
constexpr int kStatusThrottled = 0x58;

// "All" leaves out the library's own link errors and the statuses that only ask to wait.
bool CoveredByAll(int status) {
  if (status >= SMPP_ERROR_PROTOCOL && status <= SMPP_ERROR_LINK) return false;
  return status != kStatusQueueFull && status != kStatusThrottled;
}

}  // namespace

SubmitOutcome SmppOutcome(int status, bool throttleForQFull, std::string_view rejectList) {
  if (status == 0) return SubmitOutcome::Done;
  if (StatusInList(rejectList, status, true, CoveredByAll)) return SubmitOutcome::Rejected;
  switch (status) {
    case kStatusThrottled: return SubmitOutcome::Throttled;
    case kStatusQueueFull: return throttleForQFull ? SubmitOutcome::Throttled : SubmitOutcome::Busy;
    case 0x0A: case 0x0B: case 0x66: return SubmitOutcome::Rejected;  // invalid source or destination address
    case SMPP_ERROR_LINK: case SMPP_ERROR_PROTOCOL: return SubmitOutcome::LinkLost;
    default: return SubmitOutcome::Retry;
  }
}

SubmitOutcome SmppOutcomeFor(std::string_view connection, int status, bool throttleForQFull) {
  if (status == 0) return SubmitOutcome::Done;
  return SmppOutcome(status, throttleForQFull,
                     ConnectionOrMainValue(ConnectionSectionName(connection), "SMPPRejectErrorCodes"));
}
