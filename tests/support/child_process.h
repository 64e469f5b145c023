// A peer program run by a test as a child process: its standard input and output through
// pipes, its output read line by line with bounded waits, and its end with the test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();
  // argv[0] is looked up on PATH; extraEnv ("NAME=value") is added to the environment.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
  // The next line of its output within timeoutMs; false at timeout or end.
  bool ReadLine(std::string& line, int timeoutMs);
  // One line (a newline added) to its input.
  void WriteLine(const std::string& line);
  // Closes its input, gives it graceMs to leave on its own, then ends it.
  void Stop(int graceMs = 0);

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
};
