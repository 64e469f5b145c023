#include <atomic>
#include <functional>

#include "accounting/accounting.h"
#include "accounting/user_entries.h"
#include "runtime/debug_log.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "config/settings.h"
#include "store/bulk_queue.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/message_writer.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "store/unique_files.h"
#include "store/unique_ids.h"
#include "submit/submission_steps.h"

namespace {
std::atomic<void (*)()> InboundWake{nullptr};

using FileWritten = std::function<void(const std::string& path, const MessagePart& part, unsigned reference)>;

// One message file of a part for a recipient ("" in a bulk template) and a route (ModemName
// for inbound).
std::string FileText(const MessagePart& p, unsigned reference, const std::string& recipient, const std::string& route) {
  SmsMessageRecord m = p.message;
  m.UDH = PartUdh(p, reference);
  m.PhoneNumber = recipient;
  m.SMSCRoute = m.Inbound ? "" : route;
  m.ModemName = m.Inbound ? route : "";
  return MessageFileText(m, p.segment ? MessageLayout::SubmissionSegment : MessageLayout::Submission);
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

struct RecipientContext {
  const std::string& recipient;
  std::string route, charge, userData;
};

RecipientContext ContextOf(const Submission& s, const PreAuthOutputs& pre, size_t i) {
  auto at = [i](const std::vector<std::string>& v) { return i < v.size() ? v[i] : std::string(); };
  std::string route = at(pre.routes);
  return {s.recipients[i], route.empty() ? s.message.SMSCRoute : route, at(pre.charges), at(pre.userData)};
}

// The accounting callback's notice of a message on its way.
void NoticeSent(const Submission& s, const SmsMessageRecord& sent, const RecipientContext& r, const std::string& id) {
  if (s.message.SubmitUser.empty() || s.message.Inbound || Settings.SMSAccountingURL.empty()) return;
  AccountingMessage m{"SMSSend", sent};
  AccountingNoticeFields f;
  f.recipient = r.recipient;
  f.messageId = id;
  f.routeCharge = r.charge;
  f.userData = r.userData;
  AccountingNotice(m, f, nullptr);
}

// Logs, counters and the accounting notice of one file written.
void AfterFile(const Submission& s, std::string_view logType, const std::string& path, const RecipientContext& r,
               const MessagePart& p, unsigned reference, RecipientResult& result, WriteOutcome& out) {
  std::string name = FileName(path);
  std::string id = MessageIdFromPath(path);
  std::string type(logType);
  LogWeb(s.message.SubmittedBy, s.message.SubmitUser, name, type);
  if (!s.message.SubmitUser.empty()) {
    // The part with its header; the callback sees the requested route, not the recipient's.
    SmsMessageRecord sent = p.message;
    sent.UDH = PartUdh(p, reference);
    LogUser(s.message.SubmitUser, "SMSSubmit", r.recipient, s.message.SubmittedBy, name, type, LogContentOf(sent),
            s.message.Sender);
    NoticeSent(s, sent, r, id);
  }
  CounterAdd(kSmsSubmit, 1);
  if (!s.message.Inbound && !s.delayUntil) CounterAdd(kSmsQSize, 1);
  result.messageIds.push_back(std::move(id));
  ++out.files;
}

// Takes back the segments of a message that could not be written whole. A segment a
// sender has already claimed is on its way and stays.
void RemoveWrittenSegments(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    ClaimedFile file;
    if (ClaimQueueFile(path, file) && DeleteClaimedFile(file)) continue;
    WriteDebugLogf("Debug", "Cannot take back segment %s", path.c_str());
  }
}

// The files of one message for one recipient in dir: a one-part message under a unique
// name, segments under one concatenation reference with the segmented-message names.
// written(path, part, reference) follows each file created; returns how many were.
uint32_t WriteMessageFiles(const std::vector<MessagePart>& parts, const std::string& dir, std::string_view extension,
                           const std::string& recipient, const std::string& route, const FileWritten& written) {
  if (parts.size() == 1 && !parts[0].segment) {
    std::string path = CreateUniqueFile(dir, extension, FileText(parts[0], 0, recipient, route));
    if (path.empty()) {
      WriteDebugLogf("Debug", "Cannot create a message file for %s", recipient.c_str());
      return 0;
    }
    written(path, parts[0], 0);
    return 1;
  }
  if (!IsSafePathName(recipient)) return 0;
  unsigned reference = parts[0].givenReference >= 0
                           ? static_cast<unsigned>(parts[0].givenReference)
                           : ChooseConcatReference(dir, recipient, static_cast<unsigned>(parts.size()), extension);
  // All segments or none: a message missing a part would arrive garbled, and a client that
  // retries a refused submission would send the parts already queued twice.
  std::vector<std::string> paths;
  for (const MessagePart& p : parts) {
    std::string path = CreateSegmentFile(dir, recipient, reference, p.total, p.number, extension,
                                         FileText(p, reference, recipient, route));
    if (path.empty()) {
      WriteDebugLogf("Debug", "Cannot create segment %u of %s", p.number, recipient.c_str());
      RemoveWrittenSegments(paths);
      return 0;
    }
    paths.push_back(std::move(path));
  }
  for (size_t k = 0; k < parts.size(); ++k) written(paths[k], parts[k], reference);
  return static_cast<uint32_t>(paths.size());
}

void WriteFiles(const Submission& s, std::string_view logType, const std::vector<MessagePart>& parts,
                const PreAuthOutputs& pre, UserRuntimeEntry& entry, WriteOutcome& out) {
  std::string dir;
  for (size_t i = 0; i < s.recipients.size() && !ShutdownRequested.load(); ++i) {
    RecipientContext r = ContextOf(s, pre, i);
    auto written = [&](const std::string& path, const MessagePart& p, unsigned reference) {
      AfterFile(s, logType, path, r, p, reference, out.results[i], out);
    };
    if (s.message.Inbound) {
      out.written[i] = WriteMessageFiles(parts, InboundQueueDir(), "in", r.recipient, r.route,
                                         [&](const std::string& path, const MessagePart& p, unsigned reference) {
                                           CounterAdd(kSmsInQSize, 1);
                                           written(path, p, reference);
                                         });
      if (out.written[i] != 0)
        if (auto wake = InboundWake.load()) wake();
      continue;
    }
    uint32_t sequence = Settings.SeparateUserQueues ? entry.submissionCounter.fetch_add(1) : static_cast<uint32_t>(i);
    if (i == 0 || Settings.UseRouteQueues || sequence % Settings.MaxQDirEntries == 0 || dir.empty())
      dir = OutboundQueueDir(r.route, Settings.SeparateUserQueues ? s.message.SubmitUser : std::string(), sequence,
                             s.delayUntil);
    if (dir.empty()) continue;
    out.written[i] = WriteMessageFiles(parts, dir, "req", r.recipient, r.route, written);
  }
}

// One template per part and recipient lines, each recipient with its own message id.
void WriteBulkJob(const Submission& s, std::string_view logType, const std::vector<MessagePart>& parts,
                  const PreAuthOutputs& pre, WriteOutcome& out) {
  bool segmented = parts.size() > 1 || parts[0].segment;
  unsigned reference = segmented ? NextConcatReference() : 0;
  std::vector<std::string> templates;
  for (const MessagePart& p : parts) templates.push_back(FileText(p, reference, "", s.message.SMSCRoute));
  BulkJobWriter job;
  if (!BulkJobBegin(job, templates, s.delayUntil)) {
    WriteDebugLog("Debug", "Cannot create the bulk job");
    return;
  }
  std::vector<BulkRecipient> batch;
  std::vector<size_t> indexes;
  auto flush = [&] {
    if (batch.empty()) return;
    if (BulkJobAddRecipients(job, batch)) {
      for (size_t k = 0; k < batch.size(); ++k) {
        size_t i = indexes[k];
        out.written[i] = static_cast<uint32_t>(parts.size());
        std::string id = batch[k].targetName.substr(0, batch[k].targetName.rfind('.'));
        size_t ctr = id.find("@@CTR@@");
        if (ctr != std::string::npos) id = id.substr(0, ctr) + "1" + id.substr(ctr + 7);
        LogWeb(s.message.SubmittedBy, s.message.SubmitUser, id, std::string(logType));
        CounterAdd(kSmsSubmit, static_cast<uint32_t>(parts.size()));
        out.results[i].messageIds.push_back(std::move(id));
        out.files += static_cast<uint32_t>(parts.size());
      }
    }
    batch.clear();
    indexes.clear();
  };
  for (size_t i = 0; i < s.recipients.size() && !ShutdownRequested.load(); ++i) {
    const std::string& recipient = s.recipients[i];
    if (!IsSafePathName(recipient)) continue;
    BulkRecipient b;
    b.targetName = segmented ? BulkSegmentTargetName(recipient, reference, static_cast<unsigned>(parts.size()))
                             : BulkTargetName();
    b.recipient = recipient;
    b.route = ContextOf(s, pre, i).route;
    batch.push_back(std::move(b));
    indexes.push_back(i);
    if (batch.size() >= Settings.MaxQDirEntries) flush();
  }
  flush();
  BulkJobFinish(job);
}
}  // namespace

void SetInboundWakeHook(void (*wake)()) { InboundWake.store(wake); }

void WriteSubmissionFiles(const Submission& s, std::string_view logType, const std::vector<MessagePart>& parts,
                          const PreAuthOutputs& preAuth, WriteOutcome& out) {
  out.written.assign(s.recipients.size(), 0);
  out.results.clear();
  for (const std::string& r : s.recipients) out.results.push_back(RecipientResult{r, {}, {}});
  {
    UserEntryUse use(s.message.SubmitUser.empty() ? std::string(kSystemUserEntry) : s.message.SubmitUser);
    if (Settings.EnableBulkQ && !s.message.Inbound && s.recipients.size() > Settings.MaxQDirEntries)
      WriteBulkJob(s, logType, parts, preAuth, out);
    else
      WriteFiles(s, logType, parts, preAuth, use.entry(), out);
  }
  for (size_t i = 0; i < out.results.size(); ++i) {
    if (out.written[i] >= parts.size()) continue;
    out.results[i].error = out.written[i] == 0
                               ? std::string("Not written")
                               : StrPrintf("%u of %u parts written", out.written[i], static_cast<unsigned>(parts.size()));
  }
}

void SendDirect(const Submission& s, const PreAuthOutputs& preAuth, WriteOutcome& out) {
  out.directSent.assign(s.directRecipients.size(), false);
  for (size_t i = 0; i < s.directRecipients.size(); ++i) {
    RecipientResult r{s.directRecipients[i], {}, {}};
    out.directSent[i] = s.sendDirect && s.sendDirect(i, r);
    if (out.directSent[i]) {
      CounterAdd(kSmsSubmit, 1);
      size_t k = s.recipients.size() + i;
      auto at = [k](const std::vector<std::string>& v) { return k < v.size() ? v[k] : std::string(); };
      RecipientContext context{r.recipient, {}, at(preAuth.charges), at(preAuth.userData)};
      NoticeSent(s, s.message, context, r.messageIds.empty() ? std::string() : r.messageIds.front());
    } else if (r.error.empty()) {
      r.error = "Not sent";
    }
    out.results.push_back(std::move(r));
  }
}
