// Starts the real qargate (or qargatesvc, or another built program) on a temporary data
// folder and free ports.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

// Whether this host has IPv6 (its loopback can be bound); whether [::1]:port accepts.
bool HostHasIpv6();
bool Ipv6LoopbackAccepts(uint16_t port);

// The directory of the running test program, where the built programs and libraries are;
// ends in "/".
std::string BinDirectory();
// Runs curl and returns what it printed (body, then the status code on the last line).
std::string Curl(const std::vector<std::string>& args);
// The status code Curl printed last.
std::string CurlStatus(const std::string& curlOutput);

// A data folder for a gateway process (not bound in the test's own process).
class GatewayHome {
 public:
  const std::string& path() const { return dir_.path(); }
  // Writes QARHUB.INI: [QARHUB] with the given lines (CR LF added), then extra sections.
  void WriteConfig(const std::vector<std::string>& qarhubLines, const std::string& extra = "");
  std::string DebugLog() const { return ReadFileText(path() + "LOGS/SMSDEBUG.LOG"); }
  // Publishes "[SMS]" and body in the outbound queue as another program must: complete,
  // under a temporary name first.
  void DropQueueFile(const std::string& name, const std::string& body) const;
  // The outbound message logs (SMSOUT*) together.
  std::string OutboundLog() const;

 private:
  TempDir dir_;
};

class GatewayProcess {
 public:
  // Starts program (default qargate; a bare name is taken from BinDirectory) with
  // QARSMS_HOME and extraEnv ("NAME=value") set; output goes to a file.
  GatewayProcess(const GatewayHome& home, const std::string& program = "qargate",
                 const std::vector<std::string>& args = {}, const std::vector<std::string>& extraEnv = {});
  ~GatewayProcess();
  pid_t pid() const { return pid_; }
  // Waits up to ms for the exit; true with the exit code (or 128 + signal) when it ended.
  bool WaitExit(unsigned ms, int& code);
  bool Running();
  void Signal(int sig);
  std::string Output() const { return ReadFileText(outputPath_); }
  // Polls until the output holds text, up to ms.
  bool WaitForOutput(const std::string& text, unsigned ms) const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int code_ = 0;
  std::string outputPath_;
};

// A data folder and a free web port; Configure puts "Debug=Yes" and the port first.
struct WebGateway {
  GatewayHome home;
  uint16_t port = FreeTcpPort();
  void Configure(std::vector<std::string> lines = {}, const std::string& extra = "");
  // The ".req" files under Q/ in name order, read and then removed, so that each case sees
  // its own.
  std::vector<std::string> TakeQueued() const;
};
// Until the gateway says its web server started and the port accepts.
bool WaitReady(GatewayProcess& p, uint16_t port);

// Polls fn every 50 ms until it returns true or ms pass.
template <typename Fn>
bool WaitUntil(unsigned ms, Fn fn) {
  for (unsigned waited = 0;; waited += 50) {
    if (fn()) return true;
    if (waited >= ms) return false;
    usleep(50000);
  }
}

// Runs fn in a forked child (exit status 0 when fn returned true). Fork only while the
// test has no other threads.
template <typename Fn>
pid_t StartChild(Fn fn) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn() ? 0 : 1);
  return pid;
}
// The child's exit status (128 + signal after a signal), -1 when it cannot be waited for.
int WaitChild(pid_t pid);
// The first child process of parent (the program a tracer runs), -1 when it has none.
pid_t FirstChildOf(pid_t parent);
