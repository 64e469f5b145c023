#include "console/test_message.h"

#include "config/settings.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"
#include "store/unique_ids.h"
#include "submit/submission.h"

bool QueueTestMessage(const std::string& number, const std::string& text, std::string& report) {
  SettingsBlock loaded;
  LoadSettings(loaded);
  InstallSettings(loaded);
  ReloadStoreDirectories();
  Submission s;
  s.message.SubmittedBy = "qarconsole";
  s.message.Data = text;
  s.contentIsText = true;
  s.recipients = {number};
  SubmissionResult r = SubmitMessage(std::move(s));
  // What the gateway would write back at its end: the id counter, the logs and counters.
  SaveUniqueId();
  WriteBackCounters();
  LogsClose();
  CountersClose();
  if (r.status != SubmissionStatus::Accepted) {
    report = "Test message not queued: " + r.error;
    return false;
  }
  if (r.recipients.empty() || r.recipients[0].messageIds.empty()) {
    report = "Test message not queued: " +
             (r.recipients.empty() || r.recipients[0].error.empty() ? std::string("not written") : r.recipients[0].error);
    return false;
  }
  report = "Test message queued for " + r.recipients[0].recipient + ", message id " + r.recipients[0].messageIds[0];
  return true;
}
