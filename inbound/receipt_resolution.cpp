#include "inbound/receipt_resolution.h"

#include <algorithm>

#include "accounting/accounting.h"
#include "config/settings.h"
#include "inbound/inbound_files.h"
#include "inbound/inbound_processing.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "smsc/local_routing.h"
#include "store/counters.h"
#include "store/message_logs.h"

namespace {
constexpr uint32_t kLastTry = 3;  // a file with more tries than this is processed unresolved

// The file's own "[ErrorDetail]" line starts the retry section.
size_t RetrySectionStart(std::string_view text) {
  constexpr std::string_view kHeader = "[ErrorDetail]";
  for (size_t from = 0;;) {
    size_t end = FindNoCase(text.substr(from), kHeader);
    if (end == std::string_view::npos) return std::string_view::npos;
    size_t at = from + end - kHeader.size();
    if (at == 0 || text[at - 1] == '\n') return at;
    from = at + 1;
  }
}

// The kept copies of a receipt go where the receive path's own would.
bool HandOver(const SmsMessageRecord& m, const InboundFileFacts& f, const InboundResult& r) {
  if (!r.complete) return false;
  if (r.copy == InboundCopy::None) return true;
  const char* user = r.copy == InboundCopy::Bad ? "~SMSIN::BAD" : "~SMSIN::SMS";
  return DeliverToLocalUser(m, user, f.name, m.ModemName);
}
}  // namespace

ReceiptStep ReceiptStepAt(uint32_t retryCount, time_t lastRetry, time_t now) {
  if (retryCount == 0) return ReceiptStep::Resolve;
  // The try at count n comes n minutes after the one before, the fourth too.
  if (now - lastRetry < time_t(retryCount) * 60) return ReceiptStep::Wait;
  return retryCount > kLastTry ? ReceiptStep::LastTry : ReceiptStep::Resolve;
}

time_t ReceiptDueAt(uint32_t retryCount, time_t lastRetry) {
  if (retryCount == 0) return 0;
  return lastRetry + time_t(retryCount) * 60;
}

std::string ReceiptRetryText(std::string_view text, uint32_t retryCount, std::string_view timestamp14) {
  size_t cut = RetrySectionStart(text);
  std::string out(cut == std::string_view::npos ? text : text.substr(0, cut));
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  out += "[ErrorDetail]\r\n";
  out += "RetryCount=" + std::to_string(retryCount + 1) + "\r\n";
  out += "LastRetryTime=" + std::string(timestamp14) + "\r\n";
  return out;
}

bool ProcessReceiptFile(const std::string& path, time_t* nextDue) {
  time_t unused = 0;
  if (nextDue == nullptr) nextDue = &unused;
  InboundFileFacts facts;
  ClaimedFile file;
  if (!ClaimInboundFile(path, file, facts)) return false;
  SmsMessageRecord m;
  ParseSMSMessage(facts.text, m);
  m.RouteName = ConnectionRouteName(m.ModemName);
  time_t lastRetry = m.LastRetryTime.absent() ? 0 : LocalCalendarToSeconds(m.LastRetryTime);
  time_t now = NowSeconds();
  ReceiptStep step = ReceiptStepAt(m.RetryCount, lastRetry, now);
  if (step == ReceiptStep::Wait) {
    *nextDue = ReceiptDueAt(m.RetryCount, lastRetry);
    ReleaseClaim(file);
    return false;
  }
  WriteDebugLogf("ProcessInboundReceipts", "Processing %s...", path.c_str());
  std::string centreId = m.ReceiptMessageId;
  bool resolved = centreId.empty();
  if (!resolved) {
    char messageId[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {};
    char sender[SMSC_MSGID_FIELD_SIZE] = {}, recipient[SMSC_MSGID_FIELD_SIZE] = {};
    int64_t submitted = 0;
    if (SMSCMessageIdGet2(m.ModemName.c_str(), centreId.c_str(), messageId, user, sender, recipient, &submitted) != 0 &&
        messageId[0]) {
      resolved = true;
      m.ReceiptMessageId = StripControlBytes(messageId);
      if (user[0]) m.RouteToLocalUser = StripControlBytes(user);
      // The report goes from the handset to the submitter: the number it was sent from is
      // the report's recipient.
      if (sender[0]) m.PhoneNumber = StripControlBytes(sender);
      if (!m.Binary) m.Data = ReportTextWithId(m.Data, m.ReceiptMessageId);
    } else {
      WriteDebugLogf("ProcessInboundReceipts", "Receipt message id = %s not in database for %s", centreId.c_str(),
                     m.ModemName.c_str());
    }
  }
  if (!resolved && step != ReceiptStep::LastTry) {
    if (RewriteClaimedFile(file, ReceiptRetryText(facts.text, m.RetryCount, FormatTimestamp14(now)))) {
      *nextDue = std::max<time_t>(ReceiptDueAt(m.RetryCount + 1, now), now + 1);
    } else {
      WriteDebugLogf("ProcessInboundReceipts", "Cannot rewrite %s", path.c_str());
      *nextDue = now + 1;  // as before: tried again a second later
    }
    ReleaseClaim(file);
    return false;
  }
  LogInbound(m.Sender, m.ModemName, m.PhoneNumber, LogContentOf(m), m.ReceiptMessageId,
             resolved && centreId != m.ReceiptMessageId ? centreId : std::string());
  {
    SmsMessageRecord notice = m;
    notice.SubmitUser = m.ModemName;
    AccountingMessage a{"SMSIN", notice};
    AccountingNoticeFields fields;
    fields.recipient = m.PhoneNumber;
    fields.smscReceiptMessageId = m.ReceiptMessageId;
    fields.smscReceiptMessageIdOrig = centreId != m.ReceiptMessageId ? centreId : std::string();
    fields.smscName = m.ModemName;
    AccountingNotice(a, fields, nullptr);
  }
  InboundResult r = ProcessInboundMessage(m, facts, true);
  if (!HandOver(m, facts, r)) {
    WriteDebugLogf("ProcessInboundReceipts", "Processing incomplete %s...", path.c_str());
    *nextDue = now + 1;
    ReleaseClaim(file);
    return false;
  }
  if (!DeleteInboundFile(file)) return false;
  WriteDebugLogf("ProcessInboundReceipts", "Processing complete %s...", path.c_str());
  CounterSubtract(kSmsRcptQSize, 1);
  return true;
}
