#include "tests/support/test_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "outside/seal_table.h"
#include "runtime/socket_helpers.h"
#include "tests/support/ports.h"

namespace {
UniqueFd Listen(uint16_t& port) {
  ListenResult r = OpenTcpListener("127.0.0.1", 0, 50);
  port = r.socket ? BoundPort(r.socket.get()) : 0;
  return std::move(r.socket);
}

// Accepts until stop; each connection handled by serve on its own thread.
void AcceptLoop(int listener, std::atomic<bool>& stop, std::vector<std::thread>& threads, std::mutex& lock,
                const std::function<void(int)>& serve) {
  while (!stop.load()) {
    struct pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> guard(lock);
    threads.emplace_back([fd, serve] { serve(fd); });
  }
}

bool ReadRequest(int fd, void* ssl, std::string& pending, std::string& request, const std::atomic<bool>& stop) {
  for (;;) {
    size_t end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      request = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      return true;
    }
    if (ssl == nullptr || SealCalls.sslDataPending(ssl) <= 0) {
      struct pollfd pfd = {fd, POLLIN, 0};
      int ready = poll(&pfd, 1, 100);
      if (stop.load()) return false;
      if (ready <= 0) continue;
    }
    char buf[4096];
    ssize_t n = ssl != nullptr ? SealCalls.sslRecv(ssl, buf, sizeof buf) : recv(fd, buf, sizeof buf, 0);
    if (n < 0 || (n == 0 && ssl == nullptr)) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

UniqueFd ConnectTo(uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM, 0));
  struct sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return UniqueFd();
  return s;
}
}  // namespace

ScriptedServer::ScriptedServer(Script script, bool tls) : script_(std::move(script)), tls_(tls) {
  listener_ = Listen(port_);
  acceptor_ = std::thread([this] {
    AcceptLoop(listener_.get(), stop_, threads_, lock_, [this](int fd) { Serve(fd, connections_.fetch_add(1)); });
  });
}

ScriptedServer::~ScriptedServer() {
  stop_.store(true);
  acceptor_.join();
  std::lock_guard<std::mutex> guard(lock_);
  for (std::thread& t : threads_) t.join();
}

std::vector<std::string> ScriptedServer::Requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

void ScriptedServer::Serve(int fd, int number) {
  UniqueFd socket(fd);
  void* ssl = nullptr;
  if (tls_) {
    char error[500];
    ssl = SealCalls.sslAcceptSession(fd, error, sizeof error, 5000);
    if (ssl == nullptr) return;
  }
  struct SessionEnd {
    void* ssl;
    ~SessionEnd() {
      if (ssl != nullptr) SealCalls.sslFreeSession(ssl);
    }
  } end{ssl};
  std::string pending, request;
  for (int index = 0; ReadRequest(fd, ssl, pending, request, stop_); ++index) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      requests_.push_back(request);
    }
    ScriptedReply reply = script_(request, number, index);
    if (!reply.silent && ssl != nullptr) SealCalls.sslSend(ssl, reply.bytes.data(), int(reply.bytes.size()));
    if (!reply.silent && ssl == nullptr) send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
    if (reply.closeAfter) return;
    if (reply.silent) {
      // Hold the connection without answering until the test ends.
      while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return;
    }
  }
}

TunnelProxy::TunnelProxy(int status) : status_(status) {
  listener_ = Listen(port_);
  acceptor_ = std::thread([this] { AcceptLoop(listener_.get(), stop_, threads_, lock_, [this](int fd) { Serve(fd); }); });
}

TunnelProxy::~TunnelProxy() {
  stop_.store(true);
  acceptor_.join();
  std::lock_guard<std::mutex> guard(lock_);
  for (std::thread& t : threads_) t.join();
}

std::string TunnelProxy::FirstRequest() {
  std::lock_guard<std::mutex> guard(lock_);
  return first_;
}

void TunnelProxy::Serve(int fd) {
  UniqueFd client(fd);
  std::string pending, request;
  if (!ReadRequest(fd, nullptr, pending, request, stop_)) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (first_.empty()) first_ = request;
  }
  if (status_ != 200) {
    std::string answer = "HTTP/1.1 " + std::to_string(status_) + " Forbidden\r\nContent-Length: 0\r\n\r\n";
    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    return;
  }
  size_t colon = request.find(':', 8);
  uint16_t port = static_cast<uint16_t>(std::stoi(request.substr(colon + 1)));
  UniqueFd upstream = ConnectTo(port);
  const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  send(fd, ok, sizeof ok - 1, MSG_NOSIGNAL);
  if (!pending.empty()) send(upstream.get(), pending.data(), pending.size(), MSG_NOSIGNAL);
  while (!stop_.load()) {
    struct pollfd pfds[2] = {{fd, POLLIN, 0}, {upstream.get(), POLLIN, 0}};
    if (poll(pfds, 2, 100) <= 0) continue;
    char buf[16384];
    for (int i = 0; i < 2; ++i) {
      if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = recv(pfds[i].fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      send(pfds[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    }
  }
}

namespace {
// Runs a program quietly and waits up to 5 s for it to accept on port; its pid (or -1) in
// pid, and port once it accepts (else 0) in acceptedPort.
void SpawnListening(const std::vector<std::string>& args, uint16_t port, pid_t& pid, uint16_t& acceptedPort) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  for (int i = 0; i < 100 && pid > 0; ++i) {
    if (ConnectTo(port)) {
      acceptedPort = port;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void StopSpawned(pid_t pid) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}
}  // namespace

TinyProxy::TinyProxy(const std::string& configDir) {
  uint16_t port = FreeTcpPort();
  std::string config = configDir + "tinyproxy-" + std::to_string(port) + ".conf";
  FILE* f = fopen(config.c_str(), "w");
  if (f == nullptr) return;
  fprintf(f, "Port %u\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
             "DisableViaHeader Yes\nLogLevel Critical\n", port);
  fclose(f);
  SpawnListening({"tinyproxy", "-d", "-c", config}, port, pid_, port_);
}

TinyProxy::~TinyProxy() { StopSpawned(pid_); }

OpensslServer::OpensslServer(const std::string& cert, const std::string& key) {
  uint16_t port = FreeTcpPort();
  SpawnListening({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", cert, "-key", key,
                  "-www", "-quiet"},
                 port, pid_, port_);
}

OpensslServer::~OpensslServer() { StopSpawned(pid_); }
