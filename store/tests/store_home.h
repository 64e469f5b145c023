// A fresh installation per test: QARSMS_HOME in a new temporary directory, a QARHUB.INI
// with the given text, default settings (restored at the end), the real clock and no cached store state.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "config/settings_override.h"
#include "runtime/tests/test_dirs.h"

class StoreHome {
 public:
  explicit StoreHome(std::string_view ini = "[QARHUB]\r\n");
  ~StoreHome();
  const std::string& path() const { return dir_.path(); }
  void WriteIni(std::string_view ini);

 private:
  TempDir dir_;
  SettingsOverride settings_{SettingsBlock{}};
};

// Test file helpers.
void WriteTestFile(const std::string& path, std::string_view content);
std::string ReadTestFile(const std::string& path);
// Seconds since 1970 of a local date and time.
time_t LocalAt(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);
// Sets a file's modification time (seconds since 1970).
void SetMTime(const std::string& path, time_t t);
