#include "smsc/smpp/async_submit.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "smsc/smpp/smpp_outcome.h"
#include "store/message_logs.h"

namespace {

constexpr uint32_t kMaxThrottleResubmits = 4;
constexpr int kHelperWaitPendingMs = 1000;
constexpr int kHelperWaitIdleMs = 60000;
constexpr uint64_t kThrottleLookMs = 100;
constexpr uint64_t kPacingLookMs = 100;
constexpr uint64_t kStopLookMs = 1000;  // the thread frame's look at an unannounced stop
constexpr int kWindowLookMs = 1000;
constexpr int kHelperStartSeconds = 60;
constexpr int kHelperStopSeconds = 120;

std::string PathKey(const std::string& directoryName, const std::string& fileName) {
  return directoryName + "/" + fileName;
}

void MarkDone(AsyncPendingRecord* r) {
  SMPPSubmitAsyncQ& q = *r->queue;
  {
    MutexLock guard(q.lock);
    if (r->done) return;
    r->done = true;
    ++q.doneCount;
  }
  // r may be freed by a helper from here on. One record wants one helper; a busy one
  // looks again before it waits.
  q.helperEvent.notify_one();
}

// A yield of the submission waits (window, throttle pause); a link loss the library reports
// is noted as the link error.
void YieldAndNote(QueueWorker& w, SMPPSubmitAsyncQ& q) {
  if (q.link.yield(0) == 0) return;
  w.linkError = true;
  AsyncSmppDebugLog(w.connection, "Info -- SMPP Connection Error reported by SMPPYield 3");
}

// Without helpers the worker gives the completed records their outcome itself.
uint32_t ProcessUnlessHelped(QueueWorker& w, SMPPSubmitAsyncQ& q) {
  return q.useHelpers ? 0 : CheckSmppSubmitAsyncQ(w, q);
}

// Waits up to ms for the window to move: with helpers for a processed record, without
// them for a completed one.
void WaitForResponse(SMPPSubmitAsyncQ& q, int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MutexLock guard(q.lock);
  if (q.useHelpers) {
    while (q.depth >= q.windowSize && guard.WaitUntil(q.responseEvent, until)) {
    }
  } else {
    while (q.doneCount == 0 && guard.WaitUntil(q.helperEvent, until)) {
    }
  }
}

// A full window: waits for a helper to move it when a response is being processed, else
// for the socket to bring one (the read is the caller's yield), a second at most so that
// command time-outs and the stop are seen.
void WaitForWindow(SMPPSubmitAsyncQ& q) {
  {
    MutexLock guard(q.lock);
    if (q.useHelpers && q.doneCount > 0) {
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowLookMs);
      while (q.depth >= q.windowSize && q.doneCount > 0 && guard.WaitUntil(q.responseEvent, until)) {
      }
      return;
    }
    if (!q.useHelpers && q.doneCount > 0) return;
  }
  if (q.link.fd < 0) {
    WaitForResponse(q, 1);
    return;
  }
  pollfd fd = {q.link.fd, POLLIN, 0};
  poll(&fd, 1, kWindowLookMs);
}

void Throttle(SMPPSubmitAsyncQ& q, AsyncPendingRecord& r, SubmitOutcome outcome) {
  bool throttled = outcome == SubmitOutcome::Throttled;
  std::string key = PathKey(r.p.directoryName, r.p.fileName);
  const char* note = nullptr;
  {
    MutexLock guard(q.lock);
    q.throttled = throttled;
    if (!throttled) return;
    if (r.throttleResubmits > kMaxThrottleResubmits) {
      note = "ThrottleResubmitQCoun Exceeded";
    } else {
      bool queued = false;
      for (const ThrottleResubmitEntry& e : q.resubmits) {
        queued = queued || (e.directoryName == r.p.directoryName && e.fileName == r.p.fileName);
      }
      if (!queued) {
        q.resubmits.push_back({r.p.directoryName, r.p.fileName, r.throttleResubmits + 1});
        note = "AddToThrottleResubmitQ";
      }
    }
  }
  if (note) WriteDebugLog(note, key);
}

void Submit(QueueWorker& w, SMPPSubmitAsyncQ& q, PreparedSubmission&& p) {
  // Throttled: give the SMS centre the configured pause, serving the link meanwhile.
  bool throttled;
  {
    MutexLock guard(q.lock);
    throttled = q.throttled;
  }
  if (throttled && w.settings.throttleErrorDelaySeconds != 0) {
    uint64_t start = TickMs();
    while (TickMs() - start < uint64_t(w.settings.throttleErrorDelaySeconds) * 1000 && !ShutdownRequested.load()) {
      // The yield serves the link until the pause ends (or a response clears it, seen
      // within kThrottleLookMs).
      uint64_t left = uint64_t(w.settings.throttleErrorDelaySeconds) * 1000 - (TickMs() - start);
      if (q.link.yield(int(std::min<uint64_t>(left, kThrottleLookMs))) != 0) {
        w.linkError = true;
        AsyncSmppDebugLog(w.connection, "Info -- SMPP Connection Error reported by SMPPYield 3");
      }
      ProcessUnlessHelped(w, q);
      if (w.linkError || !q.link.linkUp()) break;
      {
        MutexLock guard(q.lock);
        if (!q.throttled) break;
      }
    }
    if (w.settings.restartQAfterThrottleError) w.queueRestart = true;
  }
  // The window: never more than windowSize records outstanding.
  uint64_t waitStart = TickMs();
  for (;;) {
    {
      MutexLock guard(q.lock);
      if (q.depth < q.windowSize) break;
    }
    YieldAndNote(w, q);
    if (ProcessUnlessHelped(w, q) != 0) continue;
    if (!q.link.linkUp()) {
      // The library completes what is outstanding; process it before going on. With
      // helpers the window may still be full: the record then ends as a link error unsent.
      q.link.yield(0);
      ProcessUnlessHelped(w, q);
      WaitForResponse(q, 1);
      break;
    }
    WaitForWindow(q);
  }
  uint64_t waited = TickMs() - waitStart;
  if (waited > 0 && (Settings.Debug || Settings.DebugAsyncSMPP)) {
    uint32_t window;
    {
      std::lock_guard guard(q.lock);
      window = q.windowSize;
    }
    std::string text = StrPrintf("Info -- %u ms wait time for SMPP window size %u", unsigned(waited), window);
    LogOutbound("System", "", w.connection, text, LogContent{}, "", "", "");
    AsyncSmppDebugLog(w.connection, text);
  }
  // SMSCSendLimit, counted from the previous submit as it left: a window that opens for
  // several at once still lets them out one interval apart. The link is served meanwhile.
  while (w.settings.sendIntervalMs != 0 && !w.linkError && !ShutdownRequested.load()) {
    uint64_t since = TickMs() - w.lastSubmitTick;
    if (since >= w.settings.sendIntervalMs) break;
    // The yield ends exactly when the next submit may leave; without helpers the worker
    // records the responses that came meanwhile every kPacingLookMs.
    uint64_t step = q.useHelpers ? kStopLookMs : kPacingLookMs;
    if (q.link.yield(int(std::min<uint64_t>(w.settings.sendIntervalMs - since, step))) != 0 || !q.link.linkUp()) {
      w.linkError = true;
      AsyncSmppDebugLog(w.connection, "Info -- SMPP Connection Error reported by SMPPYield 3");
      break;
    }
    ProcessUnlessHelped(w, q);
  }
  w.lastSubmitTick = TickMs();

  auto record = std::make_unique<AsyncPendingRecord>();
  AsyncPendingRecord* r = record.get();
  r->queue = &q;
  r->lib.context = r;
  r->p = std::move(p);
  std::string key = PathKey(r->p.directoryName, r->p.fileName);
  bool full = false;
  uint32_t depth = 0;
  {
    MutexLock guard(q.lock);
    if (auto it = q.resubmitCounts.find(key); it != q.resubmitCounts.end()) {
      r->throttleResubmits = it->second;
      q.resubmitCounts.erase(it);
    } else {
      // Its retry fell due and the pass came to it first: this attempt is the resubmit.
      for (auto e = q.resubmits.begin(); e != q.resubmits.end(); ++e) {
        if (e->directoryName == r->p.directoryName && e->fileName == r->p.fileName) {
          r->throttleResubmits = e->count;
          q.resubmits.erase(e);
          break;
        }
      }
    }
    full = q.depth >= q.windowSize;
    r->throttleForQFull = q.throttleForQFull;
    q.inFlight.insert(key);
    q.records.push_back(std::move(record));
    depth = ++q.depth;
    if (q.depth > q.highestDepth) q.highestDepth = q.depth;
  }
  if (Settings.Debug) WriteDebugLogf("SMPPSubmitAsyncQ", "Depth %u", depth);
  // From here a helper may free r once it is done: r is not touched after MarkDone.
  uint32_t timeoutSeconds;
  {
    std::lock_guard guard(q.lock);
    timeoutSeconds = q.commandTimeoutSeconds;
  }
  int status = full ? SMPP_ERROR_LINK  // the link went down with the window full
                    : q.link.submit(r->p.toSend, r->p.request, int(timeoutSeconds * 1000), &r->lib);
  if (status != 0) {
    r->lib.status = status;
    MarkDone(r);
    if (!q.link.linkUp()) {
      w.linkError = true;
      AsyncSmppDebugLog(w.connection, "Info -- SMPP Connection Error reported by SMPPCheckLinkStatus");
    }
  }
  w.lastActivityTick = TickMs();
  ProcessUnlessHelped(w, q);
}

}  // namespace

void AsyncSmppDebugLog(const std::string& connection, std::string_view text) {
  if (Settings.Debug || Settings.DebugAsyncSMPP) WriteDebugLogAlways(connection, text);
}

void NoteSmppLinkCheck(const std::string& connection, LinkCheck check) {
  const char* text = "";
  switch (check) {
    case LinkCheck::EnquireDenied: text = "denied by SMPPEnquireLink"; break;
    case LinkCheck::EnquireConfirmed: text = "confirmed by SMPPEnquireLink"; break;
    case LinkCheck::EnquireFailed: text = "reported by SMPPEnquireLink"; break;
    case LinkCheck::PassEndYield: text = "reported by SMPPYield 1"; break;
    case LinkCheck::IdleYield: text = "reported by SMPPYield 2"; break;
  }
  AsyncSmppDebugLog(connection, std::string("Info -- SMPP Connection Error ") + text);
}

void SmppAsyncCompletion(SMPPAsyncSubmit* record) {
  if (record && record->context) MarkDone(static_cast<AsyncPendingRecord*>(record->context));
}

void InstallAsyncCompletion(void (*setter)(SMPPAsyncCompletionFn)) {
  if (setter) setter(SmppAsyncCompletion);
}

uint32_t CheckSmppSubmitAsyncQ(QueueWorker& w, SMPPSubmitAsyncQ& q) {
  uint32_t processed = 0;
  for (;;) {
    std::unique_ptr<AsyncPendingRecord> r;
    {
      MutexLock guard(q.lock);
      if (q.doneCount == 0) break;
      for (auto it = q.records.begin(); it != q.records.end(); ++it) {
        if ((*it)->done) {
          r = std::move(*it);
          q.records.erase(it);
          --q.depth;
          --q.doneCount;
          break;
        }
      }
    }
    if (!r) break;
    // The window moves before the file work, so that the worker goes on submitting.
    q.responseEvent.notify_all();
    SubmitResult result;
    result.status = r->lib.status;
    result.smscMessageId = r->lib.smscMessageId;
    result.outcome = SmppOutcomeFor(w.connection, result.status, r->throttleForQFull);
    if (result.status != 0) result.errorText = q.link.errorText ? q.link.errorText(result.status) : "ERROR";
    if (result.status == 0) w.lastActivityTick = TickMs();
    FinishSubmission(w, r->p, result);
    {
      MutexLock guard(q.lock);
      q.inFlight.erase(PathKey(r->p.directoryName, r->p.fileName));
    }
    Throttle(q, *r, result.outcome);
    ++processed;
  }
  return processed;
}

void AttachAsyncSubmission(QueueWorker& w, QueueTransport& t, SMPPSubmitAsyncQ& q) {
  t.submitAsync = [&w, &q](PreparedSubmission&& p) { Submit(w, q, std::move(p)); };
  t.linkNote = [&w](LinkCheck check) { NoteSmppLinkCheck(w.connection, check); };
  t.inFlight = [&q](const std::string& directoryName, const std::string& fileName) {
    std::string key = PathKey(directoryName, fileName);
    MutexLock guard(q.lock);
    return q.inFlight.count(key) != 0;
  };
  t.takeResubmit = [&q](std::string& directoryName, std::string& fileName) {
    MutexLock guard(q.lock);
    // The entry taken before was submitted (and its count used) or passed over.
    q.resubmitCounts.clear();
    if (q.resubmits.empty()) return false;
    ThrottleResubmitEntry e = std::move(q.resubmits.front());
    q.resubmits.pop_front();
    directoryName = e.directoryName;
    fileName = e.fileName;
    q.resubmitCounts[PathKey(directoryName, fileName)] = e.count;
    return true;
  };
  auto yield = t.yield;
  t.yield = [&w, &q, yield](int waitMs) {
    int linkError = yield(waitMs);
    ProcessUnlessHelped(w, q);
    return linkError;
  };
}

void DrainSmppSubmitAsyncQ(QueueWorker& w, SMPPSubmitAsyncQ& q, uint64_t deadlineMs) {
  q.useHelpers = false;  // stopped: the worker ends what is left
  uint64_t start = TickMs();
  for (;;) {
    q.link.yield(1);
    CheckSmppSubmitAsyncQ(w, q);
    {
      MutexLock guard(q.lock);
      if (q.records.empty()) break;
    }
    if (TickMs() - start >= deadlineMs || !q.link.linkUp()) {
      // The library ends the session: each record still outstanding completes with its
      // link error. A record it no longer knows is ended here the same way.
      if (q.link.abandon) q.link.abandon();
      MutexLock guard(q.lock);
      for (auto& r : q.records) {
        if (r->done) continue;
        if (r->lib.status == 0) r->lib.status = SMPP_ERROR_LINK;
        r->done = true;
        ++q.doneCount;
      }
      continue;
    }
    WaitForResponse(q, 100);
  }
  CheckSmppSubmitAsyncQ(w, q);
  MutexLock guard(q.lock);
  q.resubmits.clear();
  q.resubmitCounts.clear();
  q.inFlight.clear();
  q.throttled = false;
}

void ThreadSmppSubmitAsyncHelper(QueueWorker& w, SMPPSubmitAsyncQ& q) {
  {
    MutexLock guard(q.lock);
    ++q.helpersRunning;
    q.responseEvent.notify_all();
  }
  for (;;) {
    {
      MutexLock guard(q.lock);
      auto until = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(q.depth > 0 ? kHelperWaitPendingMs : kHelperWaitIdleMs);
      while (!q.stopHelpers && q.doneCount == 0 && guard.WaitUntil(q.helperEvent, until)) {
      }
      if (q.stopHelpers) break;
    }
    CheckSmppSubmitAsyncQ(w, q);
  }
  // The last touch of q: the worker may free it as soon as the lock is released.
  MutexLock guard(q.lock);
  --q.helpersRunning;
  --q.helpersAlive;
  q.responseEvent.notify_all();
}

uint32_t StartSmppSubmitAsyncHelpers(QueueWorker& w, SMPPSubmitAsyncQ& q, uint32_t count) {
  uint32_t started = 0;
  for (uint32_t i = 0; i < count; ++i) {
    {
      MutexLock guard(q.lock);
      q.stopHelpers = false;
      ++q.helpersAlive;
    }
    if (!StartServiceThread("ThreadSmppSubmitAsyncHelper " + w.connection,
                            [&w, &q] { ThreadSmppSubmitAsyncHelper(w, q); })) {
      MutexLock guard(q.lock);
      --q.helpersAlive;
      break;
    }
    ++started;
  }
  for (int second = 0; second < kHelperStartSeconds && started != 0; ++second) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    MutexLock guard(q.lock);
    while (q.helpersRunning < started && guard.WaitUntil(q.responseEvent, until)) {
    }
    if (q.helpersRunning >= started) break;
  }
  q.useHelpers = started != 0;
  if (started < count) {
    WriteDebugLogf(w.connection.c_str(), "Started %u of %u response helper threads", started, count);
  }
  return started;
}

void StopSmppSubmitAsyncHelpers(QueueWorker& w, SMPPSubmitAsyncQ& q) {
  {
    MutexLock guard(q.lock);
    q.stopHelpers = true;
  }
  q.helperEvent.notify_all();
  MutexLock guard(q.lock);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kHelperStopSeconds);
  while (q.helpersAlive != 0 && guard.WaitUntil(q.responseEvent, until)) {
  }
  if (q.helpersAlive != 0) {
    // A helper still holds this session's queue and worker: leaving now would free them
    // under it.
    guard.Unlock();
    WriteDebugLog(w.connection, "Response helper threads have not ended; still waiting");
    guard.Lock();
    while (q.helpersAlive != 0) guard.Wait(q.responseEvent);
  }
  q.useHelpers = false;
}
