#include "outside/qarvault/tests/vault_test_home.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "outside/qarvault/qarvault.h"

void VaultTestHome::SetUp() {
  std::string pattern = ::testing::TempDir() + "qarvault-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  home_ = pattern + "/";
  ::setenv("QARSMS_HOME", home_.c_str(), 1);
  SMSIniSetFilename((home_ + "QARHUB.INI").c_str());
  MMSCIniSetFilename((home_ + "MMSC.INI").c_str());
}

void VaultTestHome::TearDown() {
  SMSCMessageIdCloseAll();
  std::error_code ec;
  std::filesystem::remove_all(home_, ec);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string TestProgramDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return exe.parent_path().string() + "/";
}
