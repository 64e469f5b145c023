#include "outside/qarbolt/tests/centre_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

unsigned PortOfMember(const std::string& line, const std::string& member) {
  size_t at = line.find("\"" + member + "\"");
  if (at == std::string::npos) return 0;
  size_t end = line.find('"', line.find('"', line.find(':', at) + 1) + 1);
  size_t colon = line.rfind(':', end);
  return unsigned(std::strtoul(line.c_str() + colon + 1, nullptr, 10));
}

CimdCentre::~CimdCentre() {
  if (control_ >= 0) close(control_);
  process_.Stop();
}

bool CimdCentre::Start(const std::string& login) {
  if (!process_.Start({"python3", QARBOLT_TEST_DIR "/cimd_centre.py", "--login", login, "--lifetime", "300",
                      "--stdin-ends"}))
    return false;
  std::string line;
  if (!process_.ReadLine(line, 20000)) return false;
  port_ = PortOfMember(line, "listen");
  unsigned controlPort = PortOfMember(line, "control");
  control_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(controlPort));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return port_ != 0 && connect(control_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

std::string CimdCentre::Control(const std::string& json, int timeoutMs) {
  std::string text = json;
  for (char& c : text) {
    if (c == '\n') c = ' ';  // one command a line
  }
  text += "\n";
  if (send(control_, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) return "";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{control_, POLLIN, 0};
    if (poll(&p, 1, int(left.count())) <= 0) continue;
    char chunk[65536];
    ssize_t n = recv(control_, chunk, sizeof chunk, 0);
    if (n <= 0) return "";
    buffer_.append(chunk, size_t(n));
  }
}
