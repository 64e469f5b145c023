#include "store/unique_ids.h"


#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"
#include "store/queue_file.h"

namespace {
struct UniqueIdState {
  Mutex lock;
  bool started GUARDED_BY(lock) = false;
  uint32_t counter GUARDED_BY(lock) = 0;
  uint32_t stored GUARDED_BY(lock) = 0;      // the value UID.DAT holds
  bool storedValid GUARDED_BY(lock) = false;
};
UniqueIdState g_ids;

struct ConcatState {
  Mutex lock;
  bool started GUARDED_BY(lock) = false;
  uint8_t counter GUARDED_BY(lock) = 0;
};
ConcatState g_concat;

std::string UidPath() { return PrivateDataDirectory() + "UID.DAT"; }

bool StoreLocked(uint32_t value) REQUIRES(g_ids.lock) {
  char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                   static_cast<char>((value >> 16) & 0xFF), static_cast<char>((value >> 24) & 0xFF)};
  if (!PublishFile(UidPath(), std::string_view(bytes, 4), PublishMode::Replace)) {
    WriteDebugLogf("SaveUniqueId", "Error %d writing %s", errno, UidPath().c_str());
    return false;
  }
  g_ids.stored = value;
  g_ids.storedValid = true;
  return true;
}

void StartLocked() REQUIRES(g_ids.lock) {
  std::string data;
  if (ReadWholeFile(UidPath(), data, 64) && data.size() == 4) {
    uint32_t stored = static_cast<uint8_t>(data[0]) | static_cast<uint32_t>(static_cast<uint8_t>(data[1])) << 8 |
                      static_cast<uint32_t>(static_cast<uint8_t>(data[2])) << 16 |
                      static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
    g_ids.counter = stored + 1000;
    g_ids.stored = stored;
    g_ids.storedValid = true;
  } else {
    g_ids.counter = static_cast<uint32_t>(NowSeconds());
    g_ids.storedValid = false;
  }
  // The first call returns the start value.
  g_ids.counter -= 1;
  g_ids.started = true;
}
}  // namespace

uint32_t NextUniqueId() {
  MutexLock guard(g_ids.lock);
  if (!g_ids.started) StartLocked();
  uint32_t id = g_ids.counter + 1;
  // Reserve ahead: the stored value must cover every id handed out. Ids are compared as
  // distances from the stored value so that the 32-bit wrap does not matter.
  if (!g_ids.storedValid || static_cast<int32_t>(id - g_ids.stored) > 0) StoreLocked(id + kUniqueIdReserve);
  g_ids.counter = id;
  return id;
}

void SaveUniqueId() {
  MutexLock guard(g_ids.lock);
  if (!g_ids.started) return;
  if (g_ids.storedValid && g_ids.stored == g_ids.counter) return;
  StoreLocked(g_ids.counter);
}

uint8_t NextConcatReference() {
  MutexLock guard(g_concat.lock);
  if (!g_concat.started) {
    g_concat.counter = static_cast<uint8_t>(NowSeconds() & 0xFF);
    g_concat.started = true;
  }
  return ++g_concat.counter;
}

void ResetUniqueIdsForTest() {
  MutexLock guard(g_ids.lock);
  g_ids.started = false;
  g_ids.storedValid = false;
}
