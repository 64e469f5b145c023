#include "runtime/crash_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/thread_registry.h"

// Everything below the handler entry is async-signal-safe: no allocation, no locks, no
// stdio, no SQLite. An abrupt exit is safe for SQLite thanks to its journal.

namespace {
constexpr size_t kPathMax = 4096;
constexpr size_t kAltStackSize = 64 * 1024;

char g_exceptLogPath[kPathMax];
char g_debugLogPath[kPathMax];
std::atomic<int> g_crashLogged{0};
std::atomic<int> g_crashWritten{0};
std::atomic<long> g_utcOffsetSeconds{0};
thread_local void* t_altStack = nullptr;

// Alternate stacks of ended threads, for the next ones: a connection thread per request
// would otherwise map and unmap one each time (an unmap stops the other cores' use of the
// process's mappings for a moment). Plain atomic slots: nothing to destroy at exit while
// detached threads still end.
std::array<std::atomic<void*>, 64> g_freeAltStacks{};

constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

// A small output buffer filled without allocation.
struct Line {
  char text[512];
  size_t length = 0;
  void Add(const char* s) {
    while (*s != '\0' && length < sizeof text) text[length++] = *s++;
  }
  void AddNumber(unsigned long value, int minDigits = 1) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && n < 24);
    while (n < minDigits && n < 24) digits[n++] = '0';
    while (n > 0 && length < sizeof text) text[length++] = digits[--n];
  }
  void WriteTo(int fd) const {
    size_t done = 0;
    while (done < length) {
      ssize_t w = write(fd, text + done, length - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
  }
};

struct CivilTime {
  long year;
  unsigned month, day, hour, minute, second;
};

// Days since 1970 to the calendar date, without localtime (not async-signal-safe).
CivilTime ToCivil(long long seconds) {
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  long long era = (days >= 0 ? days : days - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(days - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  CivilTime out{};
  out.day = doy - (153 * mp + 2) / 5 + 1;
  out.month = mp < 10 ? mp + 3 : mp - 9;
  out.year = static_cast<long>(yoe + era * 400 + (out.month <= 2 ? 1 : 0));
  out.hour = static_cast<unsigned>(rest / 3600);
  out.minute = static_cast<unsigned>(rest / 60 % 60);
  out.second = static_cast<unsigned>(rest % 60);
  return out;
}

void CopyPath(char* dst, const std::string& dir, const char* name) {
  size_t n = 0;
  for (char c : dir) {
    if (n + 1 >= kPathMax) break;
    dst[n++] = c;
  }
  for (const char* p = name; *p != '\0' && n + 1 < kPathMax; ++p) dst[n++] = *p;
  dst[n] = '\0';
}

void WriteCrashReport(uint32_t threadNumber) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  CivilTime local = ToCivil(static_cast<long long>(now.tv_sec) + g_utcOffsetSeconds.load());

  int fd = open(g_exceptLogPath, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd >= 0) {
    Line line;
    line.Add("Exception occurred in thread #");
    line.AddNumber(threadNumber);
    line.Add("\r\nThread Description:  ");
    char description[kThreadDescriptionMax + 1];
    CurrentThreadDescription(description, sizeof description);
    line.Add(description);
    line.Add("\r\n");
    line.Add(kMonths[(local.month - 1) % 12]);
    line.Add(" ");
    line.AddNumber(local.day);
    line.Add(", ");
    line.AddNumber(static_cast<unsigned long>(local.year));
    line.Add(" @ ");
    line.AddNumber(local.hour, 2);
    line.Add(":");
    line.AddNumber(local.minute, 2);
    line.Add("\r\n-------\r\n");
    line.WriteTo(fd);
    close(fd);
  }

  if (!DebugSettings.Debug.load()) return;
  Line entry;
  entry.AddNumber(local.hour, 2);
  entry.Add(":");
  entry.AddNumber(local.minute, 2);
  entry.Add(":");
  entry.AddNumber(local.second, 2);
  entry.Add(":");
  entry.AddNumber(static_cast<unsigned long>(now.tv_nsec / 1000000), 3);
  entry.Add(" [");
  entry.AddNumber(threadNumber);
  entry.Add("] UnhandledExceptionFilter:  Exception occurred in thread #");
  entry.AddNumber(threadNumber);
  entry.Add("\r\n");
  int log = open(g_debugLogPath, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (log >= 0) {
    entry.WriteTo(log);
    close(log);
  }
  Line err;
  err.Add("UnhandledExceptionFilter: Exception occurred in thread #");
  err.AddNumber(threadNumber);
  err.Add("\n");
  err.WriteTo(STDERR_FILENO);
}

void CrashHandler(int, siginfo_t*, void*) {
  if (g_crashLogged.exchange(1) == 0) {
    WriteCrashReport(CurrentThreadNumber());
    g_crashWritten.store(1);
  } else {
    // Another thread is writing the report: let it finish, but not for ever.
    struct timespec step = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 500 && g_crashWritten.load() == 0; ++i) nanosleep(&step, nullptr);
  }
  _exit(kCrashExitCode);
}
}  // namespace

void RefreshCrashTimeZone() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) g_utcOffsetSeconds.store(local.tm_gmtoff);
}

void SetupThreadAltStack() {
  if (t_altStack != nullptr) return;
  void* stack = nullptr;
  for (std::atomic<void*>& slot : g_freeAltStacks) {
    if (slot.load(std::memory_order_relaxed) != nullptr && (stack = slot.exchange(nullptr)) != nullptr) break;
  }
  if (stack == nullptr) {
    stack = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) return;
  }
  stack_t ss{};
  ss.ss_sp = stack;
  ss.ss_size = kAltStackSize;
  if (sigaltstack(&ss, nullptr) != 0) {
    munmap(stack, kAltStackSize);
    return;
  }
  t_altStack = stack;
}

void ReleaseThreadAltStack() {
  if (t_altStack == nullptr) return;
  stack_t ss{};
  ss.ss_flags = SS_DISABLE;
  sigaltstack(&ss, nullptr);
  void* stack = t_altStack;
  t_altStack = nullptr;
  for (std::atomic<void*>& slot : g_freeAltStacks) {
    void* empty = nullptr;
    if (slot.load(std::memory_order_relaxed) == nullptr && slot.compare_exchange_strong(empty, stack)) return;
  }
  munmap(stack, kAltStackSize);
}

void InstallCrashHandlers(const std::string& privateDataDirWithSlash, const std::string& debugLogDirWithSlash) {
  CopyPath(g_exceptLogPath, privateDataDirWithSlash, "EXCEPT.LOG");
  CopyPath(g_debugLogPath, debugLogDirWithSlash, "SMSDEBUG.LOG");
  RefreshCrashTimeZone();
  SetupThreadAltStack();
  struct sigaction sa{};
  sa.sa_sigaction = CrashHandler;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
}
