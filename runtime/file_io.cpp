#include "runtime/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_dir.h"

namespace {
bool IsResourceShortage(int err) { return err == ENOMEM || err == ENOBUFS; }

// Busy or locked: the only conditions worth waiting out when opening.
bool IsBusy(int err) { return err == EBUSY || err == ETXTBSY || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

ssize_t RetryOnResourceShortage(const char* label, const std::function<ssize_t()>& call) {
  unsigned retries = 0;
  ssize_t result;
  for (;;) {
    result = call();
    if (result >= 0 || !IsResourceShortage(errno) || retries >= 20) break;
    ++retries;
    std::this_thread::sleep_for(std::chrono::milliseconds(100 * retries));
  }
  if (retries > 0) {
    if (result >= 0) {
      WriteDebugLog(label, StrPrintf("Debug:  ERROR_NO_SYSTEM_RESOURCES triggered %u retry attempt%s", retries,
                                     retries == 1 ? "" : "s"));
    } else {
      WriteDebugLog(label, "Debug:  ERROR_NO_SYSTEM_RESOURCES failed");
    }
  }
  return result;
}

ssize_t ReadFileWithRetry(int fd, void* buf, size_t count) {
  return RetryOnResourceShortage("ReadFileWithRetry", [&] { return read(fd, buf, count); });
}

ssize_t WriteFileWithRetry(int fd, const void* buf, size_t count) {
  return RetryOnResourceShortage("WriteFileWithRetry", [&] { return write(fd, buf, count); });
}

size_t WriteText(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = WriteFileWithRetry(fd, text.data() + done, text.size() - done);
    if (w <= 0) return 0;
    done += static_cast<size_t>(w);
  }
  return done;
}

UniqueFd OpenFileWithRetry(const std::string& path, int flags, mode_t mode, unsigned timeoutMs, bool lockExclusive) {
  uint64_t start = TickMs();
  bool createdDirectories = false;
  for (;;) {
    UniqueFd fd(open(path.c_str(), flags | O_CLOEXEC, mode));
    int err = errno;
    if (fd && lockExclusive) {
      if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
      err = errno;
      fd.reset();
    } else if (fd) {
      return fd;
    }
    if (err == ENOENT && (flags & O_CREAT) != 0 && !createdDirectories) {
      createdDirectories = true;
      CreatePathDirectories(path);
      continue;
    }
    if (!IsBusy(err) || TickMs() - start >= timeoutMs) {
      errno = err;
      return UniqueFd();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool FileExistsNotDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

unsigned CountFiles(const std::string& pattern) {
  size_t slash = pattern.rfind('/');
  std::string dir = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  UniqueDir d(dir);
  unsigned count = 0;
  while (struct dirent* entry = d.Next()) {
    if (!WildcardMatchNoCase(mask, entry->d_name)) continue;
    bool isDir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      isDir = stat((dir + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (!isDir) ++count;
  }
  return count;
}

bool CreatePathDirectories(const std::string& path) {
  size_t last = path.rfind('/');
  if (last == std::string::npos) return true;
  for (size_t pos = path.find('/', 1); pos != std::string::npos && pos <= last; pos = path.find('/', pos + 1)) {
    std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0775) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& out, size_t maxBytes) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ReadFileWithRetry(fd.get(), buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    if (out.size() + static_cast<size_t>(n) > maxBytes) return false;
    out.append(buf, static_cast<size_t>(n));
  }
}
