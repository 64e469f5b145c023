#include "tests/support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

uint16_t FreeTcpPort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  close(s);
  return ntohs(sa.sin_port);
}

int ConnectLoopback(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(s);
    return -1;
  }
  return s;
}

bool PortAccepts(uint16_t port) {
  int s = ConnectLoopback(port);
  if (s < 0) return false;
  close(s);
  return true;
}

std::string LoopbackHttpGet(uint16_t port, const std::string& target, long waitSeconds) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return {};
  timeval tv{waitSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

bool UdpPortFree(uint16_t port) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  bool free = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(s);
  return free;
}

void SendLoopbackDatagram(uint16_t port, const std::string& bytes) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  close(s);
}
