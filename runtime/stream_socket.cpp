#include "runtime/stream_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? int((left + 999) / 1000) : 0;
}

int ConnectSocketWithin(int sock, const std::string& host, unsigned port, int timeoutMs, std::string& why) {
  if (host.empty() || port == 0 || port > 65535) {
    why = "no host or port";
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char portText[8];
  snprintf(portText, sizeof portText, "%u", port);
  if (getaddrinfo(host.c_str(), portText, &hints, &found) != 0 || !found) {
    why = "cannot resolve " + host;
    return -1;
  }
  // The caller's socket has its family already; take the first address of that family.
  sockaddr_storage own{};
  socklen_t ownLength = sizeof own;
  int family = getsockname(sock, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 ? own.ss_family : AF_INET;
  const addrinfo* target = nullptr;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_family == family) {
      target = a;
      break;
    }
  }
  int result = -1;
  if (target) {
    int flags = fcntl(sock, F_GETFL, 0);
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(sock, target->ai_addr, target->ai_addrlen);
    if (rc == 0) {
      result = 0;
    } else if (errno == EINPROGRESS) {
      // A signal does not cut the wait short.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
      pollfd p{sock, POLLOUT, 0};
      int r;
      do {
        r = poll(&p, 1, MillisecondsLeft(deadline));
      } while (r < 0 && errno == EINTR);
      int error = 0;
      socklen_t length = sizeof error;
      if (r == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) result = 0;
    }
    fcntl(sock, F_SETFL, flags);
  }
  freeaddrinfo(found);
  if (result != 0) why = "cannot connect to " + host + ":" + portText;
  return result;
}

int SendAllWithin(int sock, std::string_view bytes, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t sent = 0;
  while (sent < bytes.size()) {
    // Send first; wait for room only when the socket has none.
    ssize_t n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += size_t(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    int left = MillisecondsLeft(deadline);
    if (left == 0) return -1;
    pollfd p{sock, POLLOUT, 0};
    if (poll(&p, 1, left) < 0 && errno != EINTR) return -1;
  }
  return 0;
}

int ReceiveSome(int sock, int timeoutMs, std::string& into) {
  pollfd p{sock, POLLIN, 0};
  int r = poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  char buffer[16384];
  ssize_t n = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
  if (n == 0) return -1;
  into.append(buffer, size_t(n));
  return 1;
}

bool PeerHasClosed(int sock) {
  // A closed peer shows as readable with nothing to read; bytes still waiting before the
  // close are read first by whoever reads next.
  pollfd p{sock, short(POLLIN | POLLRDHUP), 0};
  if (poll(&p, 1, 0) != 1) return false;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
  if (!(p.revents & (POLLIN | POLLRDHUP))) return false;
  char byte;
  ssize_t n = recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}
