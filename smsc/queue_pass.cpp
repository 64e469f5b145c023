#include "smsc/queue_pass.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <cstdio>
#include <thread>
#include <vector>

#include "accounting/accounting.h"
#include "config/settings.h"
#include "config/settings_registry.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "smsc/connection_figures.h"
#include "smsc/local_routing.h"
#include "smsc/long_messages.h"
#include "smsc/route_cache.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "store/retry_schedule.h"
#include "store/unique_files.h"

namespace {

constexpr size_t kMaxExtraParams = 750;
constexpr int kThrottleAttempts = 5;
// The error code a failure report carries for a message that no connection may send.
constexpr int kNoRouteReportStatus = 11;
constexpr uint32_t kChangeCheckEvery = 256;
// How long a partly used listing of a directory is followed before it is listed again.
constexpr uint64_t kCursorMaxAgeMs = 2000;

constexpr uint64_t kPruneEveryMs = 600000;
constexpr uint64_t kIdleYieldMs = 1500;

std::atomic<uint64_t> g_lastPruneTick{0};
std::atomic<FailureReceiptHook> g_receiptHook{nullptr};

bool InMmsQueue(const std::string& directoryName) { return StartsWithNoCase(directoryName, "MMSQ__"); }

std::string RelativePath(const std::string& directoryName, const std::string& fileName) {
  return directoryName == "." ? fileName : directoryName + "/" + fileName;
}

// The "SMSOut" accounting notice of an attempt (with AccountingExtended).
void AccountOutcome(const SmsMessageRecord& m, std::string_view messageId, std::string_view smscMessageId,
                    const std::string& statusText) {
  if (!Settings.AccountingExtended) return;
  OutboundAccountingNotice(m, m.PhoneNumber, messageId, smscMessageId, "", statusText);
}

void QueueSizeDown(const std::string& directoryName) {
  if (!InMmsQueue(directoryName)) CounterSubtract(kSmsQSize, 1);
}

void LinkNote(const QueueTransport& t, LinkCheck check) {
  if (t.linkNote) t.linkNote(check);
}

int EnquireLink(QueueWorker& w, QueueTransport& t) {
  bool doubted = w.linkError;
  int r = t.enquireLink();
  if (doubted) {
    LinkNote(t, r == 0 ? LinkCheck::EnquireDenied : LinkCheck::EnquireConfirmed);
  } else if (r != 0) {
    LinkNote(t, LinkCheck::EnquireFailed);
  }
  return r;
}

// A long stretch of files passed over still lets the asynchronous link read its answers and
// the peer's requests.
void ServeWhileNotSending(QueueWorker& w, QueueTransport& t) {
  if (!t.submitAsync) return;
  uint64_t last = std::max<uint64_t>(w.lastYieldTick, w.lastActivityTick);
  uint64_t now = TickMs();
  if (now < last || now - last < kIdleYieldMs) return;
  w.lastYieldTick = now;
  if (t.yield(0) != 0) {
    w.linkError = true;
    LinkNote(t, LinkCheck::IdleYield);
  }
}

}  // namespace

void ProbeLink(QueueWorker& w, QueueTransport& t, bool keepAliveOnly) {
  // Read before the clock: a response helper may move it on meanwhile.
  uint64_t lastActivity = w.lastActivityTick;
  uint64_t now = TickMs();
  if (w.linkError && !keepAliveOnly) {
    if (EnquireLink(w, t) == 0) {
      w.linkError = false;
      w.lastActivityTick = TickMs();
    }
    return;
  }
  uint32_t keepAlive = w.settings.keepAliveSeconds;
  if (keepAlive == 0) return;
  if (w.linkError || now - lastActivity > uint64_t(keepAlive) * 1000) {
    if (EnquireLink(w, t) != 0) {
      w.linkError = true;
    } else {
      w.linkError = false;
      w.lastActivityTick = TickMs();
    }
  }
}

namespace {

void Sent(QueueWorker& w, ClaimedFile& claim, const SmsMessageRecord& m, const std::string& directoryName,
          const std::string& fileName, const std::string& messageId, const std::string& smscMessageId,
          SmscIdRecord idRecord, UniqueFd* lastReference = nullptr) {
  CounterAdd(kSmsSent, 1);
  ConnectionCounterAdd(w.connection, 1);
  ++FiguresOf(w.connection).sent;
  QueueSizeDown(directoryName);
  LogOutbound(fileName, m.SubmittedBy, m.PhoneNumber, "OK -- " + w.connection, LogContentOf(m), m.SubmitUser,
              smscMessageId, m.Sender);
  AccountOutcome(m, messageId, smscMessageId, "OK -- " + w.connection);
  // Only a report that was asked for comes back to be matched.
  bool reportAsked = (m.MessageFlags & (kMsgReceiptRequested | kMsgNonDelReceiptRequested)) != 0;
  if (!smscMessageId.empty() && (idRecord == SmscIdRecord::Always ||
                                 (idRecord == SmscIdRecord::WhenReportAsked && reportAsked))) {
    SMSCMessageIdAdd(w.connection.c_str(), smscMessageId.c_str(), messageId.c_str(), m.SubmitUser.c_str(),
                     m.Sender.c_str(), m.PhoneNumber.c_str());
  }
  DeleteClaimedFile(claim, lastReference);
  MessageRoutesRemove(RelativePath(directoryName, fileName));
  ++w.sentInPass;
  ++w.sentInDirectory;
}

FileOutcome Failed(QueueWorker& w, const OutcomeRules& rules, ClaimedFile& claim, const SmsMessageRecord& m,
                   const std::string& directoryName, const std::string& fileName, const std::string& messageId,
                   SubmitOutcome submitOutcome, int status, std::string errorText) {
  if (errorText.empty()) errorText = "ERROR";
  if (Settings.Debug2) WriteDebugLog(w.connection, "Error:  " + errorText);
  std::string content;
  ReadClaimedFile(claim, content, kMaxMessageFileSize);
  bool permanent = FailureIsPermanent(rules, submitOutcome, m.RetryCount, RetryExpired(claim, w.connection));
  if (!permanent) {
    if (m.RetryCount == 0) CounterAdd(kSmsRetry, 1);
    ++FiguresOf(w.connection).retried;
    if (!WriteErrorDetail(claim, m.RetryCount, errorText, w.connection)) {
      WriteDebugLog(w.connection, "Cannot record the retry state of " + fileName);
    }
    LogOutbound(fileName, m.SubmittedBy, m.PhoneNumber, "Retry Pending - " + errorText + " -- " + w.connection,
                LogContentOf(m), m.SubmitUser, "", m.Sender);
    AccountOutcome(m, messageId, "", "Retry Pending - " + errorText + " -- " + w.connection);
    ReleaseClaim(claim);
    return FileOutcome::Retry;
  }
  LogOutbound(fileName, m.SubmittedBy, m.PhoneNumber, errorText + " -- " + w.connection, LogContentOf(m), m.SubmitUser,
              "", m.Sender);
  AccountOutcome(m, messageId, "", errorText + " -- " + w.connection);
  std::string alert = StrPrintf("SMS message could not be sent to %s, %s", m.PhoneNumber.c_str(), errorText.c_str());
  WriteDebugLog(w.connection, alert);
  SendAlertEMail(1, alert);
  if (MainValue("ErrorQRetainDays") != "0") {
    // The kept copy says why the message was given up.
    std::string path = claim.path;
    size_t dot = path.rfind('.');
    size_t slash = path.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.erase(dot);
    LocalTime now = LocalNow();
    std::string stamp = StrPrintf("%04d%02d%02d%02d%02d%02d", now.tm.tm_year + 1900, now.tm.tm_mon + 1,
                                  now.tm.tm_mday, now.tm.tm_hour, now.tm.tm_min, now.tm.tm_sec);
    if (!PublishFile(path + ".ERR", WithErrorDetail(content, m.RetryCount, errorText, w.connection, stamp),
                     PublishMode::Replace)) {
      WriteDebugLog(w.connection, "Cannot keep the copy " + path + ".ERR");
    }
  }
  if (m.MessageFlags & (kMsgReceiptRequested | kMsgNonDelReceiptRequested)) {
    if (FailureReceiptHook hook = g_receiptHook.load()) {
      hook(m, messageId, status, w.connection, FileCreationTime(claim.path));
    }
  }
  DeleteClaimedFile(claim);
  MessageRoutesRemove(RelativePath(directoryName, fileName));
  CounterAdd(kSmsFailed, 1);
  ++FiguresOf(w.connection).failed;
  QueueSizeDown(directoryName);
  return FileOutcome::Failed;
}

void AddToSkipQueue(QueueWorker& w, const std::string& key) {
  if (Settings.UseExperimentalLogic && !Settings.OldRoutingLogic) SkipQAdd(w.skipQueue, key);
}

// A queue file as the pass names it.
struct QueueEntry {
  std::string directoryName, fileName;
  std::string key;      // the route cache's and the skip queue's key: the path below the queue root
  std::string dirPath;  // ends in "/"
  std::string path;
  SegmentName segment;
  bool isSegment = false;
};

QueueEntry QueueEntryOf(const std::string& directoryName, const std::string& fileName) {
  QueueEntry e;
  e.directoryName = directoryName;
  e.fileName = fileName;
  e.key = RelativePath(directoryName, fileName);
  e.dirPath = OutboundQueueRoot() + (directoryName == "." ? "" : directoryName + "/");
  e.path = e.dirPath + fileName;
  e.isSegment = ParseSegmentName(fileName, e.segment);
  return e;
}

// What can be decided without opening the file: the skip queue, the route cache, the earlier
// segments of a long message, a submission still awaiting its answer. True: passed over.
bool PassOverUnclaimed(QueueWorker& w, QueueTransport& t, const QueueEntry& e, bool& routeKnown) {
  if (!Settings.OldRoutingLogic && SkipQFind(w.skipQueue, e.key)) {
    if (Settings.UseSleepAPI) std::this_thread::yield();
    return true;
  }
  if (Settings.UseRouteCache) {
    std::string value;
    if (MessageRoutesFind(e.key, value)) {
      if (!RouteCacheIncludes(value, w.names)) {
        AddToSkipQueue(w, e.key);
        return true;
      }
      routeKnown = true;
    }
  }
  // A segment waits for the earlier segments of its message.
  if (e.isSegment && EarlierSegmentWaiting(e.dirPath, e.segment)) return true;
  return t.inFlight && t.inFlight(e.directoryName, e.fileName);
}

// The message with the connection's defaults applied.
SmsMessageRecord ReadClaimedMessage(const QueueWorker& w, const ClaimedFile& claim) {
  SmsMessageRecord m;
  LoadSMSMessage(claim, m);
  if (m.Validity.empty()) m.Validity = w.settings.validity;
  if (w.settings.disableDeliveryReceipt) m.MessageFlags &= ~(kMsgReceiptRequested | kMsgNonDelReceiptRequested);
  return m;
}

FileOutcome DeleteWithoutRecipient(QueueWorker& w, ClaimedFile& claim, const SmsMessageRecord& m, const QueueEntry& e) {
  // Not removed in silence: the operator sees what went.
  LogOutbound(e.fileName, m.SubmittedBy, "", "Error:  Message has no recipient, deleted -- " + w.connection,
              LogContentOf(m), m.SubmitUser, "", m.Sender);
  WriteDebugLog(w.connection, "Deleted " + e.fileName + ": no recipient");
  DeleteClaimedFile(claim);
  MessageRoutesRemove(e.key);
  CounterAdd(kSmsFailed, 1);
  QueueSizeDown(e.directoryName);
  return FileOutcome::Deleted;
}

// A message for a local user goes to that user's queue; nothing when it is for no local user.
std::optional<FileOutcome> DeliverLocally(QueueWorker& w, ClaimedFile& claim, const SmsMessageRecord& m,
                                          const QueueEntry& e) {
  std::string localUser = LocalUserForMessage(m);
  if (localUser.empty()) return std::nullopt;
  if (!DeliverToLocalUser(m, localUser, e.fileName, w.connection)) return FileOutcome::PassedOver;
  DeleteClaimedFile(claim);
  MessageRoutesRemove(e.key);
  QueueSizeDown(e.directoryName);
  return FileOutcome::Local;
}

// The routing rules' decision; nothing when this connection may send the message.
std::optional<FileOutcome> RefuseUnroutable(QueueWorker& w, ClaimedFile& claim, const SmsMessageRecord& m,
                                            const QueueEntry& e, const std::string& messageId) {
  RouteDecision d = MayConnectionSend(OutboundRouting, m, w.routingName.empty() ? w.connection : w.routingName);
  if (d.allowed) return std::nullopt;
  if (Settings.Debug2) {
    WriteDebugLogf(w.connection.c_str(), "%s not a supported route for %s", m.PhoneNumber.c_str(),
                   w.connection.c_str());
  }
  if (d.noSmscDefined) {
    return Failed(w, OutcomeRulesOf(w.settings), claim, m, e.directoryName, e.fileName, messageId,
                  SubmitOutcome::Rejected, kNoRouteReportStatus, "Error:  No SMSC defined to route message");
  }
  if (Settings.UseRouteCache) MessageRoutesAdd(e.key, RouteCacheValue(OutboundRouting, m, ""));
  AddToSkipQueue(w, e.key);
  return FileOutcome::PassedOver;
}

// Takes the long message's lock and, for a combined submission, the later segments, and
// builds the request. False (everything taken given back) when the message is not ours now.
bool PrepareSubmission(QueueWorker& w, const QueueEntry& e, const std::string& messageId, ClaimedFile claim,
                       SmsMessageRecord m, PreparedSubmission& p) {
  if (e.isSegment && !MainFlag("DisableLongMessageSMSCCheck") &&
      !AcquireLongMessageLock(e.dirPath, e.segment, w.connection, p.longLock)) {
    return false;
  }
  p.rules = OutcomeRulesOf(w.settings);
  p.directoryName = e.directoryName;
  p.fileName = e.fileName;
  p.messageId = messageId;
  p.toSend = m;
  // Combined submission: the later segments travel with this one.
  if (e.isSegment && w.settings.combineSegments) {
    for (unsigned n = e.segment.number + 1; n <= e.segment.total; ++n) {
      PreparedSubmission::OtherSegment o;
      o.fileName = SegmentFileNameFor(e.segment, n);
      if (!ClaimQueueFile(e.dirPath + o.fileName, o.claim)) {
        p.others.clear();
        ReleaseLongMessageLock(p.longLock, w.connection, false);
        return false;
      }
      LoadSMSMessage(o.claim, o.m);
      p.toSend.Data += o.m.Data;
      p.others.push_back(std::move(o));
    }
    p.toSend.UDH = UdhWithoutConcatenation(m.UDH);
  }

  WriteDebugLog(w.connection, "Processing " + e.fileName + "...");
  p.request.gatewayMessageId = messageId;
  p.request.recipient = NormaliseRecipient(m.PhoneNumber, Settings.AllowAlphaRecip);
  p.request.sender = ChooseSender(m.Sender, w.settings.senderAddressList, w.settings.senderAddressOverride);
  p.request.extraParams = SubmitExtraParams(m);
  p.claim = std::move(claim);
  p.m = std::move(m);
  return true;
}

// Keeps the link served through the pause after a throttled submission; false when it was lost.
bool WaitAfterThrottle(QueueWorker& w, QueueTransport& t) {
  if (w.settings.throttleErrorDelaySeconds == 0) return true;
  uint64_t start = TickMs(), pause = uint64_t(w.settings.throttleErrorDelaySeconds) * 1000;
  while (!ShutdownRequested.load()) {
    uint64_t elapsed = TickMs() - start;
    if (elapsed >= pause) break;
    if (t.yield(int(std::min<uint64_t>(pause - elapsed, 1000))) != 0 || !t.linkUp()) return false;
  }
  return true;
}

// Submits and waits; a throttled submission is paused and sent again, up to five times.
SubmitResult SubmitWithThrottleRetries(QueueWorker& w, QueueTransport& t, PreparedSubmission& p) {
  SubmitResult result;
  for (int attempt = 1; attempt <= kThrottleAttempts; ++attempt) {
    w.linkError = false;
    result = t.submit(p.toSend, p.request);
    w.lastSubmitTick = TickMs();
    if (result.outcome == SubmitOutcome::Done) {
      w.lastActivityTick = TickMs();
      break;
    }
    w.linkError = true;
    if (result.outcome != SubmitOutcome::Throttled) break;
    if (attempt == kThrottleAttempts || !WaitAfterThrottle(w, t)) {
      if (w.settings.restartQAfterThrottleError) w.queueRestart = true;
      break;
    }
    LogOutbound(p.fileName, p.m.SubmittedBy, p.m.PhoneNumber,
                "Retry Pending - " + result.errorText + " -- " + w.connection, LogContentOf(p.m), p.m.SubmitUser, "",
                p.m.Sender);
    AccountOutcome(p.m, p.messageId, "", "Retry Pending - " + result.errorText + " -- " + w.connection);
  }
  return result;
}

// A segment sent on a window of one has its answer awaited at once: the next segment
// follows only an accepted one.
FileOutcome SettleSegment(QueueTransport& t, FileOutcome outcome, const std::string& fileName) {
  SegmentName segment;
  if (outcome != FileOutcome::Queued || !t.settle || !ParseSegmentName(fileName, segment)) return outcome;
  return t.settle();
}

}  // namespace

void SetFailureReceiptHook(FailureReceiptHook hook) { g_receiptHook = hook; }

void PaceSubmission(QueueWorker& w, QueueTransport& t) {
  if (w.settings.sendIntervalMs == 0) return;
  while (!ShutdownRequested.load()) {
    uint64_t elapsed = TickMs() - w.lastSubmitTick;
    if (elapsed >= w.settings.sendIntervalMs) break;
    // The yield waits on the socket for the rest of the interval (a second at most, for the stop flag).
    if (t.yield(int(std::min<uint64_t>(w.settings.sendIntervalMs - elapsed, 1000))) != 0 || !t.linkUp()) {
      w.linkError = true;
      break;
    }
  }
}

void ReturnSubmission(QueueWorker& w, PreparedSubmission& p) {
  ReleaseClaim(p.claim);
  for (auto& o : p.others) ReleaseClaim(o.claim);
  ReleaseLongMessageLock(p.longLock, w.connection, false);
}

std::string NormaliseRecipient(std::string_view recipient, bool allowAlpha) {
  if (allowAlpha) return std::string(recipient);
  size_t colon = recipient.rfind(':');
  if (colon != std::string_view::npos) recipient = recipient.substr(0, colon);
  std::string out;
  for (size_t i = 0; i < recipient.size(); ++i) {
    char c = recipient[i];
    if ((c >= '0' && c <= '9') || (i == 0 && c == '+')) out.push_back(c);
  }
  return out;
}

std::string ChooseSender(std::string_view messageSender, std::string_view list, bool overrideAllowed) {
  if (!messageSender.empty()) {
    bool listed = overrideAllowed;
    for (const std::string& item : SplitList(list)) listed = listed || EqualsNoCase(item, messageSender);
    if (listed) return std::string(messageSender);
  }
  return CutTo(FirstListItem(list), 150);
}

std::string SubmitExtraParams(const SmsMessageRecord& m) {
  std::string out = m.SMPPOptions;
  auto add = [&](const char* key, const std::string& value) {
    if (value.empty()) return;
    if (!out.empty()) out += "; ";
    out += key;
    out += value;
  };
  add("LocalUser=", m.SubmitUser);
  add("ServiceType=", m.ServiceType);
  add("Validity=", m.Validity);
  return CutTo(out, kMaxExtraParams);
}

OutcomeRules OutcomeRulesOf(const QueueWorkerSettings& settings) { return OutcomeRules{settings.retryMaxAttempts}; }

bool FailureIsPermanent(const OutcomeRules& rules, SubmitOutcome outcome, uint32_t retryCount, bool tooOld) {
  if (outcome == SubmitOutcome::Rejected || tooOld) return true;
  if (outcome == SubmitOutcome::Throttled || outcome == SubmitOutcome::Busy) return false;
  return uint64_t(rules.retryMaxAttempts) < uint64_t(retryCount) + 1;
}

FileOutcome HandleQueueFile(QueueWorker& w, QueueTransport& t, const std::string& directoryName,
                            const std::string& fileName, uint64_t listedAt) {
  QueueEntry e = QueueEntryOf(directoryName, fileName);
  if (Settings.Debug2) WriteDebugLog(w.connection, fileName);
  // Sent by another worker of ours since it was listed.
  if (DeletedHereSince(e.path, listedAt)) return FileOutcome::PassedOver;
  bool routeKnown = false;
  if (PassOverUnclaimed(w, t, e, routeKnown)) return FileOutcome::PassedOver;
  // Released wherever this returns, unless deleted or handed over with the submission.
  ClaimedFile claim;
  if (!ClaimQueueFile(e.path, claim)) return FileOutcome::PassedOver;
  SmsMessageRecord m = ReadClaimedMessage(w, claim);
  std::string messageId = MessageIdFromPath(fileName);

  if (m.PhoneNumber.empty()) return DeleteWithoutRecipient(w, claim, m, e);
  if (!m.SMSCRoute.empty()) {
    if (!ExplicitRouteMatches(m.SMSCRoute, w.names)) {
      if (Settings.UseRouteCache) MessageRoutesAdd(e.key, "*=" + m.SMSCRoute);
      AddToSkipQueue(w, e.key);
      return FileOutcome::PassedOver;
    }
    routeKnown = true;
  }
  if (m.RetryCount != 0 && !w.ignoreRetryDue && !RetryDue(m.RetryCount, m.LastRetryTime, w.connection)) {
    // The worker wakes for it when it is due, without passes in between.
    time_t due = RetryDueTime(m.RetryCount, m.LastRetryTime, w.connection);
    if (w.earliestRetry == 0 || due < w.earliestRetry) w.earliestRetry = due;
    return FileOutcome::PassedOver;
  }
  if (auto local = DeliverLocally(w, claim, m, e)) return *local;
  if (!t.submit && !t.submitAsync) {
    // A worker that only delivers to local users leaves the rest to the connections, and
    // does not read this file again while it stays (until its skip queue is emptied).
    if (!Settings.OldRoutingLogic) SkipQAdd(w.skipQueue, e.key);
    return FileOutcome::PassedOver;
  }
  if (!routeKnown) {
    if (auto refused = RefuseUnroutable(w, claim, m, e, messageId)) return *refused;
  }

  PreparedSubmission p;
  if (!PrepareSubmission(w, e, messageId, std::move(claim), std::move(m), p)) return FileOutcome::PassedOver;
  if (t.submitAsync) {
    // Paced there, after the window wait: where the submit really leaves.
    t.submitAsync(std::move(p));
    return FileOutcome::Queued;
  }
  PaceSubmission(w, t);
  return FinishSubmission(w, p, SubmitWithThrottleRetries(w, t, p));
}

FileOutcome FinishSubmission(QueueWorker& w, PreparedSubmission& p, const SubmitResult& result) {
  if (result.outcome == SubmitOutcome::Done) {
    Sent(w, p.claim, p.m, p.directoryName, p.fileName, p.messageId, result.smscMessageId, result.idRecord,
         p.keepLastReference ? &p.lastReference : nullptr);
    for (auto& o : p.others) {
      Sent(w, o.claim, o.m, p.directoryName, o.fileName, MessageIdFromPath(o.fileName), result.smscMessageId,
           result.idRecord);
    }
    ReleaseLongMessageLock(p.longLock, w.connection, true);
    return FileOutcome::Sent;
  }
  FileOutcome outcome = Failed(w, p.rules, p.claim, p.m, p.directoryName, p.fileName, p.messageId, result.outcome,
                               result.status, result.errorText);
  for (auto& o : p.others) {
    Failed(w, p.rules, o.claim, o.m, p.directoryName, o.fileName, MessageIdFromPath(o.fileName), result.outcome,
           result.status, result.errorText);
  }
  ReleaseLongMessageLock(p.longLock, w.connection, false);
  return outcome;
}

void RunQueuePass(QueueWorker& w, QueueTransport& t) {
  // One worker at a time drops the route-cache entries of files that went another way
  // (deleted by an operator or by housekeeping).
  if (Settings.UseRouteCache) {
    uint64_t now = TickMs(), last = g_lastPruneTick.load();
    if (now - last >= kPruneEveryMs && g_lastPruneTick.compare_exchange_strong(last, now)) {
      MessageRoutesPrune(OutboundQueueRoot());
    }
  }
  w.sentInPass = 0;
  w.handledInPass = 0;
  w.earliestRetry = 0;
  w.queueRestart = false;
  SkipQBeginPass(w.skipQueue);
  QueueFind directories;
  std::string directoryName;
  std::vector<std::string> names;
  for (bool more = QueueFindFirst(directories, directoryName); more; more = QueueFindNext(directories, directoryName)) {
    names.push_back(directoryName);
  }
  QueueFindClose(directories);
  for (auto it = w.cursors.begin(); it != w.cursors.end();) {
    it = std::find(names.begin(), names.end(), it->first) == names.end() ? w.cursors.erase(it) : std::next(it);
  }
  for (const std::string& dir : names) {
    if (dir == "..") continue;
    if (w.linkError || w.restart || w.queueRestart || ShutdownRequested.load()) break;
    if (Settings.UseRouteQueues && dir != "." &&
        RouteQueueSkip(dir, w.names.routeName, w.names.name, w.names.targetRouteName, w.names.backupTarget)) {
      continue;
    }
    w.sentInDirectory = 0;
    DirectoryCursor& cursor = w.cursors[dir];
    // A listing is used up before the directory is listed again, or after a while, so
    // that files that came meanwhile are not kept waiting long.
    if (cursor.next >= cursor.names.size() || TickMs() - cursor.listedTick >= kCursorMaxAgeMs) {
      cursor = DirectoryCursor();
      cursor.listedTick = TickMs();
      QueueFind files;
      std::string fileName;
      for (bool more = QueueFileFindFirst(files, dir, fileName); more; more = QueueFileFindNext(files, fileName)) {
        cursor.names.push_back(fileName);
      }
      QueueFileFindClose(files);
      cursor.listedAt = ClaimedDeleteCount();
    }
    while (cursor.next < cursor.names.size()) {
      std::string file = cursor.names[cursor.next++];
      uint32_t before = w.sentInDirectory;
      FileOutcome outcome = SettleSegment(t, HandleQueueFile(w, t, dir, file, cursor.listedAt), file);
      if (outcome != FileOutcome::PassedOver) ++w.handledInPass;
      // The rest of a long message follows at once on this connection.
      SegmentName segment;
      std::string current = file;
      while (outcome == FileOutcome::Sent && ParseSegmentName(current, segment) && !w.restart &&
             !ShutdownRequested.load()) {
        std::string next = NextSegmentFile(OutboundQueueRoot() + (dir == "." ? "" : dir + "/"), segment);
        if (next.empty()) break;
        WriteDebugLog("CheckAdditionalLongMessageSegments", next);
        if (Settings.Debug) printf("Debug:  segCount=%u, segNum=%u\r\n", segment.total, segment.number + 1);
        current = next;
        outcome = SettleSegment(t, HandleQueueFile(w, t, dir, current), current);
      }
      ProbeLink(w, t, false);
      ServeWhileNotSending(w, t);
      if (w.sentInDirectory != before && w.sentInDirectory % kChangeCheckEvery == 0) {
        if (w.changeCheck) w.changeCheck();
      }
      // Throttled files come back before the next listed one.
      std::string resubmitDir, resubmitFile;
      while (t.takeResubmit && !w.linkError && !ShutdownRequested.load() && t.takeResubmit(resubmitDir, resubmitFile)) {
        WriteDebugLog("isThrottleResubmit", resubmitDir + "/" + resubmitFile);
        w.ignoreRetryDue = true;
        HandleQueueFile(w, t, resubmitDir, resubmitFile);
        w.ignoreRetryDue = false;
      }
      if (dir != "." && w.sentInDirectory > Settings.UserQueueThreshold) break;
      if (w.linkError || w.restart || w.queueRestart || ShutdownRequested.load()) break;
    }
    bool usedUp = cursor.next >= cursor.names.size();
    if (usedUp) w.cursors.erase(dir);
    if (dir != ".") {
      // Only a directory gone through to its end can be empty; removal refuses one that
      // is not, so there is nothing to list for it.
      if (usedUp) RemoveOldEmptyDirectory(OutboundQueueRoot() + dir + "/");
      if (w.changeCheck) w.changeCheck();
    }
  }
  ProbeLink(w, t, true);
  if (!t.linkUp()) w.linkError = true;
  if (!w.linkError && !ShutdownRequested.load()) {
    // Serves what has come; a pass that found nothing to do is followed by the worker's
    // wait for work, not by a sleep here.
    w.lastYieldTick = TickMs();
    if (t.yield(0) != 0) {
      w.linkError = true;
      LinkNote(t, LinkCheck::PassEndYield);
    }
  }
  if (t.linkUp() && !Settings.OldRoutingLogic) SkipQClean(w.skipQueue);
  if (t.passEnd) t.passEnd();
}
