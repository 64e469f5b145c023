#include "store/tests/store_home.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "config/settings.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/thread_registry.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/unique_ids.h"

StoreHome::StoreHome(std::string_view ini) {
  LogsClose();
  CountersClose();
  setenv("QARSMS_HOME", dir_.path().c_str(), 1);
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
  std::string path = dir_.path() + "QARHUB.INI";
  WriteTestFile(path, ini);
  SMSIniSetFilename(path.c_str());
  ReloadStoreDirectories();
}

void WriteTestFile(const std::string& path, std::string_view content) {
  CreatePathDirectories(path);
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664));
  WriteText(fd.get(), content);
}

std::string ReadTestFile(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out);
  return out;
}

void SetMTime(const std::string& path, time_t t) {
  struct timespec times[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

time_t LocalAt(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return mktime(&t);
}
