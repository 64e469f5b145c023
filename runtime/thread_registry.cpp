#include "runtime/thread_registry.h"

#include <unistd.h>

#include <array>
#include <condition_variable>

#include "runtime/debug_log.h"
#include "runtime/mutex.h"

std::atomic<int> ShutdownRequested{0};

namespace {
// A slot is written only by its own thread; readers (log lines, the crash handler, other
// threads) read it without the lock, so every field is atomic.
struct ThreadSlot {
  std::atomic<uint32_t> threadId{0};
  std::array<std::atomic<char>, kThreadDescriptionMax + 1> description{};
};

std::array<ThreadSlot, kThreadSlots> g_threadTable;
Mutex g_threadTableLock;
int32_t g_activeThreadCount GUARDED_BY(g_threadTableLock) = 0;
std::condition_variable g_threadEnded;  // the count went down
thread_local uint32_t t_threadNumber = 0;

uint32_t OwnThreadId() { return static_cast<uint32_t>(gettid()); }

void StoreDescription(ThreadSlot& slot, std::string_view text) {
  size_t n = text.size() < kThreadDescriptionMax ? text.size() : kThreadDescriptionMax;
  for (size_t i = 0; i < n; ++i) slot.description[i].store(text[i], std::memory_order_relaxed);
  slot.description[n].store('\0', std::memory_order_relaxed);
}

std::string LoadDescription(const ThreadSlot& slot) {
  std::string out;
  for (const auto& c : slot.description) {
    char ch = c.load(std::memory_order_relaxed);
    if (ch == '\0') break;
    out.push_back(ch);
  }
  return out;
}
}  // namespace

uint32_t AssignThreadNumber(std::string_view description) {
  uint32_t id = OwnThreadId();
  uint32_t number = 0;
  {
    MutexLock lock(g_threadTableLock);
    for (uint32_t i = 0; i < kThreadSlots; ++i) {
      if (g_threadTable[i].threadId.load(std::memory_order_acquire) == 0) {
        StoreDescription(g_threadTable[i], description);
        g_threadTable[i].threadId.store(id, std::memory_order_release);
        number = i + 1;
        break;
      }
    }
  }
  t_threadNumber = number;
  if (DebugSettings.Debug2.load()) WriteDebugLog("AssignThreadNumber", description);
  return number;
}

uint32_t ReleaseThreadNumber() {
  uint32_t number = CurrentThreadNumber();
  if (number == 0) return 0;
  ThreadSlot& slot = g_threadTable[number - 1];
  if (DebugSettings.Debug2.load()) WriteDebugLog("ReleaseThreadNumber", LoadDescription(slot));
  t_threadNumber = 0;
  slot.threadId.store(0, std::memory_order_release);
  return number;
}

uint32_t CurrentThreadNumber() {
  if (t_threadNumber != 0) return t_threadNumber;
  uint32_t id = OwnThreadId();
  for (uint32_t i = 0; i < kThreadSlots; ++i) {
    if (g_threadTable[i].threadId.load(std::memory_order_acquire) == id) return i + 1;
  }
  return 0;
}

void CurrentThreadDescription(char* buf, size_t size) {
  if (size == 0) return;
  buf[0] = '\0';
  uint32_t number = t_threadNumber;
  if (number == 0) return;
  const ThreadSlot& slot = g_threadTable[number - 1];
  size_t i = 0;
  for (; i + 1 < size && i < kThreadDescriptionMax; ++i) {
    char ch = slot.description[i].load(std::memory_order_relaxed);
    if (ch == '\0') break;
    buf[i] = ch;
  }
  buf[i] = '\0';
}

std::string ThreadDescription(uint32_t number) {
  if (number == 0 || number > kThreadSlots) return {};
  const ThreadSlot& slot = g_threadTable[number - 1];
  if (slot.threadId.load(std::memory_order_acquire) == 0) return {};
  return LoadDescription(slot);
}

void ThreadStarted() {
  MutexLock lock(g_threadTableLock);
  ++g_activeThreadCount;
}

void ThreadFinished() {
  MutexLock lock(g_threadTableLock);
  if (g_activeThreadCount > 0) --g_activeThreadCount;
  g_threadEnded.notify_all();
}

bool WaitActiveThreadsEnd(unsigned ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MutexLock lock(g_threadTableLock);
  while (g_activeThreadCount > 0) {
    if (!lock.WaitUntil(g_threadEnded, until) && g_activeThreadCount > 0) return false;
  }
  return true;
}

std::vector<std::string> RegisteredThreadDescriptions() {
  std::vector<std::string> out;
  for (const ThreadSlot& slot : g_threadTable)
    if (slot.threadId.load(std::memory_order_acquire) != 0) out.push_back(LoadDescription(slot));
  return out;
}

int32_t ActiveThreadCount() {
  MutexLock lock(g_threadTableLock);
  return g_activeThreadCount;
}

void ClearThreadTable() {
  MutexLock lock(g_threadTableLock);
  for (auto& slot : g_threadTable) {
    slot.threadId.store(0, std::memory_order_release);
    slot.description[0].store('\0', std::memory_order_relaxed);
  }
}
