#include "inbound/inbound_scan.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <vector>

#include "config/settings.h"
#include "config/settings_registry.h"
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
std::atomic<unsigned> g_workerNumber{0};

// The walk's files, starting at a point of its own: workers that begin at the same file
// only collide on their claims.
std::vector<std::string> ListFiles(const char* pattern, unsigned startIndex) {
  std::vector<std::string> files;
  QueueWalk walk;
  std::string relative;
  std::string root = InboundDir();
  for (bool more = QueueWalkFirst(walk, root, pattern, true, relative); more; more = QueueWalkNext(walk, relative)) {
    files.push_back(root + relative);
  }
  QueueWalkClose(walk);
  if (files.size() > 1 && startIndex > 0) {
    double spread = std::fmod(startIndex * 0.6180339887, 1.0);
    size_t first = size_t(spread * double(files.size())) % files.size();
    std::rotate(files.begin(), files.begin() + long(first), files.end());
  }
  return files;
}

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

// Until a file is stored for this kind (the broadcast), a file is written or dropped into
// the inbound folders, the stop, or the periodic rescan falls due.
void WaitForWork(BroadcastWake& stored, FolderWake& folders) {
  uint64_t start = TickMs();
  while (ShutdownRequested.load() == 0) {
    uint64_t spent = TickMs() - start;
    if (spent >= kIdleWaitMs) {
      ++InboundWaits.looks;
      return;
    }
    pollfd fds[3] = {{stored.Fd(), POLLIN, 0}, {folders.Fd(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
    // The frame wants a look at the stop flag every second.
    int r = poll(fds, 3, int(std::min<uint64_t>(kIdleWaitMs - spent, 1000)));
    ++InboundWaits.wakeUps;
    if (r > 0 && (fds[0].revents || fds[1].revents)) {
      ++InboundWaits.woken;
      return;
    }
  }
}
// Until a receipt is stored, the earliest waiting file's next try (a wall-clock second), the
// stop, or the periodic rescan (for files other programs drop in).
void WaitForReceipts(BroadcastWake& stored, time_t due) {
  uint64_t start = TickMs();
  uint64_t lookTick = start + kIdleWaitMs, dueTick = UINT64_MAX;
  if (due != 0) {
    time_t now = NowSeconds();
    // Whole seconds from a truncated now: never early, at most a second late.
    dueTick = due <= now ? start : start + uint64_t(due - now) * 1000;
  }
  while (ShutdownRequested.load() == 0) {
    uint64_t now = TickMs();
    if (now >= dueTick) {
      ++ReceiptWaits.due;
      return;
    }
    if (now >= lookTick) {
      ++ReceiptWaits.looks;
      return;
    }
    pollfd fds[2] = {{stored.Fd(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
    // The frame wants a look at the stop flag every second.
    int r = poll(fds, 2, int(std::min<uint64_t>({lookTick - now, dueTick - now, 1000})));
    ++ReceiptWaits.wakeUps;
    if (r > 0 && fds[0].revents) {
      ++ReceiptWaits.woken;
      return;
    }
  }
}
}  // namespace

size_t ScanInboundFiles(int kind, unsigned startIndex) {
  const char* pattern = kind == 2 ? "*.REC" : "*.IN";
  size_t completed = 0;
  for (const std::string& path : ListFiles(pattern, startIndex)) {
    if (ShutdownRequested.load() != 0) break;
    if (!MainFlag("ReceiveSMS")) {
      SleepUnlessShutdown(1000, TickMs());
      continue;
    }
    if (ProcessFile(path)) ++completed;
  }
  if (kind == 1 && ShutdownRequested.load() == 0) RecombineSegments();
  return completed;
}

size_t ScanReceiptFiles(unsigned startIndex, time_t* earliestDue) {
  ++ReceiptWaits.walks;
  size_t completed = 0;
  time_t earliest = 0;
  for (const std::string& path : ListFiles("*.RCT", startIndex)) {
    if (ShutdownRequested.load() != 0) break;
    time_t due = 0;
    if (ProcessReceiptFile(path, &due)) {
      ++completed;
    } else if (due != 0 && (earliest == 0 || due < earliest)) {
      earliest = due;
    }
  }
  if (earliestDue) *earliestDue = earliest;
  return completed;
}

void ThreadProcessInboundSMS(int kind) {
  unsigned index = g_workerNumber.fetch_add(1);
  BroadcastWake stored(InboundWakeChannel(kind == 2 ? InboundWakeKind::Reports : InboundWakeKind::Messages));
  // Files that other programs drop in wake the worker too, not only the next rescan.
  CreatePathDirectories(InboundDir());
  FolderWake folders({InboundDir()});
  while (ShutdownRequested.load() == 0) {
    stored.Rearm();
    folders.Rearm();
    if (DebugSettings.Debug2.load()) WriteDebugLog("ProcessInboundSMS", "Begin scan loop");
    size_t completed = ScanInboundFiles(kind, index);
    if (DebugSettings.Debug2.load()) WriteDebugLog("ProcessInboundSMS", "End scan loop");
    if (completed == 0) WaitForWork(stored, folders);
  }
}

void ThreadProcessInboundReceipts() {
  unsigned index = g_workerNumber.fetch_add(1);
  BroadcastWake stored(InboundWakeChannel(InboundWakeKind::Receipts));
  while (ShutdownRequested.load() == 0) {
    stored.Rearm();
    time_t earliestDue = 0;
    ScanReceiptFiles(index, &earliestDue);
    WaitForReceipts(stored, earliestDue);
  }
}
