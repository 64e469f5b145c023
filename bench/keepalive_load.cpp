#include "bench/keepalive_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "config/settings.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/debug_log.h"
#include "runtime/socket_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
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

bool SendRequest(Client& c, const std::string& request) {
  c.sentAtUs = NowUs();
  return send(c.socket.get(), request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
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

UniqueFd g_listener;
}  // namespace

std::string PrepareBenchHome() {
  struct rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);

  std::string home = std::filesystem::temp_directory_path().string() + "/qar-bench-XXXXXX";
  if (mkdtemp(home.data()) == nullptr) return {};
  home += "/";
  setenv("QARSMS_HOME", home.c_str(), 1);
  SMSIniSetFilename((home + "QARHUB.INI").c_str());
  MMSCIniSetFilename((home + "MMSC.INI").c_str());
  DebugSettings.CopyToStderr = false;
  DebugSettings.Debug = false;
  WebSettings.HtmlDirectory = home + "html/";
  SettingsBlock settings = Settings;
  settings.SeparateUserQueues = false;
  InstallSettings(settings);
  return home;
}

uint16_t StartBenchListener() {
  ListenResult listener = OpenTcpListener("127.0.0.1", 0, 1024);
  if (!listener.socket) return 0;
  g_listener = std::move(listener.socket);
  int lfd = g_listener.get();
  StartServiceThread("ThreadListenForConnections", [lfd] { ThreadListenForConnections(lfd); });
  return BoundPort(lfd);
}

LoadFigures RunKeepAliveLoad(uint16_t port, int connections, int seconds, const std::string& request) {
  LoadFigures figures;
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Client> clients(static_cast<size_t>(connections));
  for (int i = 0; i < connections; ++i) {
    Client& c = clients[size_t(i)];
    c.socket.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (connect(c.socket.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ++figures.errors;
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
    if (c.socket && !SendRequest(c, request)) ++figures.errors;

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
        ++figures.errors;
        epoll_ctl(epoll, EPOLL_CTL_DEL, c.socket.get(), nullptr);
        c.socket.reset();
        continue;
      }
      c.received.append(buf, size_t(got));
      while (TakeAnswer(c.received)) {
        latencies.push_back(uint32_t(NowUs() - c.sentAtUs));
        if (!SendRequest(c, request)) ++figures.errors;
      }
    }
  }
  figures.seconds = double(NowUs() - start) / 1e6;
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, size_t(p * latencies.size()))] / 1000.0;
  };
  figures.answers = latencies.size();
  figures.medianMs = pct(0.5);
  figures.p99Ms = pct(0.99);
  close(epoll);
  return figures;
}

void FinishBench(const std::string& home) {
  ShutdownRequested.store(1);
  WaitForServiceThreads();
  g_listener.reset();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}
