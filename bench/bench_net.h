// What the benchmark programs share beside bench_process.h (clock, free port, connect):
// listening and sending on loopback, their start-up, and where the programs are.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_process.h"
#include "runtime/unique_fd.h"

// What every load program does first: a closed peer is an error return, not a signal, and
// as many descriptors as the hard limit allows.
inline void PrepareBenchProcess() {
  signal(SIGPIPE, SIG_IGN);
  struct rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
}

// A listening socket on a free loopback port (set in port); empty when none.
inline UniqueFd ListenLoopback(uint16_t& port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s.get(), 64) != 0) return UniqueFd();
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

inline bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

inline std::string BinDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = '\0';
  std::string p(path);
  return p.substr(0, p.rfind('/') + 1);
}

inline void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

inline std::string Which(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
    std::string p = std::string(dir) + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

inline std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A peer of the benchmarks: a listener on a free loopback port and the one thread that
// serves it. Stop makes stopWake readable for good, so that the thread's waits end at once
// instead of looking at the flag now and then.
struct LoopbackServer {
  UniqueFd listener;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  UniqueFd stopWake{eventfd(0, EFD_CLOEXEC)};
  std::thread thread;

  bool StartServing(std::function<void()> run) {
    listener = ListenLoopback(port);
    if (!listener || !stopWake) return false;
    thread = std::thread(std::move(run));
    return true;
  }
  void Stop() {
    stop = true;
    uint64_t one = 1;
    if (write(stopWake.get(), &one, sizeof one) < 0) {
      // An eventfd write only fails on overflow: it is readable already.
    }
    if (thread.joinable()) thread.join();
  }
};

// Accepts loopback connections on the server's listener and hands each readable one to
// serve(fd, its unread input) until the server stops; a connection whose serve returns
// false is closed. Descriptors from capacity on are refused.
inline void ServeConnections(const LoopbackServer& server, size_t capacity, bool noDelay,
                             const std::function<bool(int fd, std::string& in)>& serve) {
  int listener = server.listener.get();
  int ep = epoll_create1(EPOLL_CLOEXEC);
  for (int watched : {listener, server.stopWake.get()}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = watched;
    epoll_ctl(ep, EPOLL_CTL_ADD, watched, &ev);
  }
  std::vector<std::pair<UniqueFd, std::string>> conns(capacity);
  epoll_event events[64];
  while (!server.stop.load()) {
    int n = epoll_wait(ep, events, 64, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == server.stopWake.get()) continue;
      if (fd == listener) {
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        if (size_t(c) >= conns.size()) {
          close(c);
          continue;
        }
        if (noDelay) {
          int one = 1;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        conns[size_t(c)] = {UniqueFd(c), std::string()};
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = c;
        epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
        continue;
      }
      if (!serve(fd, conns[size_t(fd)].second)) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        conns[size_t(fd)].first.reset();
      }
    }
  }
  close(ep);
}
