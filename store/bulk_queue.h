// Bulk jobs: one submission to many recipients, written as message templates and compact
// recipient lists into a job directory of the bulk queue, and expanded into ordinary
// message files by the ThreadProcessBulkQ threads at a pace the queue can absorb.
//
// Job directory (BulkQueueDir + MessageIDPrefix + "%08X"):
//   BUILD.LCK                held (flock) by the submitter while it writes the job
//   QDelay-YYYYMMDDhhmm.FLG  the job waits until that minute
//   M1.REQ, M2.REQ, ...      templates: message files without PhoneNumber, one per segment
//   R0000001.BLK, ...        lines "target file name=recipient[;route]"
//   LOCK.LCK                 held by the bulk thread expanding the job
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/queue_file.h"

struct BulkRecipient {
  std::string targetName;  // BulkTargetName or BulkSegmentTargetName
  std::string recipient;
  std::string route;       // optional
};

// The writing side, used by the submission interface.
struct BulkJobWriter {
  std::string directory;  // with "/" at the end
  HeldLock build;
  uint32_t nextList = 1;
};

// Creates the job directory holding BUILD.LCK, the templates and the delay flag. The
// templates must not be empty and hold at most 99 entries.
bool BulkJobBegin(BulkJobWriter& job, const std::vector<std::string>& templates,
                  std::optional<time_t> delayUntil = std::nullopt);
// Writes the recipients as lists of at most MaxQDirEntries lines. Recipients or target
// names that are not safe are refused (false, nothing written for that call).
bool BulkJobAddRecipients(BulkJobWriter& job, const std::vector<BulkRecipient>& recipients);
// Releases and deletes BUILD.LCK: the job may now be declared finished.
void BulkJobFinish(BulkJobWriter& job);

// MessageIDPrefix + "%08X" of a new unique id + ".req" (the message id is the name without
// ".req").
std::string BulkTargetName();
// "SAR-" + prefix + recipient + "-%x-%u-@@CTR@@.req".
std::string BulkSegmentTargetName(std::string_view recipient, unsigned reference, unsigned segments);

// One pass of a bulk thread over the bulk queue; true when a job waits for a minute to come.
bool ProcessBulkQueueOnce();
// Passes whenever a job is written (or dropped in), at the minute a delayed job waits for,
// and every kBulkLookEveryMs without being told.
void ThreadProcessBulkQ();
inline constexpr uint32_t kBulkLookEveryMs = 3000;

// How the bulk threads' waits ended, since the start.
struct BulkQueueWaitCounts {
  std::atomic<uint64_t> written{0};  // a job's file was written
  std::atomic<uint64_t> looks{0};    // the wait ran out (periodic look, a delayed job's minute)
  // Expansion paced against a full queue folder:
  std::atomic<uint64_t> paceCounts{0};    // counts of the target folder's files
  std::atomic<uint64_t> paceWaits{0};     // waits for the workers to take files out
  std::atomic<uint64_t> paceRemovals{0};  // waits ended by enough files taken out
};
extern BulkQueueWaitCounts BulkQueueWaits;
