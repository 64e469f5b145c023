#include "runtime/folder_removals.h"

#include <poll.h>
#include <strings.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstring>

#include "runtime/clock.h"
#include "runtime/folder_wake.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"

FolderRemovals::FolderRemovals(const std::string& folder, std::string suffix) : suffix_(std::move(suffix)) {
  if (FolderWatchDisabled()) return;
  fd_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (fd_ && inotify_add_watch(fd_.get(), folder.c_str(), IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) < 0) fd_.reset();
}

bool FolderRemovals::Wait(uint32_t count, uint32_t ms) {
  uint64_t start = TickMs();
  alignas(inotify_event) char buffer[8192];
  while (seen_ < count && ShutdownRequested.load() == 0) {
    uint64_t spent = TickMs() - start;
    if (spent >= ms) return false;
    pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
    if (poll(fds, 2, PollTimeout(ms - spent)) <= 0) continue;
    if (fds[1].revents) ClearStaleShutdownWake();
    if (!fds[0].revents) continue;
    ssize_t n = read(fd_.get(), buffer, sizeof buffer);
    for (char* p = buffer; n > 0 && p < buffer + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) seen_ = count;
      if (e->len == 0 || (e->mask & IN_ISDIR)) continue;
      size_t len = strnlen(e->name, e->len);
      if (len >= suffix_.size() && strcasecmp(e->name + len - suffix_.size(), suffix_.c_str()) == 0) ++seen_;
    }
  }
  if (seen_ < count) return false;
  seen_ = 0;
  return true;
}
