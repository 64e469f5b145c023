#include "smsc/async_submit.h"

#include <chrono>
#include <thread>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "service/settings.h"
#include "store/message_logs.h"

namespace {

constexpr int kStatusThrottled = 0x58;
constexpr int kStatusQueueFull = 0x14;
constexpr uint32_t kMaxThrottleResubmits = 4;

std::string PathKey(const std::string& directoryName, const std::string& fileName) {
  return directoryName + "/" + fileName;
}

void MarkDone(AsyncPendingRecord* r) {
  SMPPSubmitAsyncQ& q = *r->queue;
  {
    std::lock_guard guard(q.lock);
    r->done = true;
  }
  q.responseEvent.notify_all();
}

// Waits up to ms for a completion.
void WaitForResponse(SMPPSubmitAsyncQ& q, int ms) {
  std::unique_lock guard(q.lock);
  q.responseEvent.wait_for(guard, std::chrono::milliseconds(ms), [&] {
    for (auto& r : q.records) {
      if (r->done) return true;
    }
    return false;
  });
}

void Throttle(QueueWorker& w, SMPPSubmitAsyncQ& q, AsyncPendingRecord& r, int status) {
  bool throttled = status == kStatusThrottled || (status == kStatusQueueFull && w.settings.throttleForQFull);
  std::lock_guard guard(q.lock);
  q.throttled = throttled;
  if (!throttled) return;
  std::string key = PathKey(r.p.directoryName, r.p.fileName);
  if (r.throttleResubmits > kMaxThrottleResubmits) {
    WriteDebugLog("ThrottleResubmitQCoun Exceeded", key);
    return;
  }
  for (const ThrottleResubmitEntry& e : q.resubmits) {
    if (e.directoryName == r.p.directoryName && e.fileName == r.p.fileName) return;
  }
  WriteDebugLog("AddToThrottleResubmitQ", key);
  q.resubmits.push_back({r.p.directoryName, r.p.fileName, r.throttleResubmits + 1});
}

void Submit(QueueWorker& w, SMPPSubmitAsyncQ& q, PreparedSubmission&& p) {
  // Throttled: give the SMS centre the configured pause, serving the link meanwhile.
  bool throttled;
  {
    std::lock_guard guard(q.lock);
    throttled = q.throttled;
  }
  if (throttled && w.settings.throttleErrorDelaySeconds != 0) {
    uint64_t start = TickMs();
    while (TickMs() - start < uint64_t(w.settings.throttleErrorDelaySeconds) * 1000 && !ShutdownRequested.load()) {
      q.link.yield(0);
      CheckSmppSubmitAsyncQ(w, q);
      if (!q.link.linkUp()) break;
      {
        std::lock_guard guard(q.lock);
        if (!q.throttled) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (w.settings.restartQAfterThrottleError) w.queueRestart = true;
  }
  // The window: never more than windowSize records outstanding.
  uint64_t waitStart = TickMs();
  for (;;) {
    {
      std::lock_guard guard(q.lock);
      if (q.depth < q.windowSize) break;
    }
    q.link.yield(0);
    if (CheckSmppSubmitAsyncQ(w, q) != 0) continue;
    if (!q.link.linkUp()) {
      // The library completes what is outstanding; process it before going on.
      q.link.yield(0);
      CheckSmppSubmitAsyncQ(w, q);
      std::lock_guard guard(q.lock);
      if (q.depth >= q.windowSize) break;
      continue;
    }
    WaitForResponse(q, 1);
  }
  uint64_t waited = TickMs() - waitStart;
  if (waited > 0 && (Settings.Debug || Settings.DebugAsyncSMPP)) {
    std::string text = StrPrintf("Info -- %u ms wait time for SMPP window size %u", unsigned(waited), q.windowSize);
    LogOutbound("System", "", w.connection, text, LogContent{}, "", "", "");
    WriteDebugLog(w.connection, text);
  }

  auto record = std::make_unique<AsyncPendingRecord>();
  AsyncPendingRecord* r = record.get();
  r->queue = &q;
  r->lib.context = r;
  r->p = std::move(p);
  std::string key = PathKey(r->p.directoryName, r->p.fileName);
  bool full = false;
  {
    std::lock_guard guard(q.lock);
    if (auto it = q.resubmitCounts.find(key); it != q.resubmitCounts.end()) {
      r->throttleResubmits = it->second;
      q.resubmitCounts.erase(it);
    }
    full = q.depth >= q.windowSize;
    q.records.push_back(std::move(record));
    ++q.depth;
    if (q.depth > q.highestDepth) q.highestDepth = q.depth;
    if (Settings.Debug) WriteDebugLogf("SMPPSubmitAsyncQ", "Depth %u", q.depth);
  }
  int status = full ? SMPP_ERROR_LINK  // the link went down with the window full
                    : q.link.submit(r->p.toSend, r->p.request, int(q.commandTimeoutSeconds * 1000), &r->lib);
  if (status != 0) {
    r->lib.status = status;
    MarkDone(r);
    if (!q.link.linkUp()) {
      w.linkError = true;
      if (Settings.Debug || Settings.DebugAsyncSMPP) {
        WriteDebugLog(w.connection, "Info -- SMPP Connection Error reported by SMPPCheckLinkStatus");
      }
    }
  }
  w.lastActivityTick = TickMs();
  CheckSmppSubmitAsyncQ(w, q);
}

}  // namespace

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
      std::lock_guard guard(q.lock);
      for (auto it = q.records.begin(); it != q.records.end(); ++it) {
        if ((*it)->done) {
          r = std::move(*it);
          q.records.erase(it);
          --q.depth;
          break;
        }
      }
    }
    if (!r) break;
    q.responseEvent.notify_all();
    SubmitResult result;
    result.status = r->lib.status;
    result.smscMessageId = r->lib.smscMessageId;
    if (result.status != 0) result.errorText = q.link.errorText ? q.link.errorText(result.status) : "ERROR";
    if (result.status == 0) w.lastActivityTick = TickMs();
    FinishSubmission(w, r->p, result);
    Throttle(w, q, *r, result.status);
    ++processed;
  }
  return processed;
}

void AttachAsyncSubmission(QueueWorker& w, QueueTransport& t, SMPPSubmitAsyncQ& q) {
  t.submitAsync = [&w, &q](PreparedSubmission&& p) { Submit(w, q, std::move(p)); };
  t.takeResubmit = [&q](std::string& directoryName, std::string& fileName) {
    std::lock_guard guard(q.lock);
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
    yield(waitMs);
    CheckSmppSubmitAsyncQ(w, q);
  };
}

void DrainSmppSubmitAsyncQ(QueueWorker& w, SMPPSubmitAsyncQ& q, uint64_t deadlineMs) {
  uint64_t start = TickMs();
  for (;;) {
    q.link.yield(1);
    CheckSmppSubmitAsyncQ(w, q);
    {
      std::lock_guard guard(q.lock);
      if (q.records.empty()) break;
    }
    if (TickMs() - start >= deadlineMs || !q.link.linkUp()) {
      // The library ends the session: each record still outstanding completes with its
      // link error. A record it no longer knows is ended here the same way.
      if (q.link.abandon) q.link.abandon();
      std::lock_guard guard(q.lock);
      for (auto& r : q.records) {
        if (r->done) continue;
        if (r->lib.status == 0) r->lib.status = SMPP_ERROR_LINK;
        r->done = true;
      }
      continue;
    }
    WaitForResponse(q, 100);
  }
  CheckSmppSubmitAsyncQ(w, q);
  std::lock_guard guard(q.lock);
  q.resubmits.clear();
  q.resubmitCounts.clear();
  q.throttled = false;
}
