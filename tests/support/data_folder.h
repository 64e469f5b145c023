// A temporary data folder for tests in the process: $QARSMS_HOME, with QARHUB.INI and
// MMSC.INI in it bound as the configuration files.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "tests/support/temp_dir.h"

// Binds folder (ending in "/") as the data folder of the process.
void BindDataFolder(const std::string& folder);

class TestDataFolder {
 public:
  TestDataFolder();
  // Closes the message-id store kept open in the folder before it is removed.
  ~TestDataFolder();
  const std::string& path() const { return dir_.path(); }
  // Writes QARHUB.INI as given.
  void WriteIni(std::string_view text) const;

 private:
  TempDir dir_;
};

// The same as a test fixture; ConfigChanged runs after each WriteConfig.
class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& home() const { return home_; }
  // Writes QARHUB.INI (CR LF added to each line of text).
  void WriteConfig(const std::string& text);
  virtual void ConfigChanged() {}

  std::string home_;  // ends in "/"

 private:
  std::unique_ptr<TestDataFolder> folder_;
};
