#include "smsc/skip_queue.h"

#include <algorithm>
#include <new>

#include "config/settings.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"

namespace {

void LogSize(const char* where, const SkipQueue& q) {
  if (Settings.Debug) {
    WriteDebugLogf(where, "Debug:  SkipQSize = %u, SkipQCount = %u", unsigned(q.entries.capacity()),
                   unsigned(q.entries.size()));
  }
}

}  // namespace

void SkipQBeginPass(SkipQueue& q) {
  for (SkipQueue::Entry& e : q.entries) e.seen = false;
}

bool SkipQFind(SkipQueue& q, std::string_view name) {
  auto end = q.entries.begin() + std::ptrdiff_t(q.sortedCount);
  auto it = std::lower_bound(q.entries.begin(), end, name,
                             [](const SkipQueue::Entry& e, std::string_view n) { return e.name < n; });
  if (it == end || it->name != name) return false;
  it->seen = true;
  return true;
}

void SkipQAdd(SkipQueue& q, std::string_view name) {
  if (name.size() >= kSkipQueueNameLimit) return;
  try {
    if (q.entries.size() == q.entries.capacity()) q.entries.reserve(q.entries.capacity() + kSkipQueueGrowth);
    q.entries.push_back({std::string(name), true});
  } catch (const std::bad_alloc&) {
    // Without room the queue only costs reopening files: start again empty.
    q.entries.clear();
    q.entries.shrink_to_fit();
    q.sortedCount = 0;
    return;
  }
  LogSize("SkipQAdd", q);
}

void SkipQClean(SkipQueue& q) {
  q.entries.erase(std::remove_if(q.entries.begin(), q.entries.end(), [](const SkipQueue::Entry& e) { return !e.seen; }),
                  q.entries.end());
  if (q.entries.capacity() > q.entries.size() + kSkipQueueGrowth) {
    std::vector<SkipQueue::Entry> smaller;
    smaller.reserve(q.entries.size() + kSkipQueueGrowth);
    std::move(q.entries.begin(), q.entries.end(), std::back_inserter(smaller));
    q.entries.swap(smaller);
  }
  std::sort(q.entries.begin(), q.entries.end(),
            [](const SkipQueue::Entry& a, const SkipQueue::Entry& b) { return a.name < b.name; });
  // A name added twice (found unsorted, added again) is kept once.
  q.entries.erase(std::unique(q.entries.begin(), q.entries.end(),
                              [](const SkipQueue::Entry& a, const SkipQueue::Entry& b) { return a.name == b.name; }),
                  q.entries.end());
  q.sortedCount = q.entries.size();
  // After every pass: an idle link would repeat the same line many times a minute.
  if (Settings.Debug) {
    WriteDebugLogUnlessRepeated(q.cleanLine, "SkipQClean",
                                StrPrintf("Debug:  SkipQSize = %u, SkipQCount = %u", unsigned(q.entries.capacity()),
                                          unsigned(q.entries.size())));
  }
}

void SkipQFree(SkipQueue& q) {
  if (Settings.Debug) WriteDebugLog("SkipQFree", "Enter");
  q.entries.clear();
  q.entries.shrink_to_fit();
  q.sortedCount = 0;
  if (Settings.Debug) WriteDebugLog("SkipQFree", "Exit");
}
