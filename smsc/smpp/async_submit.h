// Windowed asynchronous SMPP submission: up to WindowSize submits outstanding on one session,
// each file given exactly one outcome when its response (or the link's end, or its
// timeout) arrives; throttled files come back through the throttle resubmit queue.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>

#include "outside/qarpeer/qarpeer.h"
#include "runtime/mutex.h"
#include "smsc/queue_pass.h"

struct SMPPSubmitAsyncQ;

// One submit on its way: the library fills lib; the file stays claimed until the outcome.
// Only the response processing unlinks and frees a record, after it is done.
struct AsyncPendingRecord {
  SMPPAsyncSubmit lib{};
  SMPPSubmitAsyncQ* queue = nullptr;
  PreparedSubmission p;
  bool done = false;  // under queue->lock
  uint32_t throttleResubmits = 0;
  bool throttleForQFull = false;  // as it was when submitted
};

struct ThrottleResubmitEntry {
  std::string directoryName, fileName;
  uint32_t count = 0;
};

// The library calls of one session.
struct AsyncSubmitLink {
  // 0 when sent (the record completes later), else the status; the record is then not kept.
  std::function<int(const SmsMessageRecord& m, const SubmitRequest& r, int timeoutMs, SMPPAsyncSubmit* record)> submit;
  // Reads the socket (the worker's thread only); non-zero when the library reports the
  // link lost.
  std::function<int(int waitMs)> yield;
  std::function<bool()> linkUp;
  std::function<const char*(int status)> errorText;
  // Ends the session in the library: every record still outstanding completes.
  std::function<void()> abandon;
  // The session's socket: a full window waits for it to become readable; -1: none known.
  int fd = -1;
};

// Every field below the lock is guarded by it; the resubmit queue shares it.
struct SMPPSubmitAsyncQ {
  Mutex lock;
  std::condition_variable responseEvent;  // a record was processed (the window moved)
  std::condition_variable helperEvent;    // "SmppSubmitAsync": a record is done, or stop
  std::list<std::unique_ptr<AsyncPendingRecord>> records GUARDED_BY(lock);  // submit order
  uint32_t depth GUARDED_BY(lock) = 0;                                       // records not yet processed
  uint32_t doneCount GUARDED_BY(lock) = 0;  // of those, the completed ones
  bool throttled GUARDED_BY(lock) = false;
  std::deque<ThrottleResubmitEntry> resubmits GUARDED_BY(lock);
  // path -> resubmits so far, for the next submit
  std::map<std::string, uint32_t> resubmitCounts GUARDED_BY(lock);
  // Paths submitted and not yet given their outcome: the pass does not try to claim them.
  std::unordered_set<std::string> inFlight GUARDED_BY(lock);
  uint32_t windowSize = 1;
  uint32_t commandTimeoutSeconds = 120;
  bool throttleForQFull = false;
  uint32_t highestDepth GUARDED_BY(lock) = 0;  // the most records outstanding at once
  // Response helper threads: alive from their start until they leave; running once they
  // serve. Set up by the worker before its first pass.
  uint32_t helpersAlive GUARDED_BY(lock) = 0, helpersRunning GUARDED_BY(lock) = 0;
  bool stopHelpers GUARDED_BY(lock) = false;
  bool useHelpers = false;  // the worker leaves the outcomes to the helpers
  AsyncSubmitLink link;
};

// A debug line of the asynchronous path: written with Debug or DebugAsyncSMPP.
void AsyncSmppDebugLog(const std::string& connection, std::string_view text);
// The debug line of what a link check of the pass found.
void NoteSmppLinkCheck(const std::string& connection, LinkCheck check);

// Installs the completion function in the library (once per process).
void InstallAsyncCompletion(void (*setter)(SMPPAsyncCompletionFn));
// The completion function given to the library.
void SmppAsyncCompletion(SMPPAsyncSubmit* record);

// The asynchronous transport of a queue pass: submitAsync, takeResubmit, a yield that also
// processes the responses, and the debug lines of the link checks.
void AttachAsyncSubmission(QueueWorker& w, QueueTransport& t, SMPPSubmitAsyncQ& q);
// Gives the completed records their outcome, oldest submit first; returns how many. Safe on
// several threads at once: each record is taken by one.
uint32_t CheckSmppSubmitAsyncQ(QueueWorker& w, SMPPSubmitAsyncQ& q);
// End of session: waits for the outstanding records until deadlineMs, then abandons the
// rest (they complete with the library's link error) and processes all. The helpers must
// have been stopped.
void DrainSmppSubmitAsyncQ(QueueWorker& w, SMPPSubmitAsyncQ& q, uint64_t deadlineMs);

// Starts count response helper threads and waits up to 60 s for them to run; returns how
// many were started (0: the worker processes the responses itself).
uint32_t StartSmppSubmitAsyncHelpers(QueueWorker& w, SMPPSubmitAsyncQ& q, uint32_t count);
// Asks the helpers to stop and waits until every one has left (they hold w and q).
void StopSmppSubmitAsyncHelpers(QueueWorker& w, SMPPSubmitAsyncQ& q);
// A helper's loop: processes completed records until stopHelpers.
void ThreadSmppSubmitAsyncHelper(QueueWorker& w, SMPPSubmitAsyncQ& q);
