// A minimal UCP centre for the benchmarks: ACKs logins (60), alerts (31) and submits (51) as
// fast as it can, each submit with an id of its own. "ucp_sink PORT" serves until stopped;
// "ucp_sink --alone [COUNT]" measures itself against a tiny stop-and-wait client loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_frame.h"
#include "runtime/unique_fd.h"

namespace {

std::atomic<unsigned long long> g_nextId{1};
std::atomic<unsigned long long> g_submits{0};
std::atomic<long long> g_sinkCpuNs{0};

long long ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Answers every operation of one connection until it closes.
void Serve(UniqueFd conn) {
  long long cpuStart = ThreadCpuNs();
  int one = 1;
  setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string inbound, content, dropped, out;
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(conn.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    inbound.append(buffer, size_t(n));
    out.clear();
    for (ucp::Cut cut; (cut = ucp::CutFrame(inbound, content, dropped)) != ucp::Cut::NeedMore;) {
      ucp::Frame f;
      if (cut != ucp::Cut::Frame || ucp::DecodeFrame(content, f) != ucp::FrameFault::None || f.kind != 'O') continue;
      if (f.ot == 51 && f.fields.size() == ucp::kField5xCount) {
        char id[64];
        snprintf(id, sizeof id, "%s:%012llu", f.fields[ucp::kAdC].c_str(), g_nextId++ % 1000000000000ULL);
        out += ucp::EncodeFrame(f.trn, 'R', 51, {"A", "", id});
        ++g_submits;
      } else if (f.ot == 60 || f.ot == 31) {
        out += ucp::EncodeFrame(f.trn, 'R', f.ot, {"A", ""});
      } else {
        out += ucp::EncodeFrame(f.trn, 'R', f.ot, {"N", "03", "Operation not supported by system"});
      }
    }
    if (!out.empty() && send(conn.get(), out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) break;
  }
  g_sinkCpuNs += ThreadCpuNs() - cpuStart;
}

UniqueFd Listen(uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s.get(), 100) != 0) return UniqueFd();
  return s;
}

uint16_t PortOf(int s) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

// Stop-and-wait submits over one connection: each frame goes out once the previous ACK is in.
int Alone(unsigned long count) {
  UniqueFd listener = Listen(0);
  if (!listener) return 1;
  std::thread sink([&] { Serve(UniqueFd(accept(listener.get(), nullptr, nullptr))); });
  UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(PortOf(listener.get()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(client.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  int one = 1;
  setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<std::string> fields(ucp::kField5xCount);
  fields[ucp::kAdC] = "0612345678";
  fields[ucp::kOAdC] = "4911";
  fields[ucp::kMT] = "3";
  fields[ucp::kMsg] = "48656C6C6F";
  std::vector<std::string> frames;
  for (int trn = 0; trn < 100; ++trn) frames.push_back(ucp::EncodeFrame(trn, 'O', 51, fields));
  auto start = std::chrono::steady_clock::now();
  char buffer[4096];
  for (unsigned long i = 0; i < count; ++i) {
    const std::string& f = frames[i % 100];
    if (send(client.get(), f.data(), f.size(), MSG_NOSIGNAL) != ssize_t(f.size())) return 1;
    bool answered = false;
    while (!answered) {
      ssize_t n = recv(client.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return 1;
      answered = buffer[n - 1] == ucp::kEtx;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  client.reset();
  sink.join();
  double cpuMs = double(g_sinkCpuNs.load()) / 1e6;
  printf("ucp_sink alone: %lu submits ACKed in %.3f s: %.0f messages/s; sink CPU %.1f ms per 1,000 (%.1f us each)\n",
         count, seconds, double(count) / seconds, cpuMs * 1000.0 / double(count), cpuMs * 1000.0 / double(count));
  return g_submits.load() == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && std::string(argv[1]) == "--alone") return Alone(argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 20000);
  if (argc != 2) {
    fprintf(stderr, "usage: ucp_sink PORT (0: any free port) | ucp_sink --alone [COUNT]\n");
    return 2;
  }
  UniqueFd listener = Listen(uint16_t(std::atoi(argv[1])));
  if (!listener) {
    perror("ucp_sink: listen");
    return 1;
  }
  printf("LISTENING %u\n", PortOf(listener.get()));
  fflush(stdout);
  for (;;) {
    int c = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread([c] {
      Serve(UniqueFd(c));
      printf("connection closed; %llu submits ACKed so far\n", g_submits.load());
      fflush(stdout);
    }).detach();
  }
}
