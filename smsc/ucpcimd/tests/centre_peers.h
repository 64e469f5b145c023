// The UCP simulator driven through its control channel (the CIMD2 centres and the child
// processes are those of qarbolt's tests), and small readers of their JSON answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/qarbolt/tests/centre_process.h"

// The shared simulators' folder (../shared/peers beside the checkout, or $QAR_PEERS_DIR).
std::string PeersDirectory();

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
  ChildProcess process_;
  uint16_t port_ = 0, control_ = 0;
  int controlFd_ = -1;
};

// The value of "key" in a JSON text from offset on: a string (escapes kept as written), a
// number or a word; empty when absent.
std::string JsonField(const std::string& json, const std::string& key, size_t from = 0);
// How often needle occurs in text.
size_t CountOf(const std::string& text, const std::string& needle);
