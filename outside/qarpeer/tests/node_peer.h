// Runs one of the Node scripts of these tests (npm "smpp" package) as a child process and
// reads its output line by line, each wait bounded.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

// Installs smpp@0.5.1 into npmDir once; false when npm cannot.
bool EnsureNodeSmpp(const std::string& npmDir);

class NodePeer {
 public:
  NodePeer() = default;
  NodePeer(const NodePeer&) = delete;
  NodePeer& operator=(const NodePeer&) = delete;
  ~NodePeer();
  bool Start(const std::string& npmDir, const std::string& script, const std::vector<std::string>& args);
  // The next line within timeoutMs; false at timeout or end.
  bool ReadLine(std::string& line, int timeoutMs);
  // Reads until a line begins with prefix; every line read is kept in lines().
  bool WaitFor(const std::string& prefix, std::string& line, int timeoutMs);
  void Send(const std::string& line);
  void Stop();
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  ChildProcess process_;
  std::vector<std::string> lines_;
};
