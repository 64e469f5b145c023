// The outbound queue pass: walks the queue directories, picks the files this connection
// may send, claims each through the store's claim protocol, submits it through the
// connection's transport and records the outcome (sent, retry, permanent failure).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "smsc/long_messages.h"
#include "smsc/route_decision.h"
#include "smsc/skip_queue.h"
#include "store/message_file.h"

struct QueueWorkerSettings {
  uint32_t keepAliveSeconds = 58;  // 0: no enquire-links
  std::string senderAddressList;   // SenderAddress, comma-separated
  bool senderAddressOverride = true;
  std::string validity;
  bool disableDeliveryReceipt = false;
  uint32_t throttleErrorDelaySeconds = 5;
  bool restartQAfterThrottleError = false;
  uint32_t retryMaxAttempts = 20;
  uint32_t sendIntervalMs = 0;  // SMSCSendLimit
  bool combineSegments = false;  // WDPAdaptation without UseTLV: a long message goes as one
};

// The settings a message's outcome is judged by, taken when it is submitted: the outcome
// may be recorded on another thread while the worker re-reads its settings.
struct OutcomeRules {
  uint32_t retryMaxAttempts = 20;
};

// A counter or tick that response helper threads update beside the worker. Copies take
// the value (a worker is set up by value in tests).
template <typename T>
struct SharedValue {
  std::atomic<T> value{};
  SharedValue() = default;
  SharedValue(T v) : value(v) {}
  SharedValue(const SharedValue& o) : value(o.value.load()) {}
  SharedValue& operator=(const SharedValue& o) {
    value = o.value.load();
    return *this;
  }
  SharedValue& operator=(T v) {
    value = v;
    return *this;
  }
  operator T() const { return value.load(); }
  T operator++() { return ++value; }
};

// What the transport is handed for one message.
struct SubmitRequest {
  std::string gatewayMessageId;  // the file name without its extension
  std::string recipient;         // normalised
  std::string sender;            // chosen by the sender rules
  std::string extraParams;       // "a=b; c=d", at most 750 characters
};
// What became of a submission: the driver classes its protocol's status into one of these.
enum class SubmitOutcome {
  Done,       // accepted
  Retry,      // failed for now: tried again later, given up after RetryMaxAttempts
  Busy,       // the centre cannot take it now: tried again later, never given up for the count
  Throttled,  // the centre asks to slow down: paused and sent again, never given up for the count
  Rejected,   // given up at once (the driver's permanent-error list)
  LinkLost,   // the link failed under it: tried again later like Retry
};
// Whether the centre's id of a sent message is kept for matching its reports.
enum class SmscIdRecord {
  WhenReportAsked,  // only for a message that asked for a report
  Always,
  Never,
};
struct SubmitResult {
  SubmitOutcome outcome = SubmitOutcome::Done;
  int status = 0;  // the protocol's own status, for the failure report
  std::string smscMessageId;
  std::string errorText;  // the protocol library's text for status
  SmscIdRecord idRecord = SmscIdRecord::WhenReportAsked;
};

// A file ready to go: claimed, checked, its request built, its long-message lock held.
struct PreparedSubmission {
  struct OtherSegment {  // the later segments of a combined submission
    std::string fileName;
    ClaimedFile claim;
    SmsMessageRecord m;
  };
  ClaimedFile claim;
  SmsMessageRecord m;       // as read
  SmsMessageRecord toSend;  // as submitted (combined segments)
  std::string directoryName, fileName, messageId;
  SubmitRequest request;
  LongMessageLock longLock;
  std::vector<OtherSegment> others;
  OutcomeRules rules;
  // Set by the driver: a sent file's last descriptor stays here once its name is gone, and
  // its blocks are freed when p goes (after the driver's next send).
  bool keepLastReference = false;
  UniqueFd lastReference;
};

// Where a link check of the pass found the link in doubt or lost.
enum class LinkCheck {
  EnquireDenied,     // the link was in doubt and the enquire-link was answered
  EnquireConfirmed,  // the link was in doubt and the enquire-link failed
  EnquireFailed,     // the keep-alive enquire-link failed
  PassEndYield,      // the yield at the end of the pass reported the link lost
  IdleYield,         // the yield of a long stretch without sending reported it lost
};

enum class FileOutcome { PassedOver, Sent, Retry, Failed, Deleted, Local, Queued };

// The link of one connection as the pass uses it.
struct QueueTransport {
  // Unset, with submitAsync unset too: the worker only delivers to local users.
  std::function<SubmitResult(const SmsMessageRecord&, const SubmitRequest&)> submit;
  std::function<int()> enquireLink;      // 0 = the peer answered
  // Processes inbound traffic; non-zero when the library reported the link lost.
  std::function<int(int waitMs)> yield;
  std::function<bool()> linkUp;
  // Asynchronous submission: takes the prepared file, whose outcome is recorded later with
  // FinishSubmission. Unset: submit is used and waited for.
  std::function<void(PreparedSubmission&&)> submitAsync;
  // True for a file submitted asynchronously and still awaiting its outcome.
  std::function<bool(const std::string& directoryName, const std::string& fileName)> inFlight;
  // Files to process before the next listed one (throttled submissions to resubmit):
  // true with directory and file name.
  std::function<bool(std::string& directoryName, std::string& fileName)> takeResubmit;
  // Told what the link checks found, for the driver's debug line; unset: nothing is said.
  std::function<void(LinkCheck)> linkNote;
  // Called when a pass is over (after its closing yield); unset: nothing.
  std::function<void()> passEnd;
  // A window of one: completes the outstanding submission now and gives its outcome, so that
  // the next segment of a long message follows an accepted one at once. Unset: none.
  std::function<FileOutcome()> settle;
  // The descriptor the link's traffic arrives on, for the worker's idle wait (readable:
  // yield(0) serves it); unset or -1: none.
  std::function<int()> waitFd;
  // While idle, yield(0) at least this often (a modem's polls and tests); 0: only when the
  // link has traffic.
  uint32_t serveEveryMs = 0;
};

// Where a worker stopped in a directory it left early (per-user queues take turns), so that
// the next visit goes on from there instead of listing thousands of files again.
struct DirectoryCursor {
  std::vector<std::string> names;
  size_t next = 0;
  uint64_t listedTick = 0;
  uint64_t listedAt = 0;  // ClaimedDeleteCount once listed
};

// Response helper threads may record outcomes while the worker runs its pass: they touch
// only connection, the SharedValue fields, and the store (never the worker's flags).
struct QueueWorker {
  std::string connection;   // this worker's connection name; fixed for the session
  std::string routingName;  // the name the route decision is asked for (an active backup: the target)
  WorkerRouteNames names;
  QueueWorkerSettings settings;
  bool linkError = false, queueRestart = false, restart = false;
  SharedValue<uint64_t> lastActivityTick;
  uint64_t lastSubmitTick = 0;
  uint64_t lastYieldTick = 0;  // the last time the pass gave the link its turn
  SharedValue<uint32_t> sentInPass, sentInDirectory;
  SkipQueue skipQueue;
  bool ignoreRetryDue = false;  // a throttled file taken from the resubmit queue
  uint32_t handledInPass = 0;   // files the pass did something with (not passed over)
  time_t earliestRetry = 0;     // the earliest retry time of a file the pass held back; 0: none
  std::map<std::string, DirectoryCursor> cursors;  // by directory name
  // The change check and backup test of the worker, run every 256 messages and after
  // each subdirectory; may set restart.
  std::function<void()> changeCheck;
};

void RunQueuePass(QueueWorker& worker, QueueTransport& transport);
// Enquire-link when the link is in doubt (unless keepAliveOnly) or the keep-alive interval
// has passed.
void ProbeLink(QueueWorker& w, QueueTransport& t, bool keepAliveOnly);
// Records the outcome of a submission (sent, retry, permanent failure), releases the
// long-message lock and the files.
FileOutcome FinishSubmission(QueueWorker& worker, PreparedSubmission& p, const SubmitResult& result);
// Gives back a prepared file that was never sent: the claims and the long-message lock are
// released, the file stays as it was (no retry counted).
void ReturnSubmission(QueueWorker& worker, PreparedSubmission& p);
// SMSCSendLimit: waits until the interval since the last submit has passed, the link served
// meanwhile (a link lost there sets linkError).
void PaceSubmission(QueueWorker& worker, QueueTransport& transport);
// listedAt: the file's listing's ClaimedDeleteCount; a file deleted here since is passed over
// without a look.
FileOutcome HandleQueueFile(QueueWorker& worker, QueueTransport& transport, const std::string& directoryName,
                            const std::string& fileName, uint64_t listedAt = 0);

// The recipient as it goes to the SMS centre: a leading "+" kept, everything from the last
// ":" dropped, other non-digits removed (unless AllowAlphaRecip).
std::string NormaliseRecipient(std::string_view recipient, bool allowAlpha);
// The sender for a message under the connection's SenderAddress rules.
std::string ChooseSender(std::string_view messageSender, std::string_view senderAddressList, bool overrideAllowed);
// The extra-parameter text handed to the protocol library.
std::string SubmitExtraParams(const SmsMessageRecord& m);
// Whether a failure of that outcome after retryCount earlier failures is given up.
bool FailureIsPermanent(const OutcomeRules& rules, SubmitOutcome outcome, uint32_t retryCount, bool tooOld);
OutcomeRules OutcomeRulesOf(const QueueWorkerSettings& settings);

// Called with the message, its status, the connection and the time the queue file was
// made, when a failure receipt is due (the inbound code installs it).
using FailureReceiptHook = void (*)(const SmsMessageRecord& m, std::string_view messageId, int status,
                                    std::string_view connection, time_t queuedAt);
void SetFailureReceiptHook(FailureReceiptHook hook);
