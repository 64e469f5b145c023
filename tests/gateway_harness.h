// Starts the real qargate (or qargatesvc) on a temporary data folder and free ports.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>

// A port nobody listens on now (bound to 0 and released).
uint16_t FreeTcpPort();
bool PortAccepts(uint16_t port);
// Whether this host has IPv6 (its loopback can be bound); whether [::1]:port accepts.
bool HostHasIpv6();
bool Ipv6LoopbackAccepts(uint16_t port);
std::string BinDirectory();
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
// Runs curl and returns what it printed (body, then the status code on the last line).
std::string Curl(const std::vector<std::string>& args);

class GatewayHome {
 public:
  GatewayHome();
  ~GatewayHome();
  const std::string& path() const { return path_; }
  // Writes QARHUB.INI: [QARHUB] with the given lines (CR LF added), then extra sections.
  void WriteConfig(const std::vector<std::string>& qarhubLines, const std::string& extra = "");
  std::string DebugLog() const { return ReadFileText(path_ + "LOGS/SMSDEBUG.LOG"); }

 private:
  std::string path_;
};

class GatewayProcess {
 public:
  // Starts program (default qargate) with QARSMS_HOME set; output goes to a file.
  GatewayProcess(const GatewayHome& home, const std::string& program = "qargate",
                 const std::vector<std::string>& args = {});
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
