// Runs a test peer (the Python CIMD2 centre, or the Debian test server) as a child process:
// its ready line, its control channel, and its end with the test.
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
  bool Start(const std::vector<std::string>& argv);
  // The next line of its standard output within timeoutMs; false at timeout or end.
  bool ReadLine(std::string& line, int timeoutMs);
  void Stop();
  bool Running();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
};

class CimdCentre {
 public:
  // Starts cimd_centre.py with a login of user:password; false when it did not come up.
  bool Start(const std::string& login = "user:password");
  unsigned port() const { return port_; }
  // One control command (a JSON object) and its one-line answer ("" when none came).
  std::string Control(const std::string& json, int timeoutMs = 15000);

 private:
  ChildProcess process_;
  unsigned port_ = 0;
  int control_ = -1;
  std::string buffer_;

 public:
  ~CimdCentre();
};

// The port number after the last ':' of "host:port" in a JSON member of line.
unsigned PortOfMember(const std::string& line, const std::string& member);
