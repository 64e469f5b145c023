// An automatic-reset event: Set wakes one waiter (or the next one to wait) and clears.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      signalled_ = true;
    }
    cv_.notify_one();
  }
  // True when the event was set within timeoutMs (and it is reset again).
  bool Wait(unsigned timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!cv_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool signalled_ = false;
};
