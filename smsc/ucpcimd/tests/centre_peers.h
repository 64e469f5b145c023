// The SMS centres the UCP and CIMD tests talk to: programs run as children whose output
// is read line by line, and the UCP simulator driven through its control channel.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The shared simulators' folder (../shared/peers beside the checkout, or $QAR_PEERS_DIR).
std::string PeersDirectory();

class PeerProcess {
 public:
  PeerProcess() = default;
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  ~PeerProcess() { Stop(); }
  // Runs argv[0] (searched on PATH) with stdout (and stderr when mergeErrors) on a pipe.
  bool Start(const std::vector<std::string>& argv, bool mergeErrors = false);
  bool ReadLine(std::string& line, int timeoutMs);
  // SIGTERM, then SIGKILL after a second.
  void Stop();
  bool Running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

// ucp-smsc-sim on loopback, MT 3 texts in GSM codes: its listen port (fixed when given, so that a new one can take
// the place of a stopped one) and its control channel.
class UcpSim {
 public:
  ~UcpSim() { Stop(); }
  bool Start(uint16_t port = 0, const std::vector<std::string>& extra = {});
  void Stop();
  uint16_t port() const { return port_; }
  // One JSON request line; the answer line (empty when none came within timeoutMs).
  std::string Command(const std::string& json, int timeoutMs = 20000);
  // The decoded submits so far (the "submits" answer).
  std::string Submits() { return Command(R"({"cmd":"submits"})"); }
  int SubmitCount();
  // Until an open client is logged in (up to ms).
  bool WaitLoggedIn(unsigned ms = 30000);

 private:
  PeerProcess process_;
  uint16_t port_ = 0, control_ = 0;
  int controlFd_ = -1;
};

// The value of "key" in a JSON text from offset on: a string (escapes kept as written), a
// number or a word; empty when absent.
std::string JsonField(const std::string& json, const std::string& key, size_t from = 0);
// How often needle occurs in text.
size_t CountOf(const std::string& text, const std::string& needle);
