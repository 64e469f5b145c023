#include "tests/support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "runtime/mutex.h"
#include "runtime/unique_fd.h"

namespace {

// The ports below the kernel's ephemeral range: outgoing connections never take them, as
// they may take a port that was bound to 0 and released.
void ReservableRange(uint16_t& low, uint16_t& high) {
  unsigned first = 32768;
  if (FILE* f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    unsigned a = 0, b = 0;
    if (fscanf(f, "%u %u", &a, &b) == 2 && a > 0) first = a;
    fclose(f);
  }
  high = uint16_t(std::max(first, 2048u) - 1);
  low = uint16_t(std::max(1024u, unsigned(high) > 12000 ? unsigned(high) - 12000 : 1024u));
}

// A lock on a file named after port, which reserves it among the test programs running at
// once; held until this process ends (the kernel drops it then, so nothing goes stale). The
// folder is /tmp for every program, whatever its TMPDIR. Invalid when another program has it.
UniqueFd ReservePort(uint16_t port) {
  std::string dir = "/tmp/qar-test-ports";
  mkdir(dir.c_str(), 0777);
  UniqueFd fd(open((dir + "/" + std::to_string(port)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (fd.valid() && flock(fd.get(), LOCK_EX | LOCK_NB) != 0) fd.reset();
  return fd;
}

bool TcpPortBindable(uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

}  // namespace

uint16_t FreeTcpPort() {
  static Mutex mutex;
  static uint32_t next = 0;
  static uint16_t low = 0, high = 0;
  static std::vector<UniqueFd> held;
  MutexLock lock(mutex);
  if (next == 0) ReservableRange(low, high);
  uint32_t span = uint32_t(high - low) + 1;
  // Programs started together begin at different places in the range.
  if (next == 0) next = (uint32_t(getpid()) * 2654435761u ^ uint32_t(time(nullptr))) % span + 1;
  for (uint32_t tried = 0; tried < span; ++tried) {
    uint16_t port = uint16_t(low + (next++ % span));
    UniqueFd reservation = ReservePort(port);
    if (!reservation.valid() || !TcpPortBindable(port)) continue;
    held.push_back(std::move(reservation));
    return port;
  }
  return 0;
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

UniqueFd HoldTcpPort(uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!s.valid() || bind(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s.get(), 1) != 0) s.reset();
  return s;
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
