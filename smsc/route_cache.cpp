#include "smsc/route_cache.h"

#include <unordered_map>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/mutex.h"

namespace {
struct RouteCacheRecord {
  Mutex lock;
  std::unordered_map<std::string, std::string> entries GUARDED_BY(lock);
};
RouteCacheRecord g_routes;
}  // namespace

void MessageRoutesAdd(std::string_view relativePath, std::string_view value) {
  MutexLock lock(g_routes.lock);
  auto [it, inserted] = g_routes.entries.try_emplace(std::string(relativePath), value);
  if (inserted) WriteDebugLog("MessageRoutesAdd", std::string(relativePath) + " " + std::string(value));
}

bool MessageRoutesFind(std::string_view relativePath, std::string& value) {
  MutexLock lock(g_routes.lock);
  auto it = g_routes.entries.find(std::string(relativePath));
  if (it == g_routes.entries.end()) return false;
  value = it->second;
  return true;
}

void MessageRoutesRemove(std::string_view relativePath) {
  MutexLock lock(g_routes.lock);
  g_routes.entries.erase(std::string(relativePath));
}

size_t MessageRoutesPrune(const std::string& queueRoot) {
  std::vector<std::string> keys;
  {
    MutexLock lock(g_routes.lock);
    for (auto& [key, value] : g_routes.entries) keys.push_back(key);
  }
  size_t dropped = 0;
  // The existence checks run without the lock; a file published again under a pruned key
  // simply gets a new entry.
  for (const std::string& key : keys) {
    if (FileExists(queueRoot + key)) continue;
    MutexLock lock(g_routes.lock);
    dropped += g_routes.entries.erase(key);
  }
  return dropped;
}

size_t MessageRoutesCount() {
  MutexLock lock(g_routes.lock);
  return g_routes.entries.size();
}

void MessageRoutesClear() {
  MutexLock lock(g_routes.lock);
  g_routes.entries.clear();
}
