#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

#include "config/settings.h"
#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/socket_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "outside/seal_table.h"
#include "web/web_server.h"

namespace {
Mutex PoolLock;

// A finished plain connection thread waiting for its next socket.
struct ParkRecord {
  std::condition_variable wake;
  int socket GUARDED_BY(PoolLock) = -1;
  bool abandoned GUARDED_BY(PoolLock) = false;
};

constexpr size_t kMaxParked = 400;
constexpr int kParkSeconds = 30;

std::deque<std::shared_ptr<ParkRecord>> ParkingQueue GUARDED_BY(PoolLock);

bool OfferToParkedThread(int socket) {
  MutexLock guard(PoolLock);
  while (!ParkingQueue.empty()) {
    std::shared_ptr<ParkRecord> record = ParkingQueue.front();
    ParkingQueue.pop_front();
    if (record->abandoned) continue;
    record->socket = socket;
    record->wake.notify_one();
    return true;
  }
  return false;
}

// Waits up to 30 seconds for a socket; -1 when none came (or the pool is full).
int ParkAndWait() {
  auto record = std::make_shared<ParkRecord>();
  MutexLock guard(PoolLock);
  if (ParkingQueue.size() > kMaxParked) return -1;
  ParkingQueue.push_back(record);
  for (int i = 0; i < kParkSeconds && record->socket < 0 && ShutdownRequested.load() == 0; ++i)
    guard.WaitFor(record->wake, std::chrono::seconds(1));
  if (record->socket >= 0) return record->socket;
  record->abandoned = true;
  while (!ParkingQueue.empty() && ParkingQueue.front()->abandoned) ParkingQueue.pop_front();
  return -1;
}

void FillPeer(WebConnection& c) {
  struct sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(c.socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return;
  char text[INET6_ADDRSTRLEN] = {0};
  if (peer.ss_family == AF_INET) {
    auto* sa = reinterpret_cast<sockaddr_in*>(&peer);
    inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
    c.clientPort = ntohs(sa->sin_port);
  } else if (peer.ss_family == AF_INET6) {
    auto* sa6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&sa6->sin6_addr)) inet_ntop(AF_INET, &sa6->sin6_addr.s6_addr[12], text, sizeof text);
    else inet_ntop(AF_INET6, &sa6->sin6_addr, text, sizeof text);
    c.clientPort = ntohs(sa6->sin6_port);
  }
  c.clientAddress = text;
}

void FinishConnection(WebConnection& c, UniqueFd& socket, const char* label) {
  if (c.ssl != nullptr && SealCalls.ServerCertPresent) SealCalls.sslFreeSession(c.ssl);
  c.ssl = nullptr;
  CloseSocketGracefully(socket);
  c.pipeline.clear();
  WriteDebugLog(label, "Request processing complete");
}

void PlainConnectionThread(int fd) {
  UniqueFd socket(fd);
  for (;;) {
    WebConnection c;
    c.socket = socket.get();
    FillPeer(c);
    ProcessConnection(c);
    FinishConnection(c, socket, "ThreadProcessConnection");
    if (!Settings.EnableThreadPool || ShutdownRequested.load() != 0) return;
    int next = ParkAndWait();
    if (next < 0) return;
    socket.reset(next);
  }
}

void SslConnectionThread(int fd) {
  UniqueFd socket(fd);
  WebConnection c;
  c.socket = socket.get();
  FillPeer(c);
  char error[2048] = {0};
  c.ssl = SealCalls.sslAcceptSession(c.socket, error, sizeof error, 30000);
  if (c.ssl == nullptr) {
    WriteDebugLog("ThreadProcessSSLConnection", error);
    CloseSocketGracefully(socket);
    return;
  }
  ProcessConnection(c);
  FinishConnection(c, socket, "ThreadProcessSSLConnection");
}

void ListenLoop(int listenSocket, bool ssl) {
  const char* label = ssl ? "ThreadListenForSSLConnections" : "ThreadListenForConnections";
  while (ShutdownRequested.load() == 0) {
    struct pollfd fds[2] = {{listenSocket, POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (ready > 0 && (fds[0].revents & POLLNVAL))) {
      WriteDebugLogf(label, "Error %d waiting for connections", errno);
      return;
    }
    if (fds[1].revents) ClearStaleShutdownWake();
    if (!(fds[0].revents & POLLIN)) continue;
    if (!ssl) WriteDebugLog(label, "Before accept");
    int fd = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (!ssl) WriteDebugLog(label, "After accept");
    if (fd < 0) {
      // Out of descriptors or memory: give the system a moment instead of spinning.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!ssl && Settings.EnableThreadPool && OfferToParkedThread(fd)) continue;
    bool started = ssl ? StartServiceThread("ThreadProcessSSLConnection", [fd] { SslConnectionThread(fd); })
                       : StartServiceThread("ThreadProcessConnection", [fd] { PlainConnectionThread(fd); });
    if (!started) {
      WriteDebugLog(label, "Error starting thread");
      close(fd);
    }
  }
}
}  // namespace

void ThreadListenForConnections(int listenSocket) { ListenLoop(listenSocket, false); }
void ThreadListenForSSLConnections(int listenSocket) { ListenLoop(listenSocket, true); }

size_t ParkedThreadCount() {
  MutexLock guard(PoolLock);
  size_t n = 0;
  for (const auto& r : ParkingQueue)
    if (!r->abandoned) ++n;
  return n;
}
