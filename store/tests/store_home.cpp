#include "store/tests/store_home.h"

#include "config/settings.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/thread_registry.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/unique_ids.h"

StoreHome::StoreHome(std::string_view ini) {
  LogsClose();
  CountersClose();
  WriteIni(ini);
  SetClockOverride(0);
  ShutdownRequested.store(0);
  DebugSettings.Debug.store(false);
  ResetUniqueIdsForTest();
}

StoreHome::~StoreHome() {
  LogsClose();
  CountersClose();
  SetClockOverride(0);
  ResetUniqueIdsForTest();
}

void StoreHome::WriteIni(std::string_view ini) {
  folder_.WriteIni(ini);
  ReloadStoreDirectories();
}
