#include "smsc/smsc_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "runtime/clock.h"
#include "runtime/thread_registry.h"

namespace {
constexpr int kDrainSeconds = 60;
bool Stopping() { return ShutdownRequested.load() != 0; }
}  // namespace

std::vector<int> FamiliesOf(const std::string& host) {
  std::vector<int> families;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
    for (const addrinfo* a = found; a; a = a->ai_next) {
      if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
          std::find(families.begin(), families.end(), a->ai_family) == families.end()) {
        families.push_back(a->ai_family);
      }
    }
    freeaddrinfo(found);
  }
  if (families.empty()) families.push_back(AF_INET);
  return families;
}

bool BindLocal(int sock, int family, const std::string& bindIP, uint16_t port) {
  if (family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    if (!bindIP.empty() && inet_pton(AF_INET6, bindIP.c_str(), &a.sin6_addr) != 1) return false;
    return bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindIP.empty() && inet_pton(AF_INET, bindIP.c_str(), &a.sin_addr) != 1) return false;
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void CloseSession(UniqueFd& sock) {
  if (!sock) return;
  shutdown(sock.get(), SHUT_WR);
  uint64_t start = TickMs();
  char buffer[4096];
  while (TickMs() - start < uint64_t(kDrainSeconds) * 1000) {
    pollfd p{sock.get(), POLLIN, 0};
    if (poll(&p, 1, Stopping() ? 100 : 1000) <= 0) {
      if (Stopping()) break;
      continue;
    }
    if (recv(sock.get(), buffer, sizeof buffer, MSG_DONTWAIT) <= 0) break;
  }
  sock.reset();
}
