// Loopback servers for the HTTP client tests: a scripted HTTP server that records the
// exact request bytes, a CONNECT proxy, and openssl s_server.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/unique_fd.h"
#include "tests/support/ports.h"

struct ScriptedReply {
  std::string bytes;
  bool closeAfter = false;   // close the connection after sending
  bool silent = false;       // send nothing (and close when closeAfter)
};

// Every connection runs on its own thread; requests end at the empty line.
class ScriptedServer {
 public:
  // connection: 0-based connection number; index: request number on that connection.
  using Script = std::function<ScriptedReply(const std::string& request, int connection, int index)>;
  // With tls, every connection first completes a TLS handshake through SealCalls.
  explicit ScriptedServer(Script script, bool tls = false);
  ~ScriptedServer();
  uint16_t port() const { return port_; }
  std::vector<std::string> Requests();   // in arrival order
  int Connections() const { return connections_.load(); }

 private:
  void Serve(int fd, int number);
  Script script_;
  bool tls_ = false;
  UniqueFd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// A CONNECT proxy: answers status (200 tunnels to the named host and port).
class TunnelProxy {
 public:
  explicit TunnelProxy(int status);
  ~TunnelProxy();
  uint16_t port() const { return port_; }
  std::string FirstRequest();

 private:
  void Serve(int fd);
  int status_;
  UniqueFd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string first_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// tinyproxy on a free loopback port, for plain requests and CONNECT tunnels to any port;
// port 0 when it did not start.
class TinyProxy {
 public:
  explicit TinyProxy(const std::string& configDir);
  ~TinyProxy();
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// openssl s_server -www with the given certificate and key; port 0 when it did not start.
class OpensslServer {
 public:
  OpensslServer(const std::string& cert, const std::string& key);
  ~OpensslServer();
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};
