#include "inbound/inbound_scan.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
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

size_t ScanReceiptFiles(unsigned startIndex) {
  size_t completed = 0;
  for (const std::string& path : ListFiles("*.RCT", startIndex)) {
    if (ShutdownRequested.load() != 0) break;
    if (ProcessReceiptFile(path)) ++completed;
  }
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
  while (ShutdownRequested.load() == 0) {
    uint64_t seen = InboundWakeCount(InboundWakeKind::Receipts);
    ScanReceiptFiles(index);
    // Unresolved reports wait minutes: a second between walks is enough, a new one wakes us.
    WaitInboundWake(InboundWakeKind::Receipts, seen, 1000);
  }
}
