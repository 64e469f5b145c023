// A fresh installation per test: a temporary data folder with a QARHUB.INI of the given
// text, default settings, the real clock and no cached store state.
#pragma once

#include <string>
#include <string_view>

#include "config/settings_override.h"
#include "tests/support/data_folder.h"
#include "tests/support/test_files.h"

class StoreHome {
 public:
  explicit StoreHome(std::string_view ini = "[QARHUB]\r\n");
  ~StoreHome();
  const std::string& path() const { return folder_.path(); }
  void WriteIni(std::string_view ini);

 private:
  TestDataFolder folder_;
  SettingsOverride settings_{SettingsBlock{}};
};
