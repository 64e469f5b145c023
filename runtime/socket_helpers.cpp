#include "runtime/socket_helpers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"

void CloseSocketGracefully(UniqueFd& socket) {
  if (!socket) return;
  int listening = 0;
  socklen_t length = sizeof listening;
  if (getsockopt(socket.get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0) {
    socket.reset();  // a listener has no peer to wait for
    return;
  }
  if (shutdown(socket.get(), SHUT_WR) != 0) {
    // Never connected (a refused connect): nothing to wait for.
    socket.reset();
    return;
  }
  uint64_t start = TickMs();
  while (TickMs() - start < 60000 && ShutdownRequested.load() == 0) {
    struct pollfd pfd = {socket.get(), POLLIN, 0};
    int ready = poll(&pfd, 1, 5000);
    if (ready < 0) {
      if (errno == EINTR) continue;
      WriteDebugLog("WaitForSocketClose", StrPrintf("WinSock reported select condition %u", errno));
      break;
    }
    if (ready == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    int pending = 0;
    if (ioctl(socket.get(), FIONREAD, &pending) != 0) {
      WriteDebugLog("WaitForSocketClose", StrPrintf("WinSock reported ioctlsocket condition %u", errno));
      break;
    }
    if (pending == 0) {
      WriteDebugLog("WaitForSocketClose", "WinSock reported ioctlsocket complete");
      break;
    }
    char discard[500];
    ssize_t n = recv(socket.get(), discard, sizeof discard, 0);
    if (n < 0) {
      WriteDebugLog("WaitForSocketClose", StrPrintf("WinSock reported recv condition %u", errno));
      break;
    }
    if (n == 0) {
      WriteDebugLog("WaitForSocketClose", "WinSock reported recv complete");
      break;
    }
  }
  socket.reset();
}

std::string ResolveListenAddress(const std::string& configured) {
  if (configured.empty()) return "";
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  struct addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0) return "";
  std::string found;
  int count = 0;
  for (struct addrinfo* ai = list; ai != nullptr && count < 100; ai = ai->ai_next, ++count) {
    char text[INET6_ADDRSTRLEN] = {0};
    const void* addr = ai->ai_family == AF_INET
                           ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr)
                           : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr);
    if (inet_ntop(ai->ai_family, addr, text, sizeof text) != nullptr && EqualsNoCase(text, configured)) {
      found = configured;
      break;
    }
  }
  freeaddrinfo(list);
  return found;
}

namespace {
ListenResult BindAndListen(UniqueFd sock, const sockaddr_storage& address, socklen_t length, int backlog) {
  ListenResult result;
  int one = 1;
  setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    result.failedAt = ListenStage::Bind;
    result.error = errno;
    return result;
  }
  if (listen(sock.get(), backlog) != 0) {
    result.failedAt = ListenStage::Listen;
    result.error = errno;
    return result;
  }
  result.socket = std::move(sock);
  return result;
}
}  // namespace

ListenResult OpenTcpListener(const std::string& address, uint16_t port, int backlog) {
  struct sockaddr_storage storage{};
  if (address.empty()) {
    // All interfaces of both families on one socket (IPv4 clients arrive as mapped
    // addresses); IPv4 alone when the host has no IPv6.
    UniqueFd six(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int off = 0;
    if (six && setsockopt(six.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
      auto* any = reinterpret_cast<sockaddr_in6*>(&storage);
      any->sin6_family = AF_INET6;
      any->sin6_port = htons(port);
      any->sin6_addr = in6addr_any;
      ListenResult r = BindAndListen(std::move(six), storage, sizeof *any, backlog);
      if (!(r.failedAt == ListenStage::Bind && (r.error == EADDRNOTAVAIL || r.error == EAFNOSUPPORT))) return r;
      storage = {};
    }
  }
  socklen_t length = 0;
  int family = AF_INET;
  if (address.find(':') != std::string::npos) {
    auto* sa6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sa6->sin6_family = AF_INET6;
    sa6->sin6_port = htons(port);
    inet_pton(AF_INET6, address.c_str(), &sa6->sin6_addr);
    family = AF_INET6;
    length = sizeof *sa6;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    sa->sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty()) inet_pton(AF_INET, address.c_str(), &sa->sin_addr);
    length = sizeof *sa;
  }
  UniqueFd sock(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    ListenResult result;
    result.failedAt = ListenStage::Socket;
    result.error = errno;
    return result;
  }
  return BindAndListen(std::move(sock), storage, length, backlog);
}

uint16_t BoundPort(int socket) {
  struct sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return 0;
}
