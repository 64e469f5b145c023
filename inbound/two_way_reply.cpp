#include "accounting/accounting.h"
#include "inbound/two_way_command.h"
#include "runtime/debug_log.h"
#include "submit/submission.h"

bool SendTwoWayReply(const SmsMessageRecord& m, std::string_view reply, std::string_view route,
                     std::string_view smppOptions) {
  Submission s;
  SmsMessageRecord& r = s.message;
  r.SubmittedBy = "Auto-response to " + m.Sender;
  r.SubmitUser = "localsystem-2way";
  r.Sender = m.PhoneNumber;
  r.Data = std::string(reply);
  // A receiving connection that sends nothing is no route for the reply: it goes as any
  // other message rather than not at all.
  if (!route.empty() && IsConfiguredRoute(route)) r.SMSCRoute = std::string(route);
  else if (!route.empty()) WriteDebugLogf("ProcessInboundSMS", "Reply route %.*s is not configured", int(route.size()), route.data());
  r.SMPPOptions = std::string(smppOptions);
  s.recipients = {m.Sender};
  s.contentIsText = true;
  SubmissionResult result = SubmitMessage(std::move(s));
  bool written = result.status == SubmissionStatus::Accepted && !result.recipients.empty() &&
                 !result.recipients[0].messageIds.empty() && result.recipients[0].error.empty();
  if (!written) {
    WriteDebugLogf("ProcessInboundSMS", "Reply to %s not queued: %s", m.Sender.c_str(),
                   (result.error.empty() && !result.recipients.empty() ? result.recipients[0].error : result.error).c_str());
  }
  return written;
}
