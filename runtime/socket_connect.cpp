#include "runtime/socket_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

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
      pollfd p{sock, POLLOUT, 0};
      if (poll(&p, 1, timeoutMs) == 1) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) result = 0;
      }
    }
    fcntl(sock, F_SETFL, flags);
  }
  freeaddrinfo(found);
  if (result != 0) why = "cannot connect to " + host + ":" + portText;
  return result;
}
