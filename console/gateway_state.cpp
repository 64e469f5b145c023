#include "console/gateway_state.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/clock.h"
#include "runtime/unique_fd.h"

bool LockHeld(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;  // never made: nobody holds it
  if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;  // released with our descriptor
  return errno == EWOULDBLOCK;
}

bool WaitLockFree(const std::string& path, unsigned ms) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return true;
  // A lock goes with the holder's last descriptor of the file, so each close of it is the
  // moment to look again. Watched before the first look, so that no close falls between.
  UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch && inotify_add_watch(watch.get(), path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) watch.reset();
  uint64_t end = TickMs() + ms;
  for (;;) {
    if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return true;
    uint64_t now = TickMs();
    if (now >= end) return false;
    struct pollfd p = {watch.get(), POLLIN, 0};
    int ready = poll(&p, watch ? 1 : 0, static_cast<int>(end - now));
    if (ready < 0 && errno != EINTR) return flock(fd.get(), LOCK_SH | LOCK_NB) == 0;
    if (ready > 0) {
      char events[4096];
      while (read(watch.get(), events, sizeof events) > 0) {
      }
    }
  }
}

uint8_t ReadStatusByte(const std::string& blockPath, size_t index) {
  UniqueFd fd(open(blockPath.c_str(), O_RDONLY | O_CLOEXEC));
  uint8_t value = 0;
  if (!fd || pread(fd.get(), &value, 1, static_cast<off_t>(index)) != 1) return 0;
  return value;
}

bool WriteStatusByte(const std::string& blockPath, size_t index, uint8_t value) {
  // The gateway maps the file shared: a write through the page cache is what it reads.
  UniqueFd fd(open(blockPath.c_str(), O_RDWR | O_CLOEXEC));
  return fd && pwrite(fd.get(), &value, 1, static_cast<off_t>(index)) == 1;
}
