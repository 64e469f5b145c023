#include "outside/qardial/qardial.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "runtime/mutex.h"
#include "runtime/text_helpers.h"
#include "runtime/unique_fd.h"

namespace {

constexpr size_t kMaxAnswer = 16u << 20;
constexpr int kAnswerTimeoutMs = 120000;

// "http:host:port" (or "http://host:port"): host and port; false for anything else.
bool ProxyOf(const char* gateway, std::string& host, uint16_t& port) {
  if (!gateway) return false;
  std::string_view g = Trim(gateway);
  if (!StartsWithNoCase(g, "http:")) return false;
  g.remove_prefix(5);
  while (g.starts_with("/")) g.remove_prefix(1);
  port = 80;
  return SplitHostPort(g, host, port) && !host.empty();
}

bool ResolveIPv4(const std::string& host, uint16_t port, sockaddr_in& to) {
  to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) == 1) return true;
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  to.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// Connect within timeoutMs, the socket's blocking mode kept.
bool ConnectWithin(int sock, const sockaddr_in& to, int timeoutMs) {
  int flags = fcntl(sock, F_GETFL);
  fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  bool ok = connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  if (!ok && errno == EINPROGRESS) {
    pollfd p{sock, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    ok = poll(&p, 1, timeoutMs) == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  fcntl(sock, F_SETFL, flags);
  return ok;
}

bool SendAll(int sock, std::string_view bytes) {
  while (!bytes.empty()) {
    pollfd p{sock, POLLOUT, 0};
    if (poll(&p, 1, 30000) != 1) return false;
    ssize_t n = send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The whole answer once its header and body (Content-Length, chunked, or up to the close)
// are in.
bool Complete(const std::string& got, bool closed) {
  size_t end = got.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string_view header(got.data(), end + 2);
  size_t at = FindNoCase(header, "\ncontent-length:");
  if (at != std::string::npos) return got.size() >= end + 4 + ParseDecimal(Trim(header.substr(at)));
  if (FindNoCase(header, "\ntransfer-encoding: chunked") != std::string::npos)
    return got.find("\r\n0\r\n\r\n", end) != std::string::npos || closed;
  return closed;
}

// One modem: whether a side (the SMS session or the MMS worker) holds it, and how many
// callers wait for it (the holder's ModemRequested).
struct ModemState {
  bool held = false;
  unsigned waiting = 0;
};

struct Arbiter {
  Mutex lock;
  std::condition_variable changed;
  std::map<std::string, ModemState> modems GUARDED_BY(lock);
};
Arbiter& TheArbiter() {
  static Arbiter a;
  return a;
}

}  // namespace

int WSPRasDial(const char*, const char*, const char*, const char*, const char* gateway) {
  std::string host;
  uint16_t port;
  if (!ProxyOf(gateway, host, port)) return gateway && *gateway ? 0 : 1;
  sockaddr_in to;
  if (!ResolveIPv4(host, port, to)) return 1;
  UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe && ConnectWithin(probe.get(), to, 10000) ? 0 : 1;
}

int WSPRasHangUp(const char*) { return 0; }

int WSPConnect(int sock, const char* gateway, const char* extraHeaders, WSPContext* context, const char*) {
  if (!context) return 0;
  context->connected = 0;
  std::string headers = extraHeaders ? extraHeaders : "";
  if (headers.size() >= sizeof context->extraHeaders) headers.clear();
  memcpy(context->extraHeaders, headers.c_str(), headers.size() + 1);
  std::string host;
  uint16_t port;
  sockaddr_in to;
  if (!ProxyOf(gateway, host, port) || !ResolveIPv4(host, port, to)) return 0;
  if (!ConnectWithin(sock, to, 30000)) return 0;
  context->connected = 1;
  return 1;
}

int WSPRequest(int sock, const char*, WSPContext* context, const char* request, uint32_t requestLength,
               char** response, uint32_t* responseLength, const char*) {
  if (!context || !context->connected || !request || !response || !responseLength) return -1;
  *response = nullptr;
  *responseLength = 0;
  std::string text(request, requestLength);
  size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return -1;
  std::string extra = context->extraHeaders;
  if (!extra.empty() && !extra.ends_with("\r\n")) extra += "\r\n";
  text.insert(end + 2, extra);
  if (!SendAll(sock, text)) return -1;
  std::string got;
  bool closed = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  char buf[16384];
  while (!Complete(got, closed)) {
    if (closed || got.size() > kMaxAnswer) return -1;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    pollfd p{sock, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) return -1;
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    if (n < 0) return -1;
    if (n == 0) closed = true;
    got.append(buf, static_cast<size_t>(n));
  }
  char* out = static_cast<char*>(malloc(got.size() + 1));
  if (!out) return -1;
  memcpy(out, got.data(), got.size());
  out[got.size()] = '\0';
  *response = out;
  *responseLength = static_cast<uint32_t>(got.size());
  return 0;
}

int WSPDisconnect(int sock, const char*, WSPContext* context, const char*) {
  if (context) context->connected = 0;
  if (sock >= 0) shutdown(sock, SHUT_RDWR);
  return 0;
}

void* ModemAllocate(const char* modem, int timeoutSeconds, volatile int* stopFlag) {
  if (!modem) return nullptr;
  Arbiter& a = TheArbiter();
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 0);
  MutexLock guard(a.lock);
  ModemState& s = a.modems[modem];
  ++s.waiting;
  // Waits in steps of at most a second so that the stop flag is seen.
  while (s.held) {
    if ((stopFlag && *stopFlag) || std::chrono::steady_clock::now() >= until) {
      --s.waiting;
      return nullptr;
    }
    guard.WaitUntil(a.changed, std::min(until, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
  }
  --s.waiting;
  s.held = true;
  return &s;  // map nodes stay where they are: the entry is the handle
}

int ModemRequested(void* handle) {
  if (!handle) return 0;
  Arbiter& a = TheArbiter();
  MutexLock guard(a.lock);
  return static_cast<ModemState*>(handle)->waiting > 0 ? 1 : 0;
}

void ModemRelease(void* handle) {
  if (!handle) return;
  Arbiter& a = TheArbiter();
  {
    MutexLock guard(a.lock);
    static_cast<ModemState*>(handle)->held = false;
  }
  a.changed.notify_all();
}

int WSPRasGetErrorString(int code, char* text, uint32_t size) {
  if (!text || size == 0) return -1;
  std::string t = code == 1 ? "The WAP gateway did not answer" : "No dial-up networking on this host (error " +
                                                                     std::to_string(code) + ")";
  snprintf(text, size, "%s", t.c_str());
  return 0;
}

int ModemReset(const char*) { return 0; }
