#include "tests/support/data_folder.h"

#include <cstdlib>
#include <sstream>

#include "outside/qarvault/qarvault.h"
#include "tests/support/test_files.h"

void BindDataFolder(const std::string& folder) {
  setenv("QARSMS_HOME", folder.c_str(), 1);
  SMSIniSetFilename((folder + "QARHUB.INI").c_str());
  MMSCIniSetFilename((folder + "MMSC.INI").c_str());
}

TestDataFolder::TestDataFolder() { BindDataFolder(dir_.path()); }

TestDataFolder::~TestDataFolder() { SMSCMessageIdCloseAll(); }

void TestDataFolder::WriteIni(std::string_view text) const { WriteFileText(path() + "QARHUB.INI", text); }

void DataFolderTest::SetUp() {
  folder_ = std::make_unique<TestDataFolder>();
  home_ = folder_->path();
}

void DataFolderTest::TearDown() { folder_.reset(); }

void DataFolderTest::WriteConfig(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += line + "\r\n";
  folder_->WriteIni(out);
  ConfigChanged();
}
