#include "store/store_service.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/clock.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/counters.h"
#include "store/housekeeping.h"
#include "store/message_file.h"
#include "store/message_writer.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/unique_files.h"

namespace {
std::atomic<void (*)()> g_userUsageFlusher{nullptr};
// Set by a change, taken by the write-back thread: only the first change of a round costs a
// write to the thread's eventfd.
std::atomic<bool> g_usageChanged{false};
int UsageChangeFd() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

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

void NoteUserUsageChanged() {
  if (g_usageChanged.exchange(true)) return;
  uint64_t one = 1;
  if (write(UsageChangeFd(), &one, sizeof one) < 0) {
    // A full counter is readable anyway.
  }
}

void ThreadFlushCounters() {
  int rounds = 2;  // at the start too: a write-back, and one more that closes what it left open
  while (!ShutdownRequested.load()) {
    if (rounds == 0) {
      // Without its eventfd no change could wake the thread: it looks at the change flag
      // on a timer instead.
      int changeFd = UsageChangeFd();
      pollfd fds[2] = {{changeFd, POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
      if (poll(fds, 2, changeFd < 0 ? 500 : -1) < 0 && errno != EINTR) break;
      if (fds[1].revents) ClearStaleShutdownWake();
    }
    // Emptied before the flag is taken: a change between the two keeps its wake.
    EmptyEventFd(UsageChangeFd());
    if (g_usageChanged.exchange(false)) rounds = 2;
    if (rounds == 0) continue;
    SleepUnlessShutdown(500, TickMs());
    if (void (*flush)() = g_userUsageFlusher.load()) flush();
    --rounds;
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
