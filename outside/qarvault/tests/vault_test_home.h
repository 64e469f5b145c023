// A fresh installation for each test: $QARSMS_HOME is a new temporary directory with
// QARHUB.INI and MMSC.INI bound in it; removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

class VaultTestHome : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string home_;  // ends in "/"
};

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Runs fn in a forked child (exit status 0 when fn returned true). Fork only while the
// test has no other threads.
template <typename Fn>
pid_t StartChild(Fn fn) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn() ? 0 : 1);
  return pid;
}
// The child's exit status, -1 when it cannot be waited for.
int WaitChild(pid_t pid);

// The directory of the running test program, where the built libraries and tools are.
std::string TestProgramDir();
