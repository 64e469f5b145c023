#include "httpclient/client_connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <thread>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/thread_registry.h"

namespace {
struct Lookup {
  Mutex lock;
  std::condition_variable done;
  bool finished GUARDED_BY(lock) = false;
  bool found GUARDED_BY(lock) = false;
  in_addr address GUARDED_BY(lock){};
};

// getaddrinfo has no timeout of its own: it runs on a helper thread that may outlive the
// wait; the shared record keeps its result valid either way.
bool ResolveWithin(const std::string& host, uint32_t timeoutMs, in_addr& out) {
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      struct addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      struct addrinfo* list = nullptr;
      bool ok = getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list != nullptr;
      MutexLock guard(lookup->lock);
      if (ok) lookup->address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
      if (list != nullptr) freeaddrinfo(list);
      lookup->found = ok;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  MutexLock guard(lookup->lock);
  uint64_t start = TickMs();
  while (!lookup->finished && TickMs() - start < timeoutMs && ShutdownRequested.load() == 0)
    guard.WaitFor(lookup->done, std::chrono::milliseconds(200));
  if (!lookup->found) return false;
  out = lookup->address;
  return true;
}
}  // namespace

UniqueFd ConnectTcp(const std::string& host, uint16_t port, uint32_t timeoutMs, ConnectFailure& failure,
                    const std::string& bindIP) {
  failure = ConnectFailure::None;
  struct sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1) {
    WriteDebugLogf("RetrieveURL", "Looking up %s", host.c_str());
    if (!ResolveWithin(host, timeoutMs, to.sin_addr)) {
      failure = ConnectFailure::Lookup;
      return UniqueFd();
    }
  }
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s) {
    failure = ConnectFailure::Socket;
    return s;
  }
  if (!bindIP.empty()) {
    struct sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, bindIP.c_str(), &local.sin_addr) != 1 ||
        bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      failure = ConnectFailure::Bind;
      return UniqueFd();
    }
  }
  int rc = connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (rc != 0 && errno != EINPROGRESS) {
    failure = ConnectFailure::Connect;
    return UniqueFd();
  }
  if (rc != 0) {
    uint64_t start = TickMs();
    for (;;) {
      uint64_t elapsed = TickMs() - start;
      if (elapsed >= timeoutMs || ShutdownRequested.load() != 0) {
        failure = ConnectFailure::Connect;
        return UniqueFd();
      }
      struct pollfd pfd = {s.get(), POLLOUT, 0};
      int ready = poll(&pfd, 1, static_cast<int>(std::min<uint64_t>(timeoutMs - elapsed, 1000)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        failure = ConnectFailure::Connect;
        return UniqueFd();
      }
      if (ready > 0) break;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
      failure = ConnectFailure::Connect;
      return UniqueFd();
    }
  }
  // Plain sends and reads use blocking calls after a wait; TLS switches to non-blocking itself.
  int flags = fcntl(s.get(), F_GETFL, 0);
  fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
  int one = 1;
  setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  struct timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return s;
}
