#include "store/counters.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <list>
#include <string>

#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"

namespace {
constexpr const char* kCounterNames[kCounterCount] = {"SMSSUBMIT", "SMSSENT",  "SMSRECEIVED",
                                                      "SMSFAILED", "SMSRETRY", "MMSIN-MODEM",
                                                      "SMSQSIZE",  "SMSINQSIZE", "SMSRCPTQSIZE"};

using CounterImage = std::array<uint8_t, kCounterFileSize>;

uint32_t GetCell(const CounterImage& image, unsigned cell) {
  const uint8_t* p = image.data() + cell * 4;
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutCell(CounterImage& image, unsigned cell, uint32_t value) {
  uint8_t* p = image.data() + cell * 4;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Opens or creates a counter file and reads its image; a short file is zeroed in full.
bool OpenImage(const std::string& path, UniqueFd& fd, CounterImage& image) {
  fd = OpenFileWithRetry(path, O_RDWR | O_CREAT, 0664, 1000);
  if (!fd) {
    WriteDebugLogf("CounterOpen", "Error %d opening %s", errno, path.c_str());
    return false;
  }
  ssize_t n = pread(fd.get(), image.data(), image.size(), 0);
  if (n != static_cast<ssize_t>(image.size())) {
    image.fill(0);
    if (pwrite(fd.get(), image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
      WriteDebugLogf("CounterOpen", "Error %d initialising %s", errno, path.c_str());
    }
    fdatasync(fd.get());
  }
  return true;
}

void WriteImage(int fd, const CounterImage& image, const char* what) {
  if (pwrite(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
    WriteDebugLogf("CountersFlush", "Error %d writing %s", errno, what);
  }
}

unsigned TodayCell(int number, const LocalTime& now) {
  if (number >= kSmsQSize) return 0;
  return CounterCell(now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday);
}

struct Counter {
  Mutex lock;
  UniqueFd fd GUARDED_BY(lock);
  CounterImage image GUARDED_BY(lock){};
  bool dirty GUARDED_BY(lock) = false;
  int year GUARDED_BY(lock) = 0;  // the year of the open file
};
Counter g_counters[kCounterCount];

std::string CounterPath(int number, int year) {
  std::string dir = PrivateDataDirectory() + "STATS/";
  if (number >= kSmsQSize) return dir + kCounterNames[number] + ".CTR";
  return dir + kCounterNames[number] + StrPrintf("-%d.CTR", year);
}

// Each counter notices the change of year itself, under its own lock.
bool ReadyLocked(Counter& c, int number, int year) REQUIRES(c.lock) {
  if (c.fd && number < kSmsQSize && c.year != year) {
    if (c.dirty) WriteImage(c.fd.get(), c.image, kCounterNames[number]);
    c.fd.reset();
    c.dirty = false;
  }
  if (!c.fd) {
    if (!OpenImage(CounterPath(number, year), c.fd, c.image)) return false;
    c.year = year;
    c.dirty = false;
  }
  return true;
}

std::atomic<uint64_t> g_totals[kCounterCount];

void Change(int number, uint32_t amount, bool add) {
  if (number < 0 || number >= kCounterCount) return;
  if (add) g_totals[number] += amount;
  LocalTime now = LocalNow();
  Counter& c = g_counters[number];
  MutexLock guard(c.lock);
  if (!ReadyLocked(c, number, now.tm.tm_year + 1900)) return;
  unsigned cell = TodayCell(number, now);
  uint64_t value = GetCell(c.image, cell);
  if (add) {
    value += amount;
    if (value > UINT32_MAX) value = UINT32_MAX;
  } else {
    value = value > amount ? value - amount : 0;
  }
  PutCell(c.image, cell, static_cast<uint32_t>(value));
  c.dirty = true;
}

struct ConnectionCounter {
  std::string path;
  UniqueFd fd;
  CounterImage image{};
  bool dirty = false;
  time_t lastUse = 0;
};

struct ConnectionCounterList {
  Mutex lock;
  std::list<ConnectionCounter> entries GUARDED_BY(lock);
};
ConnectionCounterList g_connectionCounters;

ConnectionCounter* ConnectionEntryLocked(std::string_view connectionName, int year)
    REQUIRES(g_connectionCounters.lock) {
  std::string path = PrivateDataDirectory() + SanitizePathName(connectionName) + StrPrintf("-%d.CTR", year);
  for (ConnectionCounter& e : g_connectionCounters.entries) {
    if (e.path == path) return &e;
  }
  ConnectionCounter& e = g_connectionCounters.entries.emplace_back();
  e.path = path;
  if (!OpenImage(path, e.fd, e.image)) {
    g_connectionCounters.entries.pop_back();
    return nullptr;
  }
  return &e;
}
}  // namespace

unsigned CounterCell(int year, int month, int day) {
  static constexpr unsigned kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
  unsigned dayOfYear = kDaysBefore[month - 1] + static_cast<unsigned>(day);
  if (year % 4 == 0 && month > 2) ++dayOfYear;
  return dayOfYear - 1;
}

void CounterAdd(int number, uint32_t amount) { Change(number, amount, true); }
void CounterSubtract(int number, uint32_t amount) { Change(number, amount, false); }

uint64_t CounterAddedSinceStart(int number) {
  return number < 0 || number >= kCounterCount ? 0 : g_totals[number].load();
}

uint32_t CounterValue(int number) {
  if (number < 0 || number >= kCounterCount) return 0;
  LocalTime now = LocalNow();
  Counter& c = g_counters[number];
  MutexLock guard(c.lock);
  return ReadyLocked(c, number, now.tm.tm_year + 1900) ? GetCell(c.image, TodayCell(number, now)) : 0;
}

void CounterResetQueueSizes() {
  for (int number = kSmsQSize; number <= kSmsRcptQSize; ++number) {
    Counter& c = g_counters[number];
    MutexLock guard(c.lock);
    c.fd.reset();
    c.dirty = false;
    unlink(CounterPath(number, 0).c_str());
  }
}

void CountersOpen() { CreatePathDirectories(PrivateDataDirectory() + "STATS/"); }

void CountersFlush() {
  for (int number = 0; number < kCounterCount; ++number) {
    Counter& c = g_counters[number];
    MutexLock guard(c.lock);
    if (c.fd && c.dirty) {
      WriteImage(c.fd.get(), c.image, kCounterNames[number]);
      c.dirty = false;
    }
  }
  MutexLock guard(g_connectionCounters.lock);
  time_t now = NowSeconds();
  for (auto it = g_connectionCounters.entries.begin(); it != g_connectionCounters.entries.end();) {
    if (it->dirty) {
      WriteImage(it->fd.get(), it->image, it->path.c_str());
      it->dirty = false;
    }
    if (now - it->lastUse > 300) {
      it = g_connectionCounters.entries.erase(it);
    } else {
      ++it;
    }
  }
}

void CountersClose() {
  CountersFlush();
  for (int number = 0; number < kCounterCount; ++number) {
    MutexLock guard(g_counters[number].lock);
    g_counters[number].fd.reset();
  }
  MutexLock guard(g_connectionCounters.lock);
  g_connectionCounters.entries.clear();
}

void ConnectionCounterAdd(std::string_view connectionName, uint32_t amount) {
  LocalTime now = LocalNow();
  MutexLock guard(g_connectionCounters.lock);
  ConnectionCounter* e = ConnectionEntryLocked(connectionName, now.tm.tm_year + 1900);
  if (e == nullptr) return;
  unsigned cell = CounterCell(now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday);
  uint64_t value = static_cast<uint64_t>(GetCell(e->image, cell)) + amount;
  PutCell(e->image, cell, value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value));
  e->dirty = true;
  e->lastUse = now.seconds;
}

uint32_t ConnectionCounterValue(std::string_view connectionName) {
  LocalTime now = LocalNow();
  MutexLock guard(g_connectionCounters.lock);
  ConnectionCounter* e = ConnectionEntryLocked(connectionName, now.tm.tm_year + 1900);
  if (e == nullptr) return 0;
  return GetCell(e->image, CounterCell(now.tm.tm_year + 1900, now.tm.tm_mon + 1, now.tm.tm_mday));
}
