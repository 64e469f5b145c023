#include "service/alert_scanner.h"

#include <sys/stat.h>

#include <string>

#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/file_io.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_dir.h"
#include "runtime/waits.h"
#include "store/queue_dirs.h"
#include "store/store_service.h"

std::atomic<bool> IPNotifyActive{false};

namespace {
// "*.REQ" files of the queue root and of its immediate subdirectories.
uint32_t CountQueuedRequests(const std::string& root) {
  uint32_t count = CountFiles(root + "*.REQ");
  UniqueDir d(root);
  while (struct dirent* e = d.Next()) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((root + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) count += CountFiles(root + name + "/*.REQ");
  }
  return count;
}
}  // namespace

uint32_t ScanAlertsOnce(QueueAlertState& state) {
  IPNotifyActive.store(!MMSCIniSection("IPNotify").empty());
  uint32_t count = CountQueuedRequests(OutboundQueueRoot());
  uint32_t threshold = MainNumber("AlertEMailQueueSize");
  time_t now = NowSeconds();
  if (threshold != 0 && count > threshold) {
    if (state.lastAlert == 0 || now - state.lastAlert >= 3600) {
      std::string text = StrPrintf("Message Queue Size Alert:  %u messages are in the outbound SMS queue", count);
      WriteDebugLog("ThreadScanAlerts", text);
      ReportEvent(EventKind::Warning, text);
      state.lastAlert = now;
      state.outstanding = true;
    }
  } else if (state.outstanding) {
    state.outstanding = false;
    std::string text = StrPrintf(
        "Resolved:  Message Queue Size no longer exceeds threshold (%u messages in outbound SMS queue)", count);
    WriteDebugLog("ThreadScanAlerts", text);
    ReportEvent(EventKind::Information, text);
  }
  return count;
}

void ThreadScanAlerts() {
  QueueAlertState state;
  uint64_t minuteStart = TickMs();
  while (ShutdownRequested.load() == 0) {
    SleepUnlessShutdown(2000, TickMs());
    if (ShutdownRequested.load() != 0 || TickMs() - minuteStart < 60000) continue;
    minuteStart = TickMs();
    ScanAlertsOnce(state);
    SaveUniqueId();
  }
}
