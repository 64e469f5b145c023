// The per-worker skip queue: queue files (paths relative to the queue root) this worker
// found it cannot send, passed over without being opened again. Entries not met in a pass
// are dropped after it, so a file that went away is forgotten.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/debug_log.h"

struct SkipQueue {
  struct Entry {
    std::string name;
    bool seen = false;
  };
  std::vector<Entry> entries;
  size_t sortedCount = 0;  // entries[0, sortedCount) are sorted by name
  RepeatedDebugLine cleanLine;  // the size line after each pass
};

inline constexpr size_t kSkipQueueNameLimit = 48;  // names this long or longer are never kept
inline constexpr size_t kSkipQueueGrowth = 1000;

// Start of a pass: every entry unseen.
void SkipQBeginPass(SkipQueue& q);
// True (and the entry marked seen) when name is in the sorted part.
bool SkipQFind(SkipQueue& q, std::string_view name);
// Appends name, seen, unless it is too long.
void SkipQAdd(SkipQueue& q, std::string_view name);
// After a pass with the link up: drops the unseen entries, shrinks, sorts.
void SkipQClean(SkipQueue& q);
// End of the worker cycle.
void SkipQFree(SkipQueue& q);
