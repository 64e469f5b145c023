// Named automatic-reset events: a registry of the process keyed by (interface, instance)
// without case. Create shares an existing event; each Create or Open is ended by a Close.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>

#include "outside/qarvault/buffer_copy.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/mutex.h"
#include "runtime/text_helpers.h"

struct QarEvent {
  Mutex lock;
  std::condition_variable cond;
  bool signalled GUARDED_BY(lock) = false;
  std::string key;
  int refs = 0;  // guarded by the registry lock
};

namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

struct EventRegistry {
  Mutex lock;
  std::map<std::string, std::unique_ptr<QarEvent>> events GUARDED_BY(lock);
};

EventRegistry& Registry() {
  static EventRegistry registry;
  return registry;
}

// The instance may hold any byte, so the two parts are joined by a byte no name holds.
std::string EventKey(const char* interfaceName, const char* instance) {
  return ToUpper(TextOrEmpty(interfaceName)) + std::string(1, '\0') + ToUpper(TextOrEmpty(instance));
}

QarEvent* Acquire(const char* interfaceName, const char* instance, bool create) {
  EventRegistry& r = Registry();
  std::string key = EventKey(interfaceName, instance);
  MutexLock lock(r.lock);
  auto it = r.events.find(key);
  if (it == r.events.end()) {
    if (!create) return nullptr;
    auto ev = std::make_unique<QarEvent>();
    ev->key = key;
    it = r.events.emplace(key, std::move(ev)).first;
  }
  ++it->second->refs;
  return it->second.get();
}

}  // namespace

extern "C" {

QarEvent* CreateEventForInterface(const char* interfaceName, const char* instance) {
  return Acquire(interfaceName, instance, true);
}

QarEvent* OpenEventForInterface(const char* interfaceName, const char* instance) {
  return Acquire(interfaceName, instance, false);
}

int SetEventForInterface(QarEvent* ev) {
  if (ev == nullptr) return 0;
  {
    MutexLock lock(ev->lock);
    ev->signalled = true;
  }
  ev->cond.notify_one();  // automatic reset: one waiter takes the signal
  return 1;
}

int WaitEventForInterface(QarEvent* ev, uint32_t timeoutMs) {
  if (ev == nullptr) return 0;
  MutexLock lock(ev->lock);
  if (timeoutMs == kInfinite) {
    while (!ev->signalled) lock.Wait(ev->cond);
  } else {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ev->signalled && lock.WaitUntil(ev->cond, until)) {
    }
    if (!ev->signalled) return 0;
  }
  ev->signalled = false;
  return 1;
}

void CloseEventForInterface(QarEvent* ev) {
  if (ev == nullptr) return;
  EventRegistry& r = Registry();
  MutexLock lock(r.lock);
  auto it = r.events.find(ev->key);
  if (it == r.events.end() || it->second.get() != ev) return;
  if (--ev->refs == 0) r.events.erase(it);
}

}  // extern "C"
