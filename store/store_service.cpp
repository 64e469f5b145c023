#include "store/store_service.h"

#include <atomic>
#include <thread>

#include "runtime/clock.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "store/counters.h"
#include "store/housekeeping.h"
#include "store/message_file.h"
#include "store/message_writer.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/unique_files.h"

namespace {
std::atomic<void (*)()> g_userUsageFlusher{nullptr};

uint32_t CountWalk(const std::string& root, std::string_view pattern, bool skipMmsQueues) {
  QueueWalk walk;
  std::string relative;
  uint32_t count = 0;
  for (bool more = QueueWalkFirst(walk, root, pattern, true, relative); more; more = QueueWalkNext(walk, relative)) {
    if (skipMmsQueues && StartsWithNoCase(relative, "MMSQ__") && relative.find('/') != std::string::npos) continue;
    ++count;
  }
  QueueWalkClose(walk);
  return count;
}
}  // namespace

void StoreStartup() {
  CountersOpen();
  CounterResetQueueSizes();
  CounterAdd(kSmsQSize, CountWalk(OutboundQueueRoot(), "*.REQ", true));
  std::string inbound = InboundDir();
  CounterAdd(kSmsInQSize, CountWalk(inbound, "*.IN", false) + CountWalk(inbound, "*.REC", false));
  CounterAdd(kSmsRcptQSize, CountWalk(inbound, "*.RCT", false));
  CountersFlush();
}

void RunHourlyHousekeeping() { Housekeeping(); }

void WriteBackCounters() { CountersFlush(); }
void CloseMessageLogs() { LogsClose(); }
void CloseCounters() { CountersClose(); }

void SetUserUsageFlusher(void (*flush)()) { g_userUsageFlusher.store(flush); }

void ThreadFlushCounters() {
  while (!ShutdownRequested.load()) {
    if (void (*flush)() = g_userUsageFlusher.load()) flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

std::string WriteInboundFile(std::string_view extension, std::string_view content) {
  std::string path = CreateUniqueFile(InboundQueueDir(), extension, content);
  if (!path.empty()) CounterAdd(EqualsNoCase(extension, "rct") ? kSmsRcptQSize : kSmsInQSize, 1);
  return path;
}

bool WriteInboundWapPush(std::string_view hexData) {
  SmsMessageRecord m;
  m.Inbound = true;
  m.Sender = "IPNotify";
  m.UDH = "0605040B8423F0";
  m.Dcs = 4;
  m.Data = hexData;
  return !WriteInboundFile("in", MessageFileText(m, MessageLayout::WapPush)).empty();
}
