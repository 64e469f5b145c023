#include "bench/sendsms_load.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "bench/bench_net.h"
#include "runtime/unique_fd.h"

void Arrivals::Reset() {
  for (auto& a : arrival) a = 0;
  received = 0;
  duplicates = 0;
  foreign = 0;
}

void Arrivals::Note(const std::string& text) {
  if (text.size() < 2 || text[0] != 'b') {
    ++foreign;
    return;
  }
  size_t index = strtoul(text.c_str() + 1, nullptr, 10);
  if (index >= arrival.size()) {
    ++foreign;
    return;
  }
  uint64_t expected = 0;
  if (!arrival[index].compare_exchange_strong(expected, BenchNowUs())) ++duplicates;
  ++received;
}

LoadResult RunLoad(Arrivals& arrivals, uint16_t httpPort, size_t messages, int clients,
                   const std::function<std::string(size_t)>& pathFor, const std::vector<const BenchProcess*>& cpu,
                   double rate) {
  LoadResult r;
  arrivals.Reset();
  std::vector<uint64_t> sentAt(messages, 0), answerTimes;
  answerTimes.reserve(messages);
  struct Client {
    UniqueFd fd;
    std::string in;
    bool busy = false;
    uint64_t sentAt = 0;
  };
  std::vector<Client> cs(static_cast<size_t>(clients));
  int ep = epoll_create1(EPOLL_CLOEXEC);
  for (int i = 0; i < clients; ++i) {
    cs[size_t(i)].fd = BenchConnect(httpPort);
    if (!cs[size_t(i)].fd) {
      ++r.errors;
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = uint32_t(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, cs[size_t(i)].fd.get(), &ev);
  }
  double cpuStart = 0;
  for (const BenchProcess* c : cpu) cpuStart += c->CpuSeconds();
  size_t next = 0;
  uint64_t start = 0;
  auto issue = [&](Client& c) {
    if (next >= messages || !c.fd) return;
    if (rate > 0 && double(next) >= double(BenchNowUs() - start) / 1e6 * rate) return;
    size_t index = next++;
    sentAt[index] = BenchNowUs();
    c.sentAt = sentAt[index];
    std::string request = "GET " + pathFor(index) + " HTTP/1.1\r\nHost: bench\r\nConnection: keep-alive\r\n\r\n";
    c.busy = SendAll(c.fd.get(), request);
    if (!c.busy) ++r.errors;
  };
  start = BenchNowUs();
  for (Client& c : cs) issue(c);
  uint64_t acceptedDone = 0;
  char buffer[16384];
  epoll_event events[128];
  while (BenchNowUs() - start < 300000000ull) {
    bool httpDone = r.accepted + r.errors >= messages;
    if (httpDone && acceptedDone == 0) acceptedDone = BenchNowUs();
    if (httpDone && arrivals.received.load() >= r.accepted) break;
    if (rate > 0)
      for (Client& c : cs)
        if (!c.busy) issue(c);
    int n = epoll_wait(ep, events, 128, rate > 0 ? 1 : 20);
    for (int e = 0; e < n; ++e) {
      Client& c = cs[events[e].data.u32];
      ssize_t got = recv(c.fd.get(), buffer, sizeof buffer, 0);
      if (got <= 0) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd.get(), nullptr);
        c.fd.reset();
        ++r.errors;
        continue;
      }
      c.in.append(buffer, size_t(got));
      for (;;) {
        size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) break;
        size_t cl = c.in.find("Content-Length: ");
        if (cl == std::string::npos || cl > end) cl = c.in.find("Content-length: ");
        size_t length = cl != std::string::npos && cl < end ? std::stoul(c.in.substr(cl + 16)) : 0;
        if (c.in.size() < end + 4 + length) break;
        bool ok = c.in.compare(9, 1, "2") == 0;
        c.in.erase(0, end + 4 + length);
        if (ok) ++r.accepted;
        else ++r.errors;
        answerTimes.push_back(BenchNowUs() - c.sentAt);
        c.busy = false;
        issue(c);
      }
    }
  }
  uint64_t finish = BenchNowUs();
  double cpuEnd = 0;
  for (const BenchProcess* c : cpu) cpuEnd += c->CpuSeconds();
  close(ep);
  if (acceptedDone == 0) acceptedDone = finish;
  std::vector<uint64_t> latencies;
  uint64_t lastArrival = start;
  for (size_t i = 0; i < messages; ++i) {
    uint64_t a = arrivals.arrival[i].load();
    if (a == 0 || sentAt[i] == 0) continue;
    latencies.push_back(a > sentAt[i] ? a - sentAt[i] : 0);
    lastArrival = std::max(lastArrival, a);
  }
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0
                             : double(latencies[std::min(latencies.size() - 1, size_t(p * double(latencies.size())))]) / 1000;
  };
  r.delivered = latencies.size();
  r.duplicates = arrivals.duplicates.load();
  r.complete = r.delivered == messages && r.duplicates == 0;
  r.acceptedPerSecond = double(r.accepted) / (double(acceptedDone - start) / 1e6);
  r.deliveredPerSecond = double(r.delivered) / (double(lastArrival - start) / 1e6);
  r.p50Ms = pct(0.5);
  r.p99Ms = pct(0.99);
  std::sort(answerTimes.begin(), answerTimes.end());
  auto answerPct = [&](double p) {
    return answerTimes.empty()
               ? 0.0
               : double(answerTimes[std::min(answerTimes.size() - 1, size_t(p * double(answerTimes.size())))]) / 1000;
  };
  r.answerP50Ms = answerPct(0.5);
  r.answerP99Ms = answerPct(0.99);
  r.cpuPer1000 = r.delivered ? (cpuEnd - cpuStart) * 1000.0 / double(r.delivered) : 0;
  return r;
}

bool PerfCounts() {
  static int works = -1;
  if (works < 0)
    works = system("perf stat -e raw_syscalls:sys_enter -x, -o /dev/null true >/dev/null 2>&1") == 0 ? 1 : 0;
  return works == 1;
}

std::vector<std::string> Counted(const std::vector<std::string>& argv, const std::string& countFile) {
  if (!PerfCounts()) return argv;
  std::vector<std::string> wrapped{"perf", "stat", "-e", "raw_syscalls:sys_enter", "-x,", "-o", countFile, "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

double SyscallCount(const std::string& countFile) {
  std::ifstream f(countFile);
  for (std::string line; std::getline(f, line);)
    if (line.find("raw_syscalls:sys_enter") != std::string::npos && !line.empty() && isdigit(static_cast<unsigned char>(line[0])))
      return std::stod(line);
  return 0;
}



bool StartKannel(const KannelSetup& k, KannelBoxes& boxes) {
  std::string bearerbox = Which("bearerbox"), smsbox = Which("smsbox");
  if (bearerbox.empty() || smsbox.empty()) {
    fprintf(stderr, "Kannel is not installed: run bench/smpp_bench_setup.sh first\n");
    return false;
  }
  const std::string& dir = k.dir;
  std::string logs = k.asUsersRun ? "log-level = 1\n" : "log-level = 4\n";
  auto logFiles = [&](const char* box) {
    std::string s = logs + "log-file = \"" + dir + box + ".log\"\n";
    if (k.asUsersRun) s += "access-log = \"" + dir + box + "-access.log\"\n";
    return s;
  };
  std::string store = k.spoolStore ? "store-type = spool\nstore-location = \"" + dir + "spool\"\n"
                                   : "store-type = file\nstore-location = \"" + dir + "kannel.store\"\n";
  if (k.spoolStore) std::filesystem::create_directories(dir + "spool");
  uint16_t admin = BenchFreePort(), boxPort = BenchFreePort();
  std::string conf =
      "group = core\nadmin-port = " + std::to_string(admin) + "\nadmin-password = bench\nsmsbox-port = " +
      std::to_string(boxPort) + "\nbox-allow-ip = 127.0.0.1\n" + logFiles("bearerbox") + store +
      "\ngroup = smsc\nsmsc = smpp\nsmsc-id = centre\nhost = 127.0.0.1\nport = " + std::to_string(k.smscPort) +
      "\ntransceiver-mode = true\nsmsc-username = " + k.smscUser + "\nsmsc-password = " + k.smscPassword +
      "\nsystem-type = VMA\nmax-pending-submits = " + std::to_string(k.maxPendingSubmits) +
      "\n\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(boxPort) + "\n" +
      (k.sendsmsPort ? "sendsms-port = " + std::to_string(k.sendsmsPort) + "\n" : std::string()) +
      logFiles("smsbox") + k.smsboxGroups;
  WriteText(dir + "kannel.conf", conf);
  auto argv = [&](const std::string& program) {
    std::vector<std::string> a{program};
    if (k.asUsersRun) a.insert(a.end(), {"-v", "4"});
    a.push_back(dir + "kannel.conf");
    std::string name = program.substr(program.rfind('/') + 1);
    return k.countSyscalls ? Counted(a, dir + name + "-syscalls.txt") : a;
  };
  boxes.bearerbox.Start(argv(bearerbox), {}, dir + "bearerbox.out");
  usleep(1000000);
  boxes.smsbox.Start(argv(smsbox), {}, dir + "smsbox.out");
  return true;
}

double KannelSyscallsPerMessage(const KannelSetup& k, uint64_t messages) {
  if (!k.countSyscalls || messages == 0) return 0;
  return (SyscallCount(k.dir + "bearerbox-syscalls.txt") + SyscallCount(k.dir + "smsbox-syscalls.txt")) /
         double(messages);
}
