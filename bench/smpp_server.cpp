// The gateway's SMPP server under load, with no SMS centre connected:
// - submit: a load client of ours (one thread, epoll) with 4 sessions of window 100 sends
//   N submit_sm; prints accepted/s, p50/p99 response time and the gateway's CPU µs per
//   message, beside the durable HTTP figure of build/bin/submit in the same run, the time
//   its threads waited for a CPU, and checks that every accepted id has exactly one file;
// - deliver: M files in one account's queue to one receiver of ours, windows 0 and 100.
// - idle: four bound receivers with an empty queue, the gateway's CPU per minute, and how
//   soon a file dropped into the queue arrives.
// The load client is first measured alone against a responder of its own.
//
//   smpp_server [submits=200000] [files=100000] [idle-seconds=60]   (QAR_BENCH_ONLY=idle: that part)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/unique_fd.h"

namespace fs = std::filesystem;

namespace {
bool SendAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += size_t(n);
  }
  return true;
}

// Cuts whole PDUs off the front of buffer.
bool NextPdu(std::string& buffer, smpp::Pdu& pdu) {
  if (buffer.size() < 16) return false;
  uint32_t length = (uint32_t(uint8_t(buffer[0])) << 24) | (uint32_t(uint8_t(buffer[1])) << 16) |
                    (uint32_t(uint8_t(buffer[2])) << 8) | uint32_t(uint8_t(buffer[3]));
  if (length < 16 || buffer.size() < length) return false;
  pdu = smpp::DecodePdu(std::string_view(buffer).substr(0, length));
  buffer.erase(0, length);
  return true;
}

// Binds one session (blocking), then leaves the socket non-blocking.
bool Bind(int fd, uint32_t command, const char* user, const char* password) {
  smpp::BindBody b;
  b.systemId = user;
  b.password = password;
  if (!SendAll(fd, smpp::EncodePdu(smpp::Pdu{command, 0, 1, smpp::EncodeBind(b)}))) return false;
  std::string buffer;
  char chunk[4096];
  smpp::Pdu pdu;
  while (!NextPdu(buffer, pdu)) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, size_t(n));
  }
  return pdu.status == 0;
}

struct SubmitFigures {
  size_t accepted = 0, refused = 0;
  double seconds = 0, p50Ms = 0, p99Ms = 0;
  std::vector<std::string> ids;
};

struct LoadSession {
  UniqueFd fd;
  std::string in, out;
  size_t sent = 0, answered = 0;
  std::vector<uint64_t> sentAt;  // by sequence
};

// N submit_sm over the sessions, each keeping window outstanding, from one epoll thread.
SubmitFigures RunSubmitLoad(uint16_t port, const char* user, size_t total, int sessions, size_t window) {
  SubmitFigures f;
  std::vector<LoadSession> s;
  s.resize(static_cast<size_t>(sessions));
  UniqueFd ep(epoll_create1(EPOLL_CLOEXEC));
  size_t perSession = total / size_t(sessions);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i].fd = BenchConnect(port);
    if (!s[i].fd || !Bind(s[i].fd.get(), smpp::kBindTransmitter, user, "pw")) {
      fprintf(stderr, "bind %zu failed\n", i);
      return f;
    }
    s[i].sentAt.assign(perSession + 2, 0);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    epoll_ctl(ep.get(), EPOLL_CTL_ADD, s[i].fd.get(), &e);
  }
  std::vector<uint64_t> latencies;
  latencies.reserve(total);
  smpp::ShortMessage m;
  m.source = "12345";
  m.dest = "447700900123";
  m.shortMessage = "Hello world";
  auto refill = [&](LoadSession& x) {
    std::string burst;
    while (x.sent < perSession && x.sent - x.answered < window) {
      uint32_t sequence = uint32_t(x.sent + 2);
      x.sentAt[x.sent + 1] = BenchNowUs();
      burst += smpp::EncodePdu(smpp::Pdu{smpp::kSubmitSm, 0, sequence, smpp::EncodeShortMessage(m, false)});
      ++x.sent;
    }
    if (!burst.empty()) SendAll(x.fd.get(), burst);
  };
  uint64_t start = BenchNowUs();
  for (auto& x : s) refill(x);
  size_t done = 0;
  char chunk[65536];
  while (done < perSession * s.size()) {
    epoll_event events[8];
    int n = epoll_wait(ep.get(), events, 8, 10000);
    if (n <= 0) {
      fprintf(stderr, "no answer for 10 s (%zu answered)\n", done);
      break;
    }
    for (int k = 0; k < n; ++k) {
      LoadSession& x = s[events[k].data.u64];
      ssize_t got = recv(x.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (got <= 0) continue;
      x.in.append(chunk, size_t(got));
      smpp::Pdu pdu;
      uint64_t now = BenchNowUs();
      while (NextPdu(x.in, pdu)) {
        if (pdu.commandId != (smpp::kSubmitSm | smpp::kResponseBit)) continue;
        ++x.answered;
        ++done;
        size_t index = pdu.sequence - 1;
        if (index < x.sentAt.size()) latencies.push_back(now - x.sentAt[index]);
        if (pdu.status == 0) {
          ++f.accepted;
          std::string id;
          smpp::DecodeLeadingCString(pdu.body, 65, id);
          f.ids.push_back(id);
        } else {
          ++f.refused;
        }
      }
      refill(x);
    }
  }
  f.seconds = double(BenchNowUs() - start) / 1e6;
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    f.p50Ms = double(latencies[latencies.size() / 2]) / 1000;
    f.p99Ms = double(latencies[latencies.size() * 99 / 100]) / 1000;
  }
  for (auto& x : s) SendAll(x.fd.get(), smpp::EncodePdu(smpp::Pdu{smpp::kUnbind, 0, 1, {}}));
  return f;
}

// The load client's own ceiling: a responder that answers every submit_sm at once.
double LoadClientAlone(size_t total) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  uint16_t port = BenchFreePort();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener.get(), 16) != 0) return 0;
  std::vector<std::thread> threads;
  std::thread acceptor([&] {
    for (int i = 0; i < 4; ++i) {
      int fd = accept(listener.get(), nullptr, nullptr);
      if (fd < 0) return;
      threads.emplace_back([fd] {
        UniqueFd c(fd);
        std::string in;
        char chunk[65536];
        for (;;) {
          ssize_t n = recv(c.get(), chunk, sizeof chunk, 0);
          if (n <= 0) return;
          in.append(chunk, size_t(n));
          smpp::Pdu pdu;
          std::string out;
          while (NextPdu(in, pdu)) {
            if (pdu.commandId == smpp::kUnbind) return;
            std::string body;
            smpp::AppendCString(body, pdu.commandId == smpp::kSubmitSm ? "1" : "", 65);
            out += smpp::EncodePdu(smpp::Pdu{pdu.commandId | smpp::kResponseBit, 0, pdu.sequence, body});
          }
          SendAll(c.get(), out);
        }
      });
    }
  });
  SubmitFigures f = RunSubmitLoad(port, "x", total, 4, 100);
  acceptor.join();
  for (auto& t : threads) t.join();
  return f.seconds > 0 ? double(f.accepted) / f.seconds : 0;
}

std::string BinDir() {
  char path[4096] = {0};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string p(path, n > 0 ? size_t(n) : 0);
  return p.substr(0, p.rfind('/') + 1);
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

struct Gateway {
  std::string home;
  uint16_t web = BenchFreePort(), smpp = BenchFreePort();
  BenchProcess process;
  bool Start(const std::string& bin, unsigned window) {
    WriteText(home + "QARHUB.INI", "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nSMPPPort=" +
                                       std::to_string(smpp) + "\r\nSMPPServerMaxConnectionsPerUser=8\r\n" +
                                       "SMPPServerAsyncWindowSize=" + std::to_string(window) + "\r\nMaxQDirEntries=1000000\r\n" +
                                       (getenv("QAR_BENCH_DEBUG") ? "Debug=Yes\r\n" : ""));
    process.Start({bin + "qargate"}, {"QARSMS_HOME=" + home}, home + "gateway.out");
    return BenchWaitForPort(smpp, 20000);
  }
};

size_t CountFiles(const std::string& dir, const char* extension) {
  size_t n = 0;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(dir, ec))
    if (e.is_regular_file() && e.path().extension() == extension) ++n;
  return n;
}

// One receiver takes every deliver_sm and answers it at once; timed until all came.
void RunDeliver(const std::string& bin, const std::string& base, size_t files, unsigned window, double submitRate) {
  Gateway g;
  g.home = base + "deliver" + std::to_string(window) + "/";
  fs::create_directories(g.home + "USERS/bench/Q");
  std::string add = "QARSMS_HOME='" + g.home + "' '" + bin + "qaruser' add bench pw --smpp --receive >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
  for (size_t i = 0; i < files; ++i)
    WriteText(g.home + "USERS/bench/Q/m" + std::to_string(i) + ".req",
              "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=message " + std::to_string(i) + "\r\n");
  if (!g.Start(bin, window)) {
    fprintf(stderr, "the gateway did not open its SMPP port; see %sgateway.out\n", g.home.c_str());
    return;
  }
  UniqueFd fd = BenchConnect(g.smpp);
  double cpuBefore = g.process.CpuSeconds();
  uint64_t start = BenchNowUs();
  if (!fd || !Bind(fd.get(), smpp::kBindReceiver, "bench", "pw")) {
    fprintf(stderr, "receiver bind failed\n");
    return;
  }
  size_t received = 0;
  std::string in;
  char chunk[65536];
  while (received < files) {
    ssize_t n = recv(fd.get(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    in.append(chunk, size_t(n));
    smpp::Pdu pdu;
    std::string out;
    while (NextPdu(in, pdu)) {
      if (pdu.commandId != smpp::kDeliverSm) continue;
      ++received;
      std::string body(1, '\0');
      out += smpp::EncodePdu(smpp::Pdu{smpp::kDeliverSm | smpp::kResponseBit, 0, pdu.sequence, body});
    }
    SendAll(fd.get(), out);
  }
  double seconds = double(BenchNowUs() - start) / 1e6;
  double cpu = g.process.CpuSeconds() - cpuBefore;
  double rate = double(received) / seconds;
  printf("deliver window %3u: %zu of %zu in %.1f s, %.0f/s, gateway CPU %.1f µs/message%s\n", window, received, files,
         seconds, rate, cpu * 1e6 / double(received ? received : 1),
         submitRate > 0 ? (", " + std::to_string(rate / submitRate).substr(0, 4) + " x the submit rate").c_str() : "");
  SendAll(fd.get(), smpp::EncodePdu(smpp::Pdu{smpp::kUnbind, 0, 2, {}}));
  g.process.Stop();
}

// Four receivers bound to an account with an empty queue: the gateway's CPU over seconds,
// then how soon a file another program drops into the queue reaches one of them.
void RunIdle(const std::string& bin, const std::string& base, unsigned seconds) {
  Gateway g;
  g.home = base + "idle/";
  fs::create_directories(g.home + "USERS/bench/Q");
  std::string add = "QARSMS_HOME='" + g.home + "' '" + bin + "qaruser' add bench pw --smpp --receive >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
  if (!g.Start(bin, 0)) {
    fprintf(stderr, "the gateway did not open its SMPP port; see %sgateway.out\n", g.home.c_str());
    return;
  }
  std::vector<UniqueFd> receivers;
  for (int i = 0; i < 4; ++i) {
    receivers.push_back(BenchConnect(g.smpp));
    if (!receivers.back() || !Bind(receivers.back().get(), smpp::kBindReceiver, "bench", "pw")) {
      fprintf(stderr, "receiver bind failed\n");
      return;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the binds' own work is not idle time
  double cpuBefore = g.process.CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double cpu = g.process.CpuSeconds() - cpuBefore;
  printf("idle: 4 bound receivers, empty queue: %.3f CPU s in %u s, %.3f CPU s per minute (target <= 0.2)\n", cpu,
         seconds, cpu * 60 / double(seconds ? seconds : 1));
  // Written aside, then renamed in: what another program's drop looks like.
  std::string aside = g.home + "USERS/bench/dropped.tmp";
  WriteText(aside, "[SMS-IN]\r\nPhoneNumber=447700900001\r\nSender=447700900002\r\nData=dropped\r\n");
  uint64_t start = BenchNowUs();
  fs::rename(aside, g.home + "USERS/bench/Q/dropped.req");
  std::vector<pollfd> fds;
  for (const UniqueFd& fd : receivers) fds.push_back(pollfd{fd.get(), POLLIN, 0});
  double latencyMs = -1;
  std::string in;
  while (latencyMs < 0 && BenchNowUs() - start < 10000000) {
    if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
    for (pollfd& p : fds) {
      if (!(p.revents & POLLIN)) continue;
      char chunk[4096];
      ssize_t n = recv(p.fd, chunk, sizeof chunk, 0);
      if (n <= 0) {
        p.fd = -1;
        continue;
      }
      in.assign(chunk, size_t(n));
      smpp::Pdu pdu;
      while (NextPdu(in, pdu))
        if (pdu.commandId == smpp::kDeliverSm) latencyMs = double(BenchNowUs() - start) / 1000.0;
    }
  }
  if (latencyMs < 0) printf("idle: the dropped file did not arrive within 10 s\n");
  else printf("idle: a file dropped into the queue arrived after %.1f ms (target < 1000)\n", latencyMs);
  g.process.Stop();
}
}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
  size_t submits = argc > 1 ? size_t(atol(argv[1])) : 200000;
  size_t files = argc > 2 ? size_t(atol(argv[2])) : 100000;
  std::string bin = BinDir();
  std::string base = fs::temp_directory_path().string() + "/qar-smppserver-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return 1;
  base += "/";

  unsigned idleSeconds = argc > 3 ? unsigned(atol(argv[3])) : 60;
  if (const char* only = getenv("QAR_BENCH_ONLY"); only && strcmp(only, "idle") == 0) {
    RunIdle(bin, base, idleSeconds);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
  }

  printf("load client alone: %.0f submit_sm/s\n", LoadClientAlone(std::min<size_t>(submits, 200000)));

  Gateway g;
  g.home = base + "submit/";
  fs::create_directories(g.home);
  std::string add = "QARSMS_HOME='" + g.home + "' '" + bin + "qaruser' add bench pw --smpp >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
  if (!g.Start(bin, 0)) {
    fprintf(stderr, "the gateway did not open its SMPP port; see %sgateway.out\n", g.home.c_str());
    return 1;
  }
  double cpuBefore = g.process.CpuSeconds();
  // Time the gateway's threads spent ready but without a CPU: on a shared host this, not a
  // stall in the gateway, makes the slowest responses.
  std::map<pid_t, double> waitBefore, waitAfter;
  g.process.SampleRunQueueWait(waitBefore);
  std::atomic<bool> loading{true};
  std::thread sampler([&] {
    while (loading.load()) {
      g.process.SampleRunQueueWait(waitAfter);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  SubmitFigures f = RunSubmitLoad(g.smpp, "bench", submits, 4, 100);
  double cpu = g.process.CpuSeconds() - cpuBefore;
  loading = false;
  sampler.join();
  double waited = 0;
  for (const auto& [tid, seconds] : waitAfter) {
    auto before = waitBefore.find(tid);
    waited += seconds - (before == waitBefore.end() ? 0 : before->second);
  }
  double rate = f.seconds > 0 ? double(f.accepted) / f.seconds : 0;
  printf("submit: 4 sessions x window 100: %zu accepted, %zu refused in %.1f s: %.0f/s, p50 %.2f ms, p99 %.2f ms, "
         "gateway CPU %.1f µs/message\n",
         f.accepted, f.refused, f.seconds, rate, f.p50Ms, f.p99Ms, cpu * 1e6 / double(f.accepted ? f.accepted : 1));
  printf("submit: gateway threads ran %.1f CPU s and waited %.1f s for a CPU (run queue) in %.1f s\n", cpu, waited,
         f.seconds);
  std::set<std::string> unique(f.ids.begin(), f.ids.end());
  size_t queued = CountFiles(g.home + "Q", ".req");
  printf("ids: %zu accepted, %zu distinct, %zu files queued%s\n", f.ids.size(), unique.size(), queued,
         unique.size() == f.ids.size() && queued == f.ids.size() ? " (one file per id)" : " MISMATCH");
  g.process.Stop();

  // The HTTP figure of the same host, same run.
  // Durable as the gateway is by default (one syncfs per group of answers): like for like.
  std::string command = "'" + bin + "submit' 64 5 syncfs 2>/dev/null | grep '^one-part'";
  if (FILE* p = popen(command.c_str(), "r")) {
    char line[512];
    if (fgets(line, sizeof line, p)) {
      printf("HTTP (build/bin/submit) %s", line);
      const char* at = strstr(line, "requests, ");
      double http = at ? atof(at + 10) : 0;
      if (http > 0) printf("submit ratio SMPP / HTTP: %.2f (target >= 1.2)\n", rate / http);
    }
    pclose(p);
  }
  for (unsigned window : {0u, 100u}) RunDeliver(bin, base, files, window, rate);
  RunIdle(bin, base, idleSeconds);
  std::error_code ec;
  if (!getenv("QAR_BENCH_DEBUG")) fs::remove_all(base, ec);
  else printf("kept %s\n", base.c_str());
  return 0;
}
