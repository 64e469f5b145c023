// Preloaded into the gateway by a test: the monotonic clock runs ahead by the seconds written
// in the file named by QAR_TEST_MONOTONIC_OFFSET_FILE, so that a limit of minutes passes in a
// moment. Condition-variable waits on that clock get their deadline taken back by the same
// amount, so they still end on time.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {
long OffsetSeconds() {
  const char* file = getenv("QAR_TEST_MONOTONIC_OFFSET_FILE");
  if (file == nullptr) return 0;
  int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = 0;
  return strtol(text, nullptr, 10);
}

bool Monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_MONOTONIC_COARSE ||
         clock == CLOCK_BOOTTIME;
}
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) {
  using Fn = int (*)(clockid_t, struct timespec*);
  static Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  int r = next(clock, ts);
  if (r == 0 && Monotonic(clock)) ts->tv_sec += OffsetSeconds();
  return r;
}

extern "C" int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                      const struct timespec* deadline) {
  using Fn = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
  static Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_cond_clockwait"));
  struct timespec real = *deadline;
  if (Monotonic(clock)) real.tv_sec -= OffsetSeconds();
  return next(cond, mutex, clock, &real);
}
