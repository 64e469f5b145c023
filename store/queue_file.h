// The queue file protocol: the one way to create, publish, claim, rewrite and delete a
// queue file, and to hold lock and flag files. Nothing else in the gateway calls open,
// link, rename or unlink on queue files.
//
// - A file appears under its final name only complete: the content goes to a temporary
//   file (".~...tmp") in the same directory, which is then linked to the final name
//   (create-new: fails with EEXIST when the name is taken) or renamed over it (replace).
//   With spare files on, a create-new reuses a deleted file: written and cut to length
//   under its spare name, then renamed to the final name without replacing one.
// - A sender claims a file with ClaimQueueFile: an exclusive non-blocking flock on its own
//   descriptor, then a check that the path still names the same inode. It deletes the file
//   (DeleteClaimedFile) before the claim is released, or rewrites it (RewriteClaimedFile:
//   new inode, same modification time, claim moved to the new inode) and releases it.
// - A file's modification time is its creation time: rewrites keep it.
// - Lock and flag files mean "held" (an flock on them), never "exists".
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

#include "runtime/unique_fd.h"

enum class PublishMode { CreateNew, Replace };

// Writes content to a temporary file beside path and publishes it under path. A missing
// directory is created, also when it vanishes before the publication (one more attempt
// under the same name). keepTime (not 0) becomes the file's modification time.
// False on failure, errno kept (EEXIST: the name exists, CreateNew only).
bool PublishFile(const std::string& path, std::string_view content, PublishMode mode, time_t keepTime = 0);

// Deleted files kept for reuse as new ones (at most maxFiles) in directory, which must be
// on the queues' file system; files already there are taken over. Only the gateway's own
// process may use a folder. Returns how many spare files there are.
size_t EnableSpareFiles(const std::string& directory, size_t maxFiles);
// True when path lies on an ext4 file system without a journal: there a freed inode is not
// reused for minutes and every allocation passes over the recent ones, so reusing deleted
// queue files pays; with a journal a rename costs more than a delete and a create.
bool SpareFilesPay(const std::string& path);
void DisableSpareFiles();
size_t SpareFileCount();

// The scoped claim: released when it goes out of scope, unless it was deleted
// (DeleteClaimedFile) or handed over (moved to the one that finishes the file).
// The note that this process holds the claim on a path: another thread of ours passes
// over the file without opening and locking it. Dropped before the lock is released.
class ClaimMark {
 public:
  ClaimMark() = default;
  explicit ClaimMark(const std::string& path);
  ClaimMark(ClaimMark&& other) noexcept;
  ClaimMark& operator=(ClaimMark&& other) noexcept;
  ~ClaimMark() { Drop(); }
  void Drop();

 private:
  std::string path_;
};

struct ClaimedFile {
  UniqueFd fd;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  ClaimMark mark;  // last, so that it goes before the lock
  bool valid() const { return fd.valid(); }
};

// False when the file is gone, held by another sender, or was replaced meanwhile, and while
// it is empty and less than a minute old (another program still writing it in place).
bool ClaimQueueFile(const std::string& path, ClaimedFile& out);
// The whole content; false when it cannot be read or is larger than maxBytes.
bool ReadClaimedFile(const ClaimedFile& file, std::string& out, size_t maxBytes);
// Replaces the content without ever exposing a partial file; the modification time stays.
bool RewriteClaimedFile(ClaimedFile& file, std::string_view content);
// Deletes the file, then releases the claim. With lastReference, a file whose name was
// removed for good (not kept as a spare) keeps its descriptor there instead of closing it:
// closing the last reference frees the file's blocks, which a caller may leave until its
// time-critical step is done.
bool DeleteClaimedFile(ClaimedFile& file, UniqueFd* lastReference = nullptr);
// Leaves the file in place, before the claim goes out of scope.
void ReleaseClaim(ClaimedFile& file);
// Deletions of claimed files by this process are numbered. A listing notes the number when
// it is complete (ClaimedDeleteCount, never 0); a name it holds that was deleted here since
// then is gone (DeletedHereSince), and a name made again after that comes with a later
// listing. listedAt 0: not from a listing, never gone.
uint64_t ClaimedDeleteCount();
bool DeletedHereSince(const std::string& path, uint64_t listedAt);

// Moves a file to a new name without replacing one; across file systems by copying
// (modification time kept). False with EEXIST when the target exists.
bool MoveQueueFile(const std::string& from, const std::string& to);

// The modification time, which stands for the creation time; 0 when the file is missing.
time_t FileCreationTime(const std::string& path);

struct HeldLock {
  UniqueFd fd;
  std::string path;
  bool valid() const { return fd.valid(); }
};
// Creates path when missing and takes an exclusive non-blocking flock on it. False when
// another holder has it.
bool AcquireLockFile(const std::string& path, HeldLock& out);
// Releases the lock; with remove, deletes the file first (while still held).
void ReleaseLockFile(HeldLock& lock, bool remove);
// True while someone holds the lock file.
bool LockFileHeld(const std::string& path);
// Deletes path unless it is held. True when the file is gone afterwards.
bool RemoveLockFileIfFree(const std::string& path);
