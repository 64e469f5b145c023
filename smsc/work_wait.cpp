#include "smsc/work_wait.h"

#include <poll.h>

#include <algorithm>
#include <climits>

#include "runtime/clock.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"

WorkWaitCounts WorkWaits;

namespace {

uint64_t TickOfSeconds(time_t at) {
  time_t now = NowSeconds();
  uint64_t tick = TickMs();
  return at <= now ? tick : tick + uint64_t(at - now) * 1000;
}

bool Ended(const QueueWorker& w, const WorkWaitContext& c) {
  return ShutdownRequested.load() != 0 || w.linkError || (c.stopWhenRestart && w.restart);
}

}  // namespace

WorkWake WaitForWork(QueueWorker& w, QueueTransport& t, const WorkWaitContext& c) {
  uint64_t start = TickMs();
  uint64_t lookTick = c.wake ? start + kQueueLookEveryMs : UINT64_MAX;
  uint64_t retryTick = c.wake && w.earliestRetry != 0 ? TickOfSeconds(w.earliestRetry) : UINT64_MAX;
  uint64_t lastServeTick = start;
  while (!Ended(w, c)) {
    uint64_t now = TickMs();
    if (now >= retryTick) {
      ++WorkWaits.retries;
      return WorkWake::Queue;
    }
    if (now >= lookTick) {
      ++WorkWaits.looks;
      return WorkWake::Queue;
    }
    uint64_t until = std::min(lookTick, retryTick);
    if (c.changeCheck && c.lastCheckTick) until = std::min(until, *c.lastCheckTick + c.checkEveryMs);
    if (w.settings.keepAliveSeconds != 0) {
      // ProbeLink sends once the interval has passed, not at it.
      until = std::min(until, uint64_t(w.lastActivityTick) + uint64_t(w.settings.keepAliveSeconds) * 1000 + 1);
    }
    if (t.serveEveryMs != 0) until = std::min(until, lastServeTick + t.serveEveryMs);
    int linkFd = t.waitFd ? t.waitFd() : -1;
    pollfd fds[5] = {{ShutdownWakeFd(), POLLIN, 0},
                     {c.wake ? c.wake->Fd() : -1, POLLIN, 0},
                     {linkFd, POLLIN, 0},
                     {c.changeWakes[0] ? c.changeWakes[0]->Fd() : -1, POLLIN, 0},
                     {c.changeWakes[1] ? c.changeWakes[1]->Fd() : -1, POLLIN, 0}};
    int timeout = until <= now ? 0 : PollTimeout(until - now);
    int r = poll(fds, 5, timeout);
    ++WorkWaits.wakeUps;
    if (r > 0 && fds[0].revents) {
      ClearStaleShutdownWake();
      if (ShutdownRequested.load() != 0) return WorkWake::Stopped;
    }
    bool served = false;
    if (r > 0 && fds[2].revents) {
      // Responses, received messages or the peer's close: the library reads them.
      w.lastYieldTick = TickMs();
      if (t.yield(0) != 0 || !t.linkUp()) {
        w.linkError = true;
        if (t.linkNote) t.linkNote(LinkCheck::IdleYield);
        return WorkWake::Stopped;
      }
      served = true;
      lastServeTick = TickMs();
    }
    if (r > 0 && fds[1].revents) {
      ++WorkWaits.written;
      return WorkWake::Queue;
    }
    now = TickMs();
    bool told = r > 0 && (fds[3].revents || fds[4].revents);
    if (c.changeCheck && c.lastCheckTick && (told || now - *c.lastCheckTick >= c.checkEveryMs)) {
      // Re-armed before the look: a change during it wakes again.
      for (BroadcastWake* b : c.changeWakes) {
        if (b) b->Rearm();
      }
      *c.lastCheckTick = now;
      ++WorkWaits.changes;
      c.changeCheck();
    }
    uint64_t activity = w.lastActivityTick;
    ProbeLink(w, t, true);
    // The probe's read may have taken the peer's next PDUs along with its answer; the link's
    // descriptor will not tell of them.
    bool probed = w.lastActivityTick != activity && !w.linkError;
    if (probed || (!served && t.serveEveryMs != 0 && now - lastServeTick >= t.serveEveryMs)) {
      lastServeTick = now;
      if (t.yield(0) != 0 || !t.linkUp()) w.linkError = true;
    }
  }
  return WorkWake::Stopped;
}
