// Submission load: keep-alive clients submitting messages through the web listener as fast
// as it accepts them, with no SMSC connected. Prints accepted messages per second and the
// median and 99th-percentile latency for one-part, two-segment and 100-recipient
// submissions.
//
//   submit [connections=64] [seconds=5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/socket_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "service/settings.h"
#include "store/queue_dirs.h"
#include "web/responses.h"
#include "web/submission.h"
#include "web/web_server.h"
#include "web/web_settings.h"

namespace {
struct Client {
  UniqueFd socket;
  std::string received;
  uint64_t sentAtUs = 0;
};

uint64_t NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

std::string Request;

bool SendRequest(Client& c) {
  c.sentAtUs = NowUs();
  return send(c.socket.get(), Request.data(), Request.size(), MSG_NOSIGNAL) == ssize_t(Request.size());
}

// True when a whole answer (header and Content-Length body) is held; it is removed.
bool TakeAnswer(std::string& buf) {
  size_t end = buf.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  size_t cl = buf.find("Content-Length: ");
  size_t length = cl != std::string::npos && cl < end ? std::stoul(buf.substr(cl + 16)) : 0;
  if (buf.size() < end + 4 + length) return false;
  buf.erase(0, end + 4 + length);
  return true;
}

int RunScenario(const char* label, uint16_t port, int connections, int seconds, unsigned messagesPerRequest) {
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Client> clients(static_cast<size_t>(connections));
  int errors = 0;
  for (int i = 0; i < connections; ++i) {
    Client& c = clients[size_t(i)];
    c.socket.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (connect(c.socket.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ++errors;
      continue;
    }
    int one = 1;
    setsockopt(c.socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = uint32_t(i);
    epoll_ctl(epoll, EPOLL_CTL_ADD, c.socket.get(), &ev);
  }
  for (Client& c : clients)
    if (c.socket && !SendRequest(c)) ++errors;

  std::vector<uint32_t> latencies;
  latencies.reserve(1 << 22);
  uint64_t start = NowUs();
  uint64_t end = start + uint64_t(seconds) * 1000000;
  std::vector<struct epoll_event> events(1024);
  char buf[8192];
  while (NowUs() < end) {
    int n = epoll_wait(epoll, events.data(), int(events.size()), 1000);
    for (int e = 0; e < n; ++e) {
      Client& c = clients[events[size_t(e)].data.u32];
      ssize_t got = recv(c.socket.get(), buf, sizeof buf, 0);
      if (got <= 0) {
        ++errors;
        epoll_ctl(epoll, EPOLL_CTL_DEL, c.socket.get(), nullptr);
        c.socket.reset();
        continue;
      }
      c.received.append(buf, size_t(got));
      while (TakeAnswer(c.received)) {
        latencies.push_back(uint32_t(NowUs() - c.sentAtUs));
        if (!SendRequest(c)) ++errors;
      }
    }
  }
  double elapsed = double(NowUs() - start) / 1e6;
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, size_t(p * latencies.size()))] / 1000.0;
  };
  printf("%s: %d connections, %.1f s: %zu requests, %.0f messages/s, median %.2f ms, p99 %.2f ms, errors %d\n", label,
         connections, elapsed, latencies.size(), double(latencies.size()) * messagesPerRequest / elapsed, pct(0.5),
         pct(0.99), errors);
  close(epoll);
  return errors;
}
}  // namespace

int main(int argc, char** argv) {
  int connections = argc > 1 ? atoi(argv[1]) : 64;
  int seconds = argc > 2 ? atoi(argv[2]) : 5;
  struct rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);

  std::string home = std::filesystem::temp_directory_path().string() + "/qar-bench-XXXXXX";
  if (mkdtemp(home.data()) == nullptr) return 1;
  home += "/";
  setenv("QARSMS_HOME", home.c_str(), 1);
  SMSIniSetFilename((home + "QARHUB.INI").c_str());
  MMSCIniSetFilename((home + "MMSC.INI").c_str());
  DebugSettings.CopyToStderr = false;
  DebugSettings.Debug = false;
  WebSettings.HtmlDirectory = home + "html/";
  Settings.SeparateUserQueues = false;
  Settings.MaxQDirEntries = 1000000;
  Settings.EnableBulkQ = false;
  ReloadStoreDirectories();
  RegisterSubmissionHandlers();
  ListenResult listener = OpenTcpListener("127.0.0.1", 0, 1024);
  if (!listener.socket) return 1;
  uint16_t port = BoundPort(listener.socket.get());
  int lfd = listener.socket.get();
  StartServiceThread("ThreadListenForConnections", [lfd] { ThreadListenForConnections(lfd); });

  Request = "GET /?PhoneNumber=447700900123&Text=Hello+world HTTP/1.1\r\nHost: bench\r\n\r\n";
  int errors = RunScenario("one-part", port, connections, seconds, 1);
  Request = "GET /?PhoneNumber=447700900123&Text=" + std::string(200, 'x') + " HTTP/1.1\r\nHost: bench\r\n\r\n";
  errors += RunScenario("two-segment", port, connections, seconds, 2);
  std::string list;
  for (int i = 0; i < 100; ++i) list += (i ? "," : "") + std::to_string(447700900000LL + i);
  Request = "GET /?PhoneNumber=" + list + "&Text=Hello HTTP/1.1\r\nHost: bench\r\n\r\n";
  errors += RunScenario("100-recipient", port, connections, seconds, 100);
  ShutdownRequested.store(1);
  WaitForServiceThreads(50);
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return errors == 0 ? 0 : 2;
}
