#include "runtime/thread_frame.h"

#include <pthread.h>

#include <thread>

#include "runtime/crash_log.h"
#include "runtime/debug_log.h"
#include "runtime/thread_registry.h"

namespace {
// The kernel keeps 15 characters: "ThreadProcessModem" shows as "ProcessModem" in top -H and ps.
void NameThisThread(const std::string& description) {
  std::string_view name = description;
  if (name.size() > 6 && name.starts_with("Thread")) name.remove_prefix(6);
  pthread_setname_np(pthread_self(), std::string(name.substr(0, 15)).c_str());
}
}  // namespace

void RunInThreadFrame(const std::string& description, const std::function<void()>& body) {
  NameThisThread(description);
  AssignThreadNumber(description);
  SetupThreadAltStack();
  body();
  ReleaseThreadNumber();
  ReleaseThreadAltStack();
}

bool StartServiceThread(const std::string& description, std::function<void()> body) {
  // Counted here rather than in the new thread, so that a shutdown that begins before
  // the thread is scheduled still waits for it.
  ThreadStarted();
  try {
    std::thread worker([description, body = std::move(body)]() {
      RunInThreadFrame(description, body);
      ThreadFinished();
    });
    worker.detach();
  } catch (const std::system_error&) {
    ThreadFinished();
    WriteDebugLog(description, "Error starting thread");
    return false;
  }
  return true;
}

void WaitForServiceThreads(unsigned reportMs) {
  // A thread that misses the stop holds the shutdown: the log says which one.
  while (!WaitActiveThreadsEnd(reportMs)) {
    std::string names;
    for (const std::string& d : RegisteredThreadDescriptions()) names += (names.empty() ? "" : ", ") + d;
    WriteDebugLogf("main", "Shutdown:  still waiting for %d thread(s): %s", static_cast<int>(ActiveThreadCount()),
                   names.c_str());
  }
}
