#include "store/delay_queue.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/folder_wake.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/counters.h"
#include "store/dir_listing.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"

namespace {
bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

unsigned MoveFiles(const std::string& from, const std::string& to) {
  unsigned moved = 0;
  for (const std::string& name : ListNames(from, "*", false)) {
    if (MoveQueueFile(from + name, to + name)) {
      CounterAdd(kSmsQSize, 1);
      ++moved;
    } else {
      WriteDebugLogf("ThreadProcessDelayQ", "Error %d moving %s to %s", errno, (from + name).c_str(), to.c_str());
    }
  }
  return moved;
}
}  // namespace

unsigned ProcessDelayQueueOnce() {
  std::string root = OutboundQueueRoot();
  std::string delayRoot = root + "DELAYQ/";
  LocalTime now = LocalNow();
  std::string today = StrPrintf("%04d%02d%02d", now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday);
  std::string nowMinute = StrPrintf("%02d%02d", now.tm.tm_hour, now.tm.tm_min);
  unsigned moved = 0;
  for (const std::string& date : ListNames(delayRoot, "*", true)) {
    if (date.size() != 8 || !AllDigits(date) || date > today) continue;
    std::string dateDir = delayRoot + date + "/";
    for (const std::string& minute : ListNames(dateDir, "*", true)) {
      if (minute.size() <= 3 || !AllDigits(minute.substr(0, 4))) continue;
      if (date == today && minute.substr(0, 4) > nowMinute) continue;
      std::string minuteDir = dateDir + minute + "/";
      moved += MoveFiles(minuteDir, root);
      for (const std::string& sub : ListNames(minuteDir, "*", true)) {
        moved += MoveFiles(minuteDir + sub + "/", root + sub + "/");
        rmdir((minuteDir + sub).c_str());
      }
      // The folders of today and of this minute stay until they are past: a writer may be
      // making them right now (the thread wakes for that), and would lose them under it.
      if (date != today || minute.substr(0, 4) != nowMinute) rmdir(minuteDir.c_str());
    }
    if (date != today) rmdir(dateDir.c_str());
  }
  return moved;
}

void ThreadProcessDelayQ() {
  FolderWake wake({OutboundQueueRoot() + "DELAYQ/"});
  while (!ShutdownRequested.load()) {
    wake.Rearm();
    ProcessDelayQueueOnce();
    // The next minute's files fall due when it starts; a file written meanwhile may be due
    // already.
    int second = std::clamp(LocalNow().tm.tm_sec, 0, 59);
    wake.Wait(uint32_t(60 - second) * 1000);
  }
}
