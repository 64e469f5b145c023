#include "store/bulk_queue.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/folder_removals.h"
#include "runtime/folder_wake.h"
#include "runtime/names.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/counters.h"
#include "store/dir_listing.h"
#include "store/queue_dirs.h"
#include "store/unique_files.h"
#include "store/unique_ids.h"

namespace {
constexpr std::string_view kCounterToken = "@@CTR@@";

std::string ReplaceCounter(std::string_view name, unsigned k) {
  std::string out(name);
  size_t at = FindToken(out, kCounterToken);
  if (at != std::string::npos) out.replace(at, kCounterToken.size(), std::to_string(k));
  return out;
}

bool SafeRecipient(const BulkRecipient& r) {
  std::string probe = ReplaceCounter(r.targetName, 1);
  return IsSafePathName(probe) && probe.find('=') == std::string::npos && !r.recipient.empty() &&
         !HasControlBytes(r.recipient) && r.recipient.find(';') == std::string::npos && !HasControlBytes(r.route);
}

// "QDelay-YYYYMMDDhhmm.FLG": true when that minute is still to come.
bool DelayPending(const std::string& job) {
  LocalTime now = LocalNow();
  std::string nowKey = StrPrintf("%04d%02d%02d%02d%02d", now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday,
                                 now.tm.tm_hour, now.tm.tm_min);
  for (const std::string& flag : ListNames(job, "QDelay-*.FLG", false)) {
    std::string_view digits = std::string_view(flag).substr(7);
    if (digits.size() < 12 || !std::all_of(digits.begin(), digits.begin() + 12, [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    if (std::string(digits.substr(0, 12)) > nowKey) return true;
    unlink((job + flag).c_str());
  }
  return false;
}

unsigned PaceThreshold() {
  uint32_t max = Settings.MaxQDirEntries;
  return max <= 3 ? 2 : max / 2;
}

// Until the workers have taken enough files out of target: each removal is seen as it
// happens, and the folder is counted again only once enough went (or at the look).
void PaceAgainst(const std::string& target) {
  unsigned threshold = PaceThreshold();
  unsigned count = CountFiles(target + "*.REQ");
  ++BulkQueueWaits.paceCounts;
  if (count < threshold) return;
  WriteDebugLogf("ThreadProcessBulkQ", "Waiting on q directory %s", target.c_str());
  FolderRemovals removals(target, ".REQ");
  // Without inotify the old second between counts; with it, a look for removals it cannot
  // see (another host on a network file system).
  uint32_t lookMs = removals.Watching() ? kBulkLookEveryMs : 1000;
  while (!ShutdownRequested.load()) {
    // Counted after the watch began: nothing taken out in between is missed.
    count = CountFiles(target + "*.REQ");
    ++BulkQueueWaits.paceCounts;
    if (count < threshold) break;
    ++BulkQueueWaits.paceWaits;
    if (removals.Wait(count - threshold + 1, lookMs)) ++BulkQueueWaits.paceRemovals;
  }
  WriteDebugLogf("ThreadProcessBulkQ", "Done waiting on q directory %s", target.c_str());
}

void ExpandList(const std::string& listPath, const std::vector<std::string>& templates) {
  std::string target =
      OutboundQueueDir("", StrPrintf("####%04X", NextUniqueId() & 0xFFFFu), 0);
  std::string list;
  if (target.empty() || !ReadWholeFile(listPath, list)) {
    WriteDebugLogf("ThreadProcessBulkQ", "Error %d reading %s", errno, listPath.c_str());
    return;
  }
  CreatePathDirectories(target);
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = list.size();
    std::string_view line = Trim(std::string_view(list).substr(pos, end - pos));
    pos = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, eq));
    std::string_view value = SkipBlanks(line.substr(eq + 1));
    size_t semi = value.find(';');
    std::string_view recipient = value.substr(0, semi);
    std::string_view route = semi == std::string_view::npos ? std::string_view() : value.substr(semi + 1);
    for (size_t k = 1; k <= templates.size(); ++k) {
      std::string fileName = ReplaceCounter(name, static_cast<unsigned>(k));
      if (!IsSafePathName(fileName)) {
        WriteDebugLogf("ThreadProcessBulkQ", "Refused file name \"%s\"", StripControlBytes(fileName).c_str());
        continue;
      }
      std::string content = templates[k - 1];
      if (!content.empty() && content.back() != '\n') content += "\r\n";
      AppendKeyValueLine(content, "PhoneNumber", recipient);
      if (!route.empty()) AppendKeyValueLine(content, "SMSCRoute", route);
      if (!PublishFile(target + fileName, content, PublishMode::Replace)) {
        WriteDebugLogf("ThreadProcessBulkQ", "Error %d creating %s", errno, (target + fileName).c_str());
        continue;
      }
      CounterAdd(kSmsQSize, 1);
    }
  }
  unlink(listPath.c_str());
  PaceAgainst(target);
}

void RemoveJob(const std::string& job, HeldLock& lock) {
  for (const std::string& name : ListNames(job, "*", false)) {
    if (name != "LOCK.LCK") unlink((job + name).c_str());
  }
  ReleaseLockFile(lock, true);
  rmdir(job.c_str());
}

// False when the job waits for its minute.
bool ProcessJob(const std::string& job) {
  std::vector<std::string> lists = ListNames(job, "R*.BLK", false);
  if (lists.empty() && LockFileHeld(job + "BUILD.LCK")) return true;
  if (DelayPending(job)) return false;
  HeldLock lock;
  if (!AcquireLockFile(job + "LOCK.LCK", lock)) return true;
  std::vector<std::string> templates;
  for (unsigned k = 1; k <= 99; ++k) {
    std::string text;
    if (!ReadWholeFile(job + StrPrintf("M%u.REQ", k), text)) break;
    templates.push_back(std::move(text));
  }
  if (!templates.empty()) {
    for (int pass = 0; pass < 20 && !lists.empty() && !ShutdownRequested.load(); ++pass) {
      for (const std::string& list : lists) {
        if (ShutdownRequested.load()) break;
        ExpandList(job + list, templates);
      }
      lists = ListNames(job, "R*.BLK", false);
    }
  }
  bool buildDone = RemoveLockFileIfFree(job + "BUILD.LCK");
  bool finished = templates.empty() || (buildDone && ListNames(job, "R*.BLK", false).empty());
  if (finished) {
    RemoveJob(job, lock);
  } else {
    ReleaseLockFile(lock, true);
  }
  return true;
}

// Until the next minute starts, when a delayed job may become due.
uint32_t MsToNextMinute() {
  uint64_t ms = uint64_t(60 - NowSeconds() % 60) * 1000;
  return uint32_t(ms);
}
}  // namespace

BulkQueueWaitCounts BulkQueueWaits;

std::string BulkTargetName() { return Settings.MessageIDPrefix + StrPrintf("%08X.req", NextUniqueId()); }

std::string BulkSegmentTargetName(std::string_view recipient, unsigned reference, unsigned segments) {
  std::string name = SegmentFileName(recipient, reference, segments, 0, "req");
  if (name.empty()) return name;
  return name.substr(0, name.size() - 5) + std::string(kCounterToken) + ".req";
}

bool BulkJobBegin(BulkJobWriter& job, const std::vector<std::string>& templates, std::optional<time_t> delayUntil) {
  job = BulkJobWriter();
  if (templates.empty() || templates.size() > 99) return false;
  std::string bulk = BulkQueueDir();
  // Built under a hidden name and renamed, so that no bulk thread sees a job before it
  // holds BUILD.LCK and its templates.
  std::string hidden = bulk + StrPrintf(".~job-%d-%08X", static_cast<int>(getpid()), NextUniqueId());
  if (mkdir(hidden.c_str(), 0775) != 0) {
    WriteDebugLogf("BulkJobBegin", "Error %d creating %s", errno, hidden.c_str());
    return false;
  }
  hidden += "/";
  HeldLock build;
  bool ok = AcquireLockFile(hidden + "BUILD.LCK", build);
  for (size_t k = 0; ok && k < templates.size(); ++k) {
    ok = PublishFile(hidden + StrPrintf("M%zu.REQ", k + 1), templates[k], PublishMode::CreateNew);
  }
  if (ok && delayUntil) {
    LocalTime t = LocalFromSeconds(*delayUntil);
    ok = PublishFile(hidden + StrPrintf("QDelay-%04d%02d%02d%02d%02d.FLG", t.tm.tm_year + 1900, t.tm.tm_mon + 1,
                                        t.tm.tm_mday, t.tm.tm_hour, t.tm.tm_min),
                     "", PublishMode::CreateNew);
  }
  for (int attempt = 0; ok && attempt < 1000; ++attempt) {
    std::string final = bulk + Settings.MessageIDPrefix + StrPrintf("%08X", NextUniqueId());
    if (rename(hidden.c_str(), final.c_str()) == 0) {
      job.directory = final + "/";
      build.path = job.directory + "BUILD.LCK";
      job.build = std::move(build);
      return true;
    }
    ok = errno == EEXIST || errno == ENOTEMPTY;
  }
  WriteDebugLogf("BulkJobBegin", "Error %d writing the job %s", errno, hidden.c_str());
  for (const std::string& name : ListNames(hidden, "*", false)) unlink((hidden + name).c_str());
  rmdir(hidden.c_str());
  return false;
}

bool BulkJobAddRecipients(BulkJobWriter& job, const std::vector<BulkRecipient>& recipients) {
  for (const BulkRecipient& r : recipients) {
    if (!SafeRecipient(r)) {
      WriteDebugLogf("BulkJobAddRecipients", "Refused recipient \"%s\" (file \"%s\")",
                     StripControlBytes(r.recipient).c_str(), StripControlBytes(r.targetName).c_str());
      return false;
    }
  }
  size_t perList = Settings.MaxQDirEntries;
  for (size_t start = 0; start < recipients.size(); start += perList) {
    std::string text;
    for (size_t i = start; i < recipients.size() && i < start + perList; ++i) {
      const BulkRecipient& r = recipients[i];
      text += r.targetName + "=" + r.recipient;
      if (!r.route.empty()) text += ";" + r.route;
      text += "\r\n";
    }
    bool written = false;
    while (!written && job.nextList <= 9999999) {
      written = PublishFile(job.directory + StrPrintf("R%07u.BLK", job.nextList++), text, PublishMode::CreateNew);
      if (!written && errno != EEXIST) return false;
    }
    if (!written) return false;
  }
  return true;
}

void BulkJobFinish(BulkJobWriter& job) {
  ReleaseLockFile(job.build, true);
  // The lock's removal is no write: the bulk threads are told that the job is complete.
  if (!job.directory.empty()) SignalFolderWrite(job.directory + "BUILD.LCK");
}

bool ProcessBulkQueueOnce() {
  std::string bulk = BulkQueueDir();
  bool delayed = false;
  for (const std::string& name : ListNames(bulk, "*", true)) {
    if (ShutdownRequested.load()) break;
    if (name[0] == '.') continue;
    if (!ProcessJob(bulk + name + "/")) delayed = true;
  }
  return delayed;
}

void ThreadProcessBulkQ() {
  // Made now, so that jobs other programs drop in are watched from the start.
  CreatePathDirectories(BulkQueueDir());
  FolderWake wake({BulkQueueDir()});
  while (!ShutdownRequested.load()) {
    wake.Rearm();
    bool delayed = ProcessBulkQueueOnce();
    uint32_t waitMs = delayed ? std::min(kBulkLookEveryMs, MsToNextMinute()) : kBulkLookEveryMs;
    if (wake.Wait(waitMs)) {
      ++BulkQueueWaits.written;
    } else {
      ++BulkQueueWaits.looks;
    }
  }
}
