// std::mutex and std::shared_mutex with the capability attributes that libstdc++ lacks, and
// their scoped locks, so that the compiler checks which lock guards which field.
#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "runtime/thread_annotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope. Unlock/Lock release and take it again within the scope;
// condition-variable waits go through Wait, which returns with the lock held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : lock_(m.native()) {}
  ~MutexLock() RELEASE() {}
  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }
  void Wait(std::condition_variable& cv) { cv.wait(lock_); }
  // False once t has passed (a wake-up may be spurious: callers test their condition).
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable& cv, const std::chrono::time_point<Clock, Duration>& t) {
    return cv.wait_until(lock_, t) == std::cv_status::no_timeout;
  }
  template <typename Rep, typename Period>
  bool WaitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& d) {
    return cv.wait_for(lock_, d) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

class CAPABILITY("shared mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

class SCOPED_CAPABILITY WriterMutexLock {
 public:
  explicit WriterMutexLock(SharedMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~WriterMutexLock() RELEASE() { m_.unlock(); }

 private:
  SharedMutex& m_;
};

class SCOPED_CAPABILITY ReaderMutexLock {
 public:
  explicit ReaderMutexLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~ReaderMutexLock() RELEASE() { m_.unlock_shared(); }

 private:
  SharedMutex& m_;
};
