#include "inbound/inbound_scan.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "inbound/inbound_file_queue.h"
#include "inbound/inbound_files.h"
#include "inbound/inbound_processing.h"
#include "inbound/inbound_wake.h"
#include "inbound/recombination.h"
#include "inbound/receipt_resolution.h"
#include "runtime/broadcast_wake.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/folder_wake.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/counters.h"
#include "store/queue_dirs.h"

InboundWaitCounts InboundWaits;
ReceiptWaitCounts ReceiptWaits;

namespace {
constexpr uint64_t kIdleWaitMs = 5000;

InboundFileKind FileKind(int kind) { return kind == 2 ? InboundFileKind::Reports : InboundFileKind::Messages; }

// A file of an "*.IN" or "*.REC" walk; true when it was completed.
bool ProcessFile(const std::string& path) {
  InboundFileFacts facts;
  ClaimedFile file;
  if (!ClaimInboundFile(path, file, facts)) return false;
  WriteDebugLogf("ProcessInboundSMS", "Processing %s...", path.c_str());
  SmsMessageRecord m;
  ParseSMSMessage(facts.text, m);
  m.RouteName = ConnectionRouteName(m.ModemName);
  // A report matched when it arrived names the gateway's id in its text too, the one its
  // submitter was given.
  if ((m.MessageFlags & kMsgIsReport) && !m.Binary) m.Data = ReportTextWithId(m.Data, m.ReceiptMessageId);
  InboundResult r = ProcessInboundMessage(m, facts, false);
  return FinishInboundFile(file, facts, r, kSmsInQSize);
}

enum class WaitEnd { Work, Due, Look, Stop };

// Until a file is stored for this kind (the broadcast), one is written or dropped into the
// watched folders (when given), dueTick, the stop, or the periodic rescan falls due.
WaitEnd WaitForFiles(BroadcastWake& stored, FolderWake* folders, uint64_t dueTick, std::atomic<uint64_t>& wakeUps) {
  const uint64_t lookTick = TickMs() + kIdleWaitMs;
  while (ShutdownRequested.load() == 0) {
    uint64_t now = TickMs();
    if (now >= dueTick) return WaitEnd::Due;
    if (now >= lookTick) return WaitEnd::Look;
    pollfd fds[3] = {{stored.Fd(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}, {folders ? folders->Fd() : -1, POLLIN, 0}};
    int r = poll(fds, 3, PollTimeout(std::min(lookTick - now, dueTick - now)));
    ++wakeUps;
    if (r > 0 && (fds[0].revents || fds[2].revents)) return WaitEnd::Work;
    if (r > 0 && fds[1].revents) ClearStaleShutdownWake();
  }
  return WaitEnd::Stop;
}

// True when the wait ended at the periodic rescan.
bool WaitForWork(BroadcastWake& stored, FolderWake& folders) {
  WaitEnd end = WaitForFiles(stored, &folders, UINT64_MAX, InboundWaits.wakeUps);
  if (end == WaitEnd::Work) ++InboundWaits.woken;
  if (end == WaitEnd::Look) ++InboundWaits.looks;
  return end == WaitEnd::Look;
}

// Takes queued files until none is left; the files completed. *earliestDue (receipts, when
// given): the earliest next try of a file left waiting, 0 when none.
size_t TakeQueuedFiles(InboundFileKind kind, time_t* earliestDue = nullptr) {
  size_t completed = 0;
  time_t earliest = 0;
  for (std::string path; ShutdownRequested.load() == 0 && !(path = TakeInboundFile(kind)).empty();) {
    bool done = false;
    time_t due = 0;
    if (kind != InboundFileKind::Receipts && !MainFlag("ReceiveSMS")) SleepUnlessShutdown(1000, TickMs());
    else done = kind == InboundFileKind::Receipts ? ProcessReceiptFile(path, &due) : ProcessFile(path);
    ReleaseInboundFile(kind, path);
    if (done) ++completed;
    else if (due != 0 && (earliest == 0 || due < earliest)) earliest = due;
  }
  if (earliestDue) *earliestDue = earliest;
  return completed;
}
// Until a receipt is stored, the earliest waiting file's next try (a wall-clock second), the
// stop, or the periodic rescan (for files other programs drop in).
void WaitForReceipts(BroadcastWake& stored, time_t due) {
  uint64_t dueTick = UINT64_MAX;
  if (due != 0) {
    uint64_t start = TickMs();
    time_t now = NowSeconds();
    // Whole seconds from a truncated now: never early, at most a second late.
    dueTick = due <= now ? start : start + uint64_t(due - now) * 1000;
  }
  switch (WaitForFiles(stored, nullptr, dueTick, ReceiptWaits.wakeUps)) {
    case WaitEnd::Work: ++ReceiptWaits.woken; break;
    case WaitEnd::Due: ++ReceiptWaits.due; break;
    case WaitEnd::Look: ++ReceiptWaits.looks; break;
    case WaitEnd::Stop: break;
  }
}
}  // namespace

size_t ScanInboundFiles(int kind) {
  RequestInboundListing(FileKind(kind));
  size_t completed = TakeQueuedFiles(FileKind(kind));
  if (kind == 1 && ShutdownRequested.load() == 0) RecombineSegments();
  return completed;
}

size_t ScanReceiptFiles(time_t* earliestDue) {
  ++ReceiptWaits.walks;
  RequestInboundListing(InboundFileKind::Receipts);
  return TakeQueuedFiles(InboundFileKind::Receipts, earliestDue);
}

void ThreadProcessInboundSMS(int kind) {
  InboundFileKind files = FileKind(kind);
  BroadcastWake stored(InboundWakeChannel(kind == 2 ? InboundWakeKind::Reports : InboundWakeKind::Messages));
  // Files that other programs drop in wake the worker too, not only the next rescan.
  CreatePathDirectories(InboundDir());
  // Only files a walk takes: the copies the workers leave (".SMS", ".BAD") wake nobody. The
  // primary takes messages and recombines segments; reports are for the others, whose
  // watcher hands out both kinds.
  FolderWake folders({InboundDir()}, kind == 1 ? std::vector<std::string>{".IN", ".SAR"}
                                               : std::vector<std::string>{".IN", ".REC"});
  uint64_t segmentsSeen = 0;
  bool rescan = true;
  RequestInboundListing(files);
  while (ShutdownRequested.load() == 0) {
    if (DebugSettings.Debug2.load()) WriteDebugLog("ProcessInboundSMS", "Begin scan loop");
    TakeQueuedFiles(files);
    // A walk of the segments pays only after a new one came or when a lost one's wait may
    // have run out.
    uint64_t segments = SegmentCopiesStored();
    if (kind == 1 && ShutdownRequested.load() == 0 && (rescan || segments != segmentsSeen)) {
      segmentsSeen = segments;
      RecombineSegments();
    }
    if (DebugSettings.Debug2.load()) WriteDebugLog("ProcessInboundSMS", "End scan loop");
    rescan = false;
    // The primary worker always watches: new segments are its work even when no file is
    // handed out.
    bool primary = kind == 1;
    if (primary || BecomeInboundWatcher(files)) {
      // Its wakes collected whatever was written since its last watch.
      rescan = WaitForWork(stored, folders);
      stored.Rearm();
      folders.Rearm();
      if (primary) RequestInboundListing(files);
      else EndInboundWatch(files);
      continue;
    }
    // Handed a file, or the watch fell free; the stop and the periodic look are seen too.
    uint64_t start = TickMs();
    // The stop ends the wait too (WakeIdleInboundWorkers).
    while (ShutdownRequested.load() == 0 &&
           !WaitForInboundFile(files, unsigned(kIdleWaitMs - std::min<uint64_t>(TickMs() - start, kIdleWaitMs)))) {
      if (TickMs() - start >= kIdleWaitMs) {
        ++InboundWaits.looks;
        rescan = true;
        RequestInboundListing(files);
        break;
      }
    }
  }
}

void ThreadProcessInboundReceipts() {
  BroadcastWake stored(InboundWakeChannel(InboundWakeKind::Receipts));
  while (ShutdownRequested.load() == 0) {
    stored.Rearm();
    time_t earliestDue = 0;
    ScanReceiptFiles(&earliestDue);
    WaitForReceipts(stored, earliestDue);
  }
}
