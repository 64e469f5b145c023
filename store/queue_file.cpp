#include "store/queue_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/file_io.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
std::atomic<uint64_t> g_tempCounter{0};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Creates a new temporary file beside path (directories created when missing).
UniqueFd CreateTempBeside(const std::string& path, std::string& tempPath) {
  std::string dir = DirectoryOf(path);
  bool createdDirectories = false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = dir + StrPrintf(".~%d-%llx.tmp", static_cast<int>(getpid()),
                               static_cast<unsigned long long>(g_tempCounter.fetch_add(1)));
    UniqueFd fd(open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0664));
    if (fd) return fd;
    if (errno == ENOENT && !createdDirectories) {
      createdDirectories = true;
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

bool SameInode(const std::string& path, int fd, dev_t* device = nullptr, ino_t* inode = nullptr) {
  struct stat byFd, byPath;
  if (fstat(fd, &byFd) != 0 || stat(path.c_str(), &byPath) != 0) return false;
  if (byFd.st_nlink == 0 || byFd.st_dev != byPath.st_dev || byFd.st_ino != byPath.st_ino) return false;
  if (device != nullptr) *device = byFd.st_dev;
  if (inode != nullptr) *inode = byFd.st_ino;
  return true;
}
}  // namespace

bool IsTempFileName(std::string_view name) { return name.substr(0, 2) == ".~" && EndsWithNoCase(name, ".tmp"); }

namespace {
// Create-new through an unnamed file: one directory operation (the link) instead of three
// (create, link, unlink), which is most of the cost of a submission. False with errno
// EOPNOTSUPP when the file system has no unnamed files; the caller then names a temporary.
bool PublishUnnamed(const std::string& path, std::string_view content, time_t keepTime) {
  std::string dir = DirectoryOf(path);
  UniqueFd fd(open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0664));
  if (!fd && errno == ENOENT) {
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
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == ENOENT && access("/proc/self/fd", F_OK) != 0) errno = EOPNOTSUPP;  // no /proc
  return false;
}

std::atomic<bool> g_unnamedFilesWork{true};
}  // namespace

bool PublishFile(const std::string& path, std::string_view content, PublishMode mode, time_t keepTime) {
  if (mode == PublishMode::CreateNew && g_unnamedFilesWork.load(std::memory_order_relaxed)) {
    if (PublishUnnamed(path, content, keepTime)) return true;
    if (errno != EOPNOTSUPP) return false;
    g_unnamedFilesWork.store(false);
  }
  std::string tempPath;
  UniqueFd fd = CreateTempBeside(path, tempPath);
  if (!fd) return false;
  bool ok = WriteText(fd.get(), content) == content.size();
  if (ok && keepTime != 0) ok = SetFileTime(fd.get(), {keepTime, 0});
  fd.reset();
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
  return ok;
}

bool ClaimQueueFile(const std::string& path, ClaimedFile& out) {
  out = ClaimedFile();
  // Read access is enough: rewrites and deletes work on names, not on this descriptor, so a
  // read-only file dropped by another program can still be sent.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  // Sent and deleted, or replaced, between our open and our lock.
  if (!SameInode(path, fd.get(), &out.device, &out.inode)) return false;
  out.fd = std::move(fd);
  out.path = path;
  return true;
}

bool ReadClaimedFile(const ClaimedFile& file, std::string& out, size_t maxBytes) {
  out.clear();
  struct stat st;
  if (!file.valid() || fstat(file.fd.get(), &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    errno = EFBIG;
    return false;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = pread(file.fd.get(), out.data() + done, out.size() - done, static_cast<off_t>(done));
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
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

bool DeleteClaimedFile(ClaimedFile& file) {
  if (!file.valid()) return false;
  bool ok = SameInode(file.path, file.fd.get()) && unlink(file.path.c_str()) == 0;
  file.fd.reset();
  return ok;
}

void ReleaseClaim(ClaimedFile& file) { file.fd.reset(); }

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
