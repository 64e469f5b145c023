#include "smsc/tests/smsc_test_home.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "outside/qarvault/qarvault.h"
#include "smsc/local_routing.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"

void SmscTestHome::SetUp() {
  // Logs and counters keep descriptors into the previous test's folder.
  LogsClose();
  CountersClose();
  std::string pattern = ::testing::TempDir() + "qarsmsc-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  home_ = pattern + "/";
  ::setenv("QARSMS_HOME", home_.c_str(), 1);
  SMSIniSetFilename((home_ + "QARHUB.INI").c_str());
  MMSCIniSetFilename((home_ + "MMSC.INI").c_str());
  WriteConfig("[QARHUB]");
}

void SmscTestHome::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(home_, ec);
}

void SmscTestHome::WriteConfig(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += line + "\r\n";
  WriteText(home_ + "QARHUB.INI", out);
  ReloadStoreDirectories();
  ResetLocalRoutingCache();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}
