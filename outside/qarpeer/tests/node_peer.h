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

// The script smsc_server.js (scriptsDir) as an SMS centre on a free loopback port.
struct NodeSmsc {
  NodePeer node;
  unsigned port = 0;
  // options: the script's JSON options; true once it listens.
  bool Start(const std::string& npmDir, const std::string& scriptsDir, const std::string& options = "{}");
  // Sends a deliver_sm and returns the status of its response (-1 without one).
  int Deliver(const std::string& json);
  // The next submit_sm whose decoded fields hold text.
  bool WaitSubmit(const std::string& text, std::string& pdu, int timeoutMs);
  // The submit_sm lines read so far whose decoded fields hold text.
  size_t CountSubmits(const std::string& text = "") const;
};
