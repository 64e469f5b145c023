#include "runtime/control_signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "runtime/debug_log.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"

namespace {
std::atomic<int> g_controlEventPending{0};

void ControlHandler(int) {
  ShutdownRequested.store(1);
  g_controlEventPending.store(1);
  // Waits that poll the stop's descriptor end at once, not at their next look at the flag.
  uint64_t one = 1;
  if (write(ShutdownWakeFd(), &one, sizeof one) < 0) {
    // A full counter is readable anyway.
  }
}
}  // namespace

void InstallControlHandlers() {
  ShutdownWakeFd();  // made here: the handler may only write to it
  struct sigaction sa{};
  sa.sa_handler = ControlHandler;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // A peer that closes a socket must not end the process.
  signal(SIGPIPE, SIG_IGN);
}

void PollControlEvent() {
  if (g_controlEventPending.exchange(0) != 0) WriteDebugLog("HandlerRoutine", "Initiating shutdown...");
}
