// The segments of one long message: taken in order, continued at once on the connection that
// sent the first, and owned by one connection through the ".LCK" lock file of the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/unique_fd.h"

// A segment file "SAR-<first part>-<reference hex>-<count>-<number>.<ext>". key is the name
// up to the reference ("SAR-<first part>-<reference>").
struct SegmentName {
  std::string key;
  unsigned total = 0, number = 0;
  std::string extension;
};
// False for names that are not segment files.
bool ParseSegmentName(std::string_view fileName, SegmentName& out);

// The file name of segment number of the message.
std::string SegmentFileNameFor(const SegmentName& segment, unsigned number);
// The UDH (hex) without its concatenation elements (0x00, 0x08); "" when nothing else is
// left. At most 149 octets of the header are read.
std::string UdhWithoutConcatenation(std::string_view udhHex);

// dirPath ends in "/". True when a segment 1..number-1 of the same message is in dirPath.
bool EarlierSegmentWaiting(const std::string& dirPath, const SegmentName& segment);
// The lowest of the segments number+1..total present in dirPath ("" when none).
std::string NextSegmentFile(const std::string& dirPath, const SegmentName& segment);
// True when no segment file of the message is left in dirPath.
bool NoSegmentLeft(const std::string& dirPath, const SegmentName& segment);

// The lock file held while one segment is being sent.
struct LongMessageLock {
  UniqueFd fd;  // flock'ed (exclusive) while held
  std::string path, dirPath;
  SegmentName segment;
  std::string previous;  // the content before this attempt
  bool held() const { return fd.valid(); }
};

// Takes the lock of the message for connection. False when the message belongs to another
// connection (a name without "Pending:") or another connection is sending it now (its flock
// is held); a "Pending:" owner whose flock is free has gone and is taken over.
bool AcquireLongMessageLock(const std::string& dirPath, const SegmentName& segment, const std::string& connection,
                            LongMessageLock& lock);
// After the attempt: on success the connection becomes the owner. The lock file is put on
// the deletion list once no segment of the message is left.
void ReleaseLongMessageLock(LongMessageLock& lock, const std::string& connection, bool sent);

// The main loop (every second): deletes listed locks older than 5000 ms whose segments are
// still all gone, and refreshes the entries whose segments reappeared. At shutdown
// (atShutdown) every listed lock whose segments are gone is deleted whatever its age.
void ProcessLongMessageLockDeletions(bool atShutdown);
size_t LongMessageLockDeletionsPending();
