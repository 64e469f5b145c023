#include "store/queue_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "runtime/clock.h"
#include "runtime/file_io.h"
#include "runtime/folder_wake.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"
#include "store/durable_writes.h"

namespace {
std::atomic<uint64_t> g_tempCounter{0};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Creates a new temporary file beside path (directories created when missing).
UniqueFd CreateTempBeside(const std::string& path, std::string& tempPath, bool* madeDirectories = nullptr) {
  std::string dir = DirectoryOf(path);
  bool createdDirectories = false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = dir + StrPrintf(".~%d-%llx.tmp", static_cast<int>(getpid()),
                               static_cast<unsigned long long>(g_tempCounter.fetch_add(1)));
    UniqueFd fd(open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0664));
    if (fd) return fd;
    if (errno == ENOENT && !createdDirectories) {
      createdDirectories = true;
      if (madeDirectories != nullptr) *madeDirectories = true;
      CreatePathDirectories(path);
      continue;
    }
    if (errno != EEXIST) return UniqueFd();
  }
  return UniqueFd();
}

bool SetFileTime(int fd, const struct timespec& when) {
  struct timespec times[2] = {when, when};
  return futimens(fd, times) == 0;
}

bool SameInode(const std::string& path, int fd, dev_t* device = nullptr, ino_t* inode = nullptr,
               struct stat* fdStat = nullptr) {
  struct stat byFd, byPath;
  if (fstat(fd, &byFd) != 0 || stat(path.c_str(), &byPath) != 0) return false;
  if (fdStat != nullptr) *fdStat = byFd;
  if (byFd.st_nlink == 0 || byFd.st_dev != byPath.st_dev || byFd.st_ino != byPath.st_ino) return false;
  if (device != nullptr) *device = byFd.st_dev;
  if (inode != nullptr) *inode = byFd.st_ino;
  return true;
}
}  // namespace

namespace {
// Create-new through an unnamed file: one directory operation (the link) instead of three
// (create, link, unlink), which is most of the cost of a submission. False with errno
// EOPNOTSUPP when the file system has no unnamed files; the caller then names a temporary.
bool PublishUnnamed(const std::string& path, std::string_view content, time_t keepTime, UniqueFd& published,
                    bool& madeDirectories) {
  std::string dir = DirectoryOf(path);
  UniqueFd fd(open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0664));
  if (!fd && errno == ENOENT) {
    madeDirectories = true;
    CreatePathDirectories(path);
    fd.reset(open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0664));
  }
  if (!fd) {
    if (errno == EISDIR || errno == EINVAL || errno == EOPNOTSUPP) errno = EOPNOTSUPP;
    return false;
  }
  if (WriteText(fd.get(), content) != content.size()) return false;
  if (keepTime != 0 && !SetFileTime(fd.get(), {keepTime, 0})) return false;
  std::string self = StrPrintf("/proc/self/fd/%d", fd.get());
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    published = std::move(fd);
    return true;
  }
  if (errno == ENOENT && access("/proc/self/fd", F_OK) != 0) errno = EOPNOTSUPP;  // no /proc
  return false;
}

std::atomic<bool> g_unnamedFilesWork{true};

// Spare files: ext4 without a journal passes over every inode freed in the last 30 seconds
// when it allocates one, so creating and deleting a file per message costs more the faster
// messages flow. Deleted queue files go to the spare folder instead and come back as new
// ones, so a steady flow allocates and frees no inode at all.
struct SparePool {
  Mutex lock;
  std::string directory GUARDED_BY(lock);  // with its final "/"; empty: off
  std::vector<std::string> names GUARDED_BY(lock);
  size_t maxFiles GUARDED_BY(lock) = 0;
  dev_t device GUARDED_BY(lock) = 0;
  uid_t owner GUARDED_BY(lock) = 0;
  uint64_t next GUARDED_BY(lock) = 0;
};
SparePool g_spares;
std::atomic<bool> g_sparesOn{false};

bool TakeSpare(std::string& path) {
  if (!g_sparesOn.load(std::memory_order_relaxed)) return false;
  MutexLock guard(g_spares.lock);
  if (g_spares.names.empty()) return false;
  path = g_spares.directory + g_spares.names.back();
  g_spares.names.pop_back();
  return true;
}

void ReturnSpare(const std::string& path) {
  MutexLock guard(g_spares.lock);
  if (g_spares.directory.empty() || path.compare(0, g_spares.directory.size(), g_spares.directory) != 0) {
    unlink(path.c_str());
    return;
  }
  g_spares.names.push_back(path.substr(g_spares.directory.size()));
}

// Moves a claimed file to the spare folder instead of unlinking it. False when the file
// is not one to reuse (other links, another owner, another file system, the folder full).
bool RecycleClaimedFile(const ClaimedFile& file, const struct stat& st, std::string& target) {
  if (!g_sparesOn.load(std::memory_order_relaxed)) return false;
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size > 65536) return false;
  {
    MutexLock guard(g_spares.lock);
    if (g_spares.directory.empty() || g_spares.names.size() >= g_spares.maxFiles || st.st_dev != g_spares.device ||
        st.st_uid != g_spares.owner) {
      return false;
    }
    target = g_spares.directory + StrPrintf("s%d-%llx", static_cast<int>(getpid()),
                                            static_cast<unsigned long long>(g_spares.next++));
  }
  return rename(file.path.c_str(), target.c_str()) == 0;
}

// Create-new through a spare file: written, cut to its new length, then given the name
// unless it exists. 1 = published, 0 = no spare could be used, -1 = failed (errno set).
int PublishThroughSpare(const std::string& path, std::string_view content, time_t keepTime, UniqueFd& published,
                        bool& madeDirectories) {
  std::string spare;
  while (TakeSpare(spare)) {
    UniqueFd fd(open(spare.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
      unlink(spare.c_str());
      continue;
    }
    bool written = WriteText(fd.get(), content) == content.size() &&
                   ftruncate(fd.get(), static_cast<off_t>(content.size())) == 0;
    if (written && keepTime != 0) written = SetFileTime(fd.get(), {keepTime, 0});
    if (!written) {
      unlink(spare.c_str());
      return 0;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        published = std::move(fd);
        return 1;
      }
      if (errno == ENOENT && attempt == 0 && access(spare.c_str(), F_OK) == 0) {
        madeDirectories = true;
        CreatePathDirectories(path);
        continue;
      }
      break;
    }
    int err = errno;
    fd.reset();
    if (err == EEXIST) {
      ReturnSpare(spare);
      errno = EEXIST;
      return -1;
    }
    // Another file system, or no exclusive rename: the unnamed-file way still works.
    unlink(spare.c_str());
    if (err == EXDEV || err == EINVAL || err == ENOSYS) {
      g_sparesOn.store(false);
      return 0;
    }
    errno = err;
    return -1;
  }
  return 0;
}
}  // namespace

size_t EnableSpareFiles(const std::string& directory, size_t maxFiles) {
  DisableSpareFiles();
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  CreatePathDirectories(dir);
  struct stat st;
  if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  std::vector<std::string> names;
  UniqueDir d(dir);
  while (dirent* e = d.Next()) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat f;
    if (lstat((dir + name).c_str(), &f) != 0 || !S_ISREG(f.st_mode)) continue;
    if (names.size() < maxFiles && f.st_nlink == 1 && f.st_uid == geteuid()) {
      names.push_back(name);
    } else {
      unlink((dir + name).c_str());
    }
  }
  MutexLock guard(g_spares.lock);
  g_spares.directory = dir;
  g_spares.names = std::move(names);
  g_spares.maxFiles = maxFiles;
  g_spares.device = st.st_dev;
  g_spares.owner = geteuid();
  g_sparesOn.store(true);
  return g_spares.names.size();
}

bool SpareFilesPay(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  char link[4096];
  std::string sys = StrPrintf("/sys/dev/block/%u:%u", major(st.st_dev), minor(st.st_dev));
  ssize_t n = readlink(sys.c_str(), link, sizeof link - 1);
  if (n <= 0) return false;
  link[n] = '\0';
  std::string name = link;
  name = name.substr(name.rfind('/') + 1);
  if (name.empty() || access(("/proc/fs/ext4/" + name).c_str(), F_OK) != 0) return false;
  // A journal shows as "<device>-<inode>" under /proc/fs/jbd2.
  bool journal = false;
  UniqueDir d("/proc/fs/jbd2");
  while (dirent* e = d.Next()) {
    if (std::string(e->d_name).rfind(name + "-", 0) == 0) journal = true;
  }
  return !journal;
}

void DisableSpareFiles() {
  g_sparesOn.store(false);
  MutexLock guard(g_spares.lock);
  g_spares.directory.clear();
  g_spares.names.clear();
}

size_t SpareFileCount() {
  MutexLock guard(g_spares.lock);
  return g_spares.names.size();
}

namespace {
// published: the descriptor of the file now under its final name.
bool PublishWays(const std::string& path, std::string_view content, PublishMode mode, time_t keepTime,
                 UniqueFd& published, bool& madeDirectories) {
  if (mode == PublishMode::CreateNew) {
    int r = PublishThroughSpare(path, content, keepTime, published, madeDirectories);
    if (r == 1) return true;
    if (r == -1) return false;
  }
  if (mode == PublishMode::CreateNew && g_unnamedFilesWork.load(std::memory_order_relaxed)) {
    if (PublishUnnamed(path, content, keepTime, published, madeDirectories)) return true;
    if (errno != EOPNOTSUPP) return false;
    g_unnamedFilesWork.store(false);
  }
  std::string tempPath;
  UniqueFd fd = CreateTempBeside(path, tempPath, &madeDirectories);
  if (!fd) return false;
  bool ok = WriteText(fd.get(), content) == content.size();
  if (ok && keepTime != 0) ok = SetFileTime(fd.get(), {keepTime, 0});
  int err = 0;
  if (ok) {
    if (mode == PublishMode::CreateNew) {
      ok = link(tempPath.c_str(), path.c_str()) == 0;
      err = errno;
      unlink(tempPath.c_str());
    } else {
      ok = rename(tempPath.c_str(), path.c_str()) == 0;
      err = errno;
      if (!ok) unlink(tempPath.c_str());
    }
  } else {
    err = errno;
    unlink(tempPath.c_str());
  }
  if (!ok) errno = err;
  if (ok) published = std::move(fd);
  return ok;
}

bool PublishOnce(const std::string& path, std::string_view content, PublishMode mode, time_t keepTime) {
  UniqueFd published;
  bool madeDirectories = false;
  if (!PublishWays(path, content, mode, keepTime, published, madeDirectories)) return false;
  NoteDurableFile(std::move(published), DirectoryOf(path), madeDirectories);
  return true;
}
}  // namespace

bool PublishFile(const std::string& path, std::string_view content, PublishMode mode, time_t keepTime) {
  // Known as ours before the link: a waiter woken by its event and again by the signal
  // below would walk its folder twice.
  ExpectFolderWrite(path);
  bool published = PublishOnce(path, content, mode, keepTime);
  // The directory vanished between the write and the link (an emptied folder is removed by
  // the clean-up): once more under the same name, which creates it again.
  if (!published && errno == ENOENT) published = PublishOnce(path, content, mode, keepTime);
  // Whoever waits for files there goes to work now, not at its next look.
  if (published) SignalFolderWrite(path);
  return published;
}

namespace {
// Workers of one process mostly race for the same newest file (eight modems woken by one
// submission): a claim held here answers them without three system calls each.
struct HeldClaims {
  Mutex lock;
  std::unordered_set<std::string> paths GUARDED_BY(lock);
  // The last claimed files deleted here, numbered: the other workers' listings still name
  // them, and each would open the name in vain.
  uint64_t deletes GUARDED_BY(lock) = 1;
  std::unordered_map<std::string, uint64_t> gone GUARDED_BY(lock);
  std::deque<std::pair<std::string, uint64_t>> goneOrder GUARDED_BY(lock);
};
HeldClaims g_held;

// Listings are followed for seconds: this many deletions are plenty to remember.
constexpr size_t kGoneRemembered = 4096;

void NoteDeletedHere(const std::string& path) {
  MutexLock guard(g_held.lock);
  uint64_t number = ++g_held.deletes;
  g_held.gone[path] = number;
  g_held.goneOrder.emplace_back(path, number);
  if (g_held.goneOrder.size() > kGoneRemembered) {
    auto& [oldest, oldestNumber] = g_held.goneOrder.front();
    auto it = g_held.gone.find(oldest);
    if (it != g_held.gone.end() && it->second == oldestNumber) g_held.gone.erase(it);
    g_held.goneOrder.pop_front();
  }
}

bool HeldHere(const std::string& path) {
  MutexLock guard(g_held.lock);
  return g_held.paths.count(path) != 0;
}
}  // namespace

uint64_t ClaimedDeleteCount() {
  MutexLock guard(g_held.lock);
  return g_held.deletes;
}

bool DeletedHereSince(const std::string& path, uint64_t listedAt) {
  if (listedAt == 0) return false;
  MutexLock guard(g_held.lock);
  auto it = g_held.gone.find(path);
  return it != g_held.gone.end() && it->second > listedAt;
}

ClaimMark::ClaimMark(const std::string& path) {
  MutexLock guard(g_held.lock);
  if (g_held.paths.insert(path).second) path_ = path;
}

ClaimMark::ClaimMark(ClaimMark&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

ClaimMark& ClaimMark::operator=(ClaimMark&& other) noexcept {
  if (this != &other) {
    Drop();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void ClaimMark::Drop() {
  if (path_.empty()) return;
  MutexLock guard(g_held.lock);
  g_held.paths.erase(path_);
  path_.clear();
}

constexpr time_t kUnwrittenFileSeconds = 60;

bool ClaimQueueFile(const std::string& path, ClaimedFile& out) {
  ReleaseClaim(out);
  out = ClaimedFile();
  if (HeldHere(path)) return false;
  // Read access is enough: rewrites and deletes work on names, not on this descriptor, so a
  // read-only file dropped by another program can still be sent.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  // Sent and deleted, or replaced, between our open and our lock.
  struct stat st;
  if (!SameInode(path, fd.get(), &out.device, &out.inode, &st)) return false;
  // Made in place by another program that has not written it yet (programs are told to drop
  // files whole, by rename, but not all do): taken now, its content would go to a deleted
  // file. Its close wakes the folder's watchers again; a file empty for a minute is taken.
  if (st.st_size == 0 && NowSeconds() - st.st_mtime < kUnwrittenFileSeconds) return false;
  out.mark = ClaimMark(path);
  out.fd = std::move(fd);
  out.path = path;
  return true;
}

bool ReadClaimedFile(const ClaimedFile& file, std::string& out, size_t maxBytes) {
  out.clear();
  if (!file.valid()) return false;
  // A claimed file does not change under us: a short read is its end, so a small file
  // takes one read and no size query, into the stack (no 64 KB string to clear first).
  char first[4096];
  ssize_t got;
  do {
    got = pread(file.fd.get(), first, std::min(sizeof first, maxBytes + 1), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  if (static_cast<size_t>(got) > maxBytes) {
    errno = EFBIG;
    return false;
  }
  out.assign(first, static_cast<size_t>(got));
  if (static_cast<size_t>(got) < sizeof first) return true;
  size_t want = std::min<size_t>(maxBytes + 1 - out.size(), 65536);
  size_t done = out.size();
  for (;;) {
    if (out.size() < done + want) out.resize(done + want);
    ssize_t n = pread(file.fd.get(), out.data() + done, want, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      out.clear();
      return false;
    }
    done += static_cast<size_t>(n);
    if (done > maxBytes) {
      out.clear();
      errno = EFBIG;
      return false;
    }
    if (static_cast<size_t>(n) < want) break;
    want = std::min<size_t>(maxBytes + 1 - done, 1u << 20);
  }
  out.resize(done);
  return true;
}

bool RewriteClaimedFile(ClaimedFile& file, std::string_view content) {
  struct stat st;
  if (!file.valid() || fstat(file.fd.get(), &st) != 0) return false;
  std::string tempPath;
  UniqueFd fd = CreateTempBeside(file.path, tempPath);
  if (!fd) return false;
  // Locked before it gets the name, so the claim carries over to the new inode.
  bool ok = flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && WriteText(fd.get(), content) == content.size() &&
            SetFileTime(fd.get(), st.st_mtim) && rename(tempPath.c_str(), file.path.c_str()) == 0;
  if (!ok) {
    int err = errno;
    unlink(tempPath.c_str());
    errno = err;
    return false;
  }
  struct stat now;
  fstat(fd.get(), &now);
  file.fd = std::move(fd);
  file.device = now.st_dev;
  file.inode = now.st_ino;
  return true;
}

bool DeleteClaimedFile(ClaimedFile& file, UniqueFd* lastReference) {
  if (!file.valid()) return false;
  // The claim gave us the inode; while we hold it nobody else deletes or rewrites the file,
  // so one look at the path tells whether it still names ours.
  struct stat st;
  std::string spare;
  bool ok = stat(file.path.c_str(), &st) == 0 && st.st_dev == file.device && st.st_ino == file.inode;
  if (ok && !RecycleClaimedFile(file, st, spare)) {
    spare.clear();
    ok = unlink(file.path.c_str()) == 0;
  }
  if (ok) NoteDeletedHere(file.path);
  file.mark.Drop();
  // Nobody can claim the name any more: the lock no longer matters, only the blocks.
  if (ok && spare.empty() && lastReference) {
    *lastReference = std::move(file.fd);
  }
  file.fd.reset();
  // Offered for reuse only once our lock on it is gone, so that the new file it becomes can
  // be claimed at once.
  if (ok && !spare.empty()) ReturnSpare(spare);
  return ok;
}

void ReleaseClaim(ClaimedFile& file) {
  file.mark.Drop();
  file.fd.reset();
}

bool MoveQueueFile(const std::string& from, const std::string& to) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      return true;
    }
    if (errno == ENOENT && attempt == 0 && FileExists(from)) {
      CreatePathDirectories(to);
      continue;
    }
    if (errno != EXDEV && errno != EPERM) return false;
    std::string content;
    if (!ReadWholeFile(from, content)) return false;
    if (!PublishFile(to, content, PublishMode::CreateNew, FileCreationTime(from))) return false;
    unlink(from.c_str());
    return true;
  }
  return false;
}

time_t FileCreationTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mtime;
}

bool AcquireLockFile(const std::string& path, HeldLock& out) {
  out = HeldLock();
  for (int attempt = 0; attempt < 5; ++attempt) {
    UniqueFd fd = OpenFileWithRetry(path, O_RDWR | O_CREAT, 0664, 0);
    if (!fd) return false;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
    // The previous holder may have deleted the file between our open and our lock.
    if (SameInode(path, fd.get())) {
      out.fd = std::move(fd);
      out.path = path;
      return true;
    }
  }
  return false;
}

void ReleaseLockFile(HeldLock& lock, bool remove) {
  if (lock.valid() && remove) unlink(lock.path.c_str());
  lock.fd.reset();
}

bool LockFileHeld(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  return flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

bool RemoveLockFileIfFree(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno == ENOENT;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  if (SameInode(path, fd.get())) unlink(path.c_str());
  return !FileExists(path);
}
