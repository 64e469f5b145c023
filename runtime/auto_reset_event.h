// An automatic-reset event: Set wakes one waiter (or the next one to wait) and clears.
#pragma once

#include <chrono>
#include <condition_variable>

#include "runtime/mutex.h"

class AutoResetEvent {
 public:
  void Set() {
    {
      MutexLock guard(lock_);
      signalled_ = true;
    }
    cv_.notify_one();
  }
  // True when the event was set within timeoutMs (and it is reset again).
  bool Wait(unsigned timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    MutexLock guard(lock_);
    while (!signalled_ && guard.WaitUntil(cv_, until)) {
    }
    if (!signalled_) return false;
    signalled_ = false;
    return true;
  }

 private:
  Mutex lock_;
  std::condition_variable cv_;
  bool signalled_ GUARDED_BY(lock_) = false;
};
