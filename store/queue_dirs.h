// Where message files live: the outbound queue tree (delay tree, per-route and per-user
// subdirectories, overflow buckets), the inbound directory, users' queues and the other
// data trees. Every directory ends in "/". A name that would become part of a path and is
// not a safe name gives "" (and a debug-log line): callers refuse the message.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string OutboundQueueRoot();   // QDir, default program data + "Q/"
std::string InboundDir();          // SmsInDir, default program data + "SMS-IN/"
std::string UsersDir();            // UsersDir, default program data + "USERS/"
std::string UserDir(std::string_view user);
std::string UserLogDir(std::string_view user);
std::string BulkQueueDir();        // created when missing
std::string MmsInDir();
std::string MmscDataDir();
std::string MessageIdTrackingDir();
// Forgets the directory settings read so far (tests, after changing the configuration).
void ReloadStoreDirectories();

// The directory for a new outbound file. delayUntil (seconds) in a later minute than now
// selects the delay tree DELAYQ/YYYYMMDD/hhmm/ (created here). A route or user gives a
// subdirectory; so does a sequence at or above MaxQDirEntries while the queue is larger.
std::string OutboundQueueDir(std::string_view route, std::string_view user, uint32_t sequence,
                             std::optional<time_t> delayUntil = std::nullopt);
// The directory for a new inbound file ("%08X" overflow buckets when the inbound queues
// exceed MaxQDirEntries and EnableBulkSmsIn is on).
std::string InboundQueueDir();
// The directory for a new file in a user's queue (overflow buckets when EnableBulkSmsIn).
std::string UserQueueDir(std::string_view user);

// The files matching pattern (case-insensitive) in root and its immediate subdirectories,
// as paths relative to root ("name" or "dir/name"). A subdirectory without matching files is
// removed when it is empty and older than a minute. allEntries: every subdirectory; else
// only names without an extension.
struct QueueWalk {
  std::string root, pattern;
  std::vector<std::string> directories;  // "." first
  size_t nextDirectory = 0;
  std::vector<std::string> files;
  size_t nextFile = 0;
};
bool QueueWalkFirst(QueueWalk& walk, const std::string& root, std::string_view pattern, bool allEntries,
                    std::string& relativePath);
bool QueueWalkNext(QueueWalk& walk, std::string& relativePath);
void QueueWalkClose(QueueWalk& walk);

// The directories of the outbound root ("." for the root) and the "*.REQ" files of one of
// them: the directory itself, or the cached lists of the queue cache thread with UseQCache.
struct QueueFind {
  std::vector<std::string> names;
  size_t next = 0;
};
bool QueueFindFirst(QueueFind& find, std::string& directoryName);
bool QueueFindNext(QueueFind& find, std::string& directoryName);
void QueueFindClose(QueueFind& find);
bool QueueFileFindFirst(QueueFind& find, std::string_view directoryName, std::string& fileName);
bool QueueFileFindNext(QueueFind& find, std::string& fileName);
void QueueFileFindClose(QueueFind& find);

// Queue cache thread body (UseQCache): rescans the outbound root when a file is written
// there (or dropped in) and every kQCacheLookEveryMs without being told.
void ThreadProcessQCache();
inline constexpr uint32_t kQCacheLookEveryMs = 3000;
bool QCacheFirstScanComplete();
// One scan and publication of the cache (the thread's pass). When it holds files the last
// one did not, the waiters of the outbound root are woken; true then.
bool QCacheScanOnce();
struct QCacheWaitCounts {
  std::atomic<uint64_t> scans{0};  // the thread's scans since the start
};
extern QCacheWaitCounts QCacheWaits;

// True when a connection must leave a per-route directory "RT_-_route_-_..." alone.
bool RouteQueueSkip(std::string_view directoryName, std::string_view route, std::string_view connectionName,
                    std::string_view backupRoute, std::string_view backupConnection);

// Removes dir (with "/" at the end or not) when it is empty and its last change is more
// than a minute old.
void RemoveOldEmptyDirectory(const std::string& dir);
