#include "smsc/ucpcimd/inbound_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>

#include "runtime/debug_log.h"
#include "runtime/mutex.h"
#include "runtime/socket_helpers.h"
#include "runtime/str_printf.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/message_logs.h"

namespace {

constexpr int kBacklog = 100;
// Longest wait on a socket: the frame's once-a-second look at the stop flag (an announced
// stop ends the wait at once).
constexpr int kWaitStepMs = 1000;
constexpr int kStopWaitSeconds = 15;

}  // namespace

struct ListenerShared {
  const LinkCalls* calls = nullptr;
  std::string connection;
  std::atomic<bool> stop{false};
  UniqueFd wake;  // readable once stop is set
  Mutex lock;
  std::condition_variable ended;
  int running GUARDED_BY(lock) = 0;  // the listener and its connection threads

  bool Stopping() const { return stop.load() || ShutdownRequested.load() != 0; }
  void Enter() {
    MutexLock l(lock);
    ++running;
  }
  void Leave() {
    MutexLock l(lock);
    --running;
    ended.notify_all();
  }
  // Waits up to ms for sock to become readable, or for the stop; true when readable.
  bool WaitReadable(int sock, int ms) const {
    pollfd p[3] = {{sock, POLLIN, 0}, {wake.get(), POLLIN, 0}, {ShutdownWakeFd(), POLLIN, 0}};
    int n = poll(p, 3, ms);
    return n > 0 && (p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 && !Stopping();
  }
};

namespace {

std::string PeerText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
      inet_ntop(AF_INET, &a6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &a6.sin6_addr, text, sizeof text);
    }
  } else {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  }
  return text;
}

// Ends the connection in order: our side shut, what the peer still sends read until it
// closes (a short while only: the stop may be waiting on this thread).
void CloseConnection(const ListenerShared& s, UniqueFd& sock) {
  shutdown(sock.get(), SHUT_WR);
  char buffer[4096];
  for (int i = 0; i < 4 && s.WaitReadable(sock.get(), kWaitStepMs); ++i) {
    if (recv(sock.get(), buffer, sizeof buffer, MSG_DONTWAIT) <= 0) break;
  }
  sock.reset();
}

void ServeConnection(const std::shared_ptr<ListenerShared>& s, UniqueFd sock, const std::string& peer) {
  const LinkCalls& calls = *s->calls;
  const char* name = s->connection.c_str();
  WriteDebugLog(calls.connectionThread, StrPrintf("Processing %s connection from %s...\n", calls.kind, peer.c_str()));
  // An idle centre costs nothing: the library is called when its frames (or its close) arrive.
  while (!s->Stopping() && calls.linkUp(sock.get(), name)) {
    if (!s->WaitReadable(sock.get(), kWaitStepMs)) continue;
    if (calls.yield(sock.get(), name, 0) != 0) break;
  }
  calls.endSession(sock.get());
  CloseConnection(*s, sock);
  WriteDebugLog(calls.connectionThread, "Releasing Connection");
}

void Report(const ListenerShared& s, const std::string& text) {
  LogOutbound("System", "", s.connection, text, LogContent{}, "", "", "");
  WriteDebugLog(s.calls->listenerThread, text);
}

void Listen(const std::shared_ptr<ListenerShared>& s, const std::string& bindIP, uint16_t port) {
  const LinkCalls& calls = *s->calls;
  ListenResult l = OpenTcpListener(bindIP, port, kBacklog);
  if (l.failedAt != ListenStage::Ok) {
    const char* what = l.failedAt == ListenStage::Socket ? "General Socket Error"
                       : l.failedAt == ListenStage::Bind ? "Socket Bind Error"
                                                         : "Socket listen Error";
    Report(*s, StrPrintf("%s Receive Failure -- %s", calls.kind, what));
    return;
  }
  WriteDebugLog(calls.listenerThread, StrPrintf("%s Receive started on port %u", calls.kind, unsigned(port)));
  while (!s->Stopping()) {
    if (!s->WaitReadable(l.socket.get(), kWaitStepMs)) continue;
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    UniqueFd accepted(accept4(l.socket.get(), reinterpret_cast<sockaddr*>(&from), &fromLength, SOCK_CLOEXEC));
    if (!accepted) continue;
    std::string peer = PeerText(from);
    s->Enter();
    auto body = [s, sock = std::make_shared<UniqueFd>(std::move(accepted)), peer] {
      ServeConnection(s, std::move(*sock), peer);
      s->Leave();
    };
    if (!StartServiceThread(calls.connectionThread, body)) {
      s->Leave();
      WriteDebugLog(calls.listenerThread, "Error starting thread");
    }
  }
}

}  // namespace

InboundListener::InboundListener(const LinkCalls& calls, const std::string& connection, const std::string& bindIP,
                                 uint16_t port)
    : shared_(std::make_shared<ListenerShared>()) {
  shared_->calls = &calls;
  shared_->connection = connection;
  shared_->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::shared_ptr<ListenerShared> s = shared_;
  s->Enter();
  if (!StartServiceThread(std::string(calls.listenerThread) + " " + connection, [s, bindIP, port] {
        Listen(s, bindIP, port);
        s->Leave();
      })) {
    s->Leave();
    WriteDebugLog("ThreadProcessModem", "Error starting thread");
  }
}

InboundListener::~InboundListener() {
  ListenerShared& s = *shared_;
  s.stop = true;
  uint64_t one = 1;
  if (s.wake && write(s.wake.get(), &one, sizeof one) < 0) {
    // The stop flag is still seen within a wait step.
  }
  MutexLock l(s.lock);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStopWaitSeconds);
  while (s.running > 0 && l.WaitUntil(s.ended, deadline)) {
  }
  if (s.running > 0) {
    WriteDebugLogf(s.connection.c_str(), "Receive threads of %s have not ended; going on without them",
                   s.connection.c_str());
  }
}
