#include "console/gateway_state.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/unique_fd.h"

namespace {
void IgnoreAlarm(int) {}
}  // namespace

bool LockHeld(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;  // never made: nobody holds it
  if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;  // released with our descriptor
  return errno == EWOULDBLOCK;
}

bool WaitLockFree(const std::string& path, unsigned ms) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return true;
  if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return true;
  // A blocking flock that a timer interrupts: it returns the moment the holder lets go.
  struct sigaction sa = {}, old = {};
  sa.sa_handler = IgnoreAlarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);  // no SA_RESTART: the flock ends with EINTR
  struct itimerval timer = {}, oldTimer = {};
  timer.it_value.tv_sec = ms / 1000;
  timer.it_value.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  setitimer(ITIMER_REAL, &timer, &oldTimer);
  bool free = flock(fd.get(), LOCK_SH) == 0;
  struct itimerval none = {};
  setitimer(ITIMER_REAL, &none, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  return free;
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
