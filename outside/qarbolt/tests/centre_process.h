// The Python CIMD2 centre of these tests as a child process: its ready line, its control
// channel, and its end with the test.
#pragma once

#include <string>

#include "tests/support/child_process.h"

class CimdCentre {
 public:
  ~CimdCentre();
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
};

// The port number after the last ':' of "host:port" in a JSON member of line.
unsigned PortOfMember(const std::string& line, const std::string& member);
