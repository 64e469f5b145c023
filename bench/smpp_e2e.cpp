// End-to-end SMPP throughput: the real gateway (qargate) with one SMPP link to a local sink
// of our own that answers every submit_sm at once. N messages go in over HTTP keep-alive
// from 64 clients; the run is timed until the sink has received all N. Prints accepted and
// delivered messages per second, the 50th/99th-percentile latency from the HTTP request to
// the submit_sm at the sink, CPU seconds per 1000 messages and system calls per message
// (counted by perf stat over the program's whole life, start and stop included, when perf
// runs here), for WindowSize 100 with DurableAccept No and Yes, and with Yes once more at
// half the rate of the run without it (the answer time then). With "kannel" it also runs
// Kannel (bearerbox + smsbox from Debian, installed by smpp_bench_setup.sh) as its users run
// it: "-v 4" on the command line, log level info with its access log, against the same sink
// and load, with its file and spool stores, and prints the ratios. Every run keeps its files
// on a fresh loop-mounted journaled ext4 image of its own. Loopback only; every process it
// starts is stopped by it.
//
//   smpp_e2e [messages=20000] [kannel]
//   QAR_BENCH_ONLY_WINDOW=1 or 100: that gateway window only (for profiling)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"
#include "bench/smpp_sink.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/unique_fd.h"

namespace fs = std::filesystem;

namespace {

// The sink alone: one link, 1000 submits in flight, for two seconds.
double SinkAlone(Sink& sink) {
  UniqueFd s = BenchConnect(sink.port);
  smpp::BindBody b;
  b.systemId = "x";
  b.interfaceVersion = 0x34;
  SendAll(s.get(), smpp::EncodePdu({smpp::kBindTransmitter, 0, 1, smpp::EncodeBind(b)}));
  smpp::ShortMessage m;
  m.dest = "447700900123";
  m.shortMessage = "x";
  std::string one = smpp::EncodePdu({smpp::kSubmitSm, 0, 2, smpp::EncodeShortMessage(m, true)});
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += one;
  uint64_t start = BenchNowUs(), answered = 0;
  std::string in;
  char buffer[65536];
  SendAll(s.get(), batch);
  size_t inFlight = 1000;
  while (BenchNowUs() - start < 2000000) {
    ssize_t n = recv(s.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    in.append(buffer, size_t(n));
    size_t at = 0, got = 0;
    while (in.size() - at >= 16) {
      uint32_t length = smpp::CheckedCommandLength(std::string_view(in).substr(at));
      if (length == 0 || in.size() - at < length) break;
      if (smpp::DecodePdu(std::string_view(in).substr(at, length)).commandId == (smpp::kSubmitSm | smpp::kResponseBit)) {
        ++got;
      }
      at += length;
    }
    in.erase(0, at);
    answered += got;
    inFlight -= got;
    std::string more;
    for (size_t i = 0; i < got; ++i) more += one;
    inFlight += got;
    SendAll(s.get(), more);
  }
  return double(answered) / (double(BenchNowUs() - start) / 1e6);
}

// ---- The HTTP load ----
struct LoadResult {
  double acceptedPerSecond = 0, deliveredPerSecond = 0, p50Ms = 0, p99Ms = 0, cpuPer1000 = 0;
  double answerP50Ms = 0, answerP99Ms = 0;  // HTTP request to its answer
  double syscallsPerMessage = 0;            // 0: not counted
  uint64_t accepted = 0, delivered = 0, duplicates = 0, errors = 0;
  bool complete = false;
};

// pathFor(index) gives the request target of message "b<index>". rate (messages/s, 0: as
// fast as answered) paces the requests.
LoadResult RunLoad(Sink& sink, uint16_t httpPort, size_t messages, int clients,
                   const std::function<std::string(size_t)>& pathFor, const std::vector<const BenchProcess*>& cpu,
                   double rate = 0) {
  LoadResult r;
  sink.Reset();
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
    if (httpDone && sink.received.load() >= r.accepted) break;
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
    uint64_t a = sink.arrival[i].load();
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
  r.duplicates = sink.duplicates.load();
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

void Print(const char* label, const LoadResult& r) {
  printf("%-36s accepted %7.0f/s  delivered %7.0f/s  to sink p50 %7.2f ms p99 %7.2f ms  answer p50 %6.2f ms "
         "p99 %7.2f ms  CPU %.3f s/1000  syscalls/msg %5.1f  (%llu delivered, %llu duplicates, %llu errors%s)\n",
         label, r.acceptedPerSecond, r.deliveredPerSecond, r.p50Ms, r.p99Ms, r.answerP50Ms, r.answerP99Ms,
         r.cpuPer1000, r.syscallsPerMessage, (unsigned long long)r.delivered, (unsigned long long)r.duplicates,
         (unsigned long long)r.errors, r.complete ? "" : ", INCOMPLETE");
  fflush(stdout);
}

// System calls are counted by running a program under perf stat (its threads and children
// inherit the counter) when perf can count them here.
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

// The count perf stat wrote when its program ended; 0 when none.
double SyscallCount(const std::string& countFile) {
  std::ifstream f(countFile);
  for (std::string line; std::getline(f, line);)
    if (line.find("raw_syscalls:sys_enter") != std::string::npos && !line.empty() && isdigit(static_cast<unsigned char>(line[0])))
      return std::stod(line);
  return 0;
}


LoadResult RunGateway(Sink& sink, size_t messages, unsigned window, bool durable, const std::string& bin,
                      double rate = 0) {
  ScratchFs scratch;
  std::string home = scratch.Make("qar-smpp-bench");
  if (home.empty()) return {};
  uint16_t web = BenchFreePort();
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(sink.port);
  WriteText(home + "QARHUB.INI", "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nModem1=" + connection +
                                     "\r\nSMPPNoDelay=Yes\r\nDurableAccept=" + (durable ? "Yes" : "No") +
                                     "\r\n[" + connection +
                                     "]\r\nUserName=gw\r\nPassword=pw\r\nWindowSize=" + std::to_string(window) +
                                     "\r\n");
  std::string add = "QARSMS_HOME='" + home + "' '" + bin + "qaruser' add bench pw >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
  BenchProcess gateway;
  gateway.Start(Counted({bin + "qargate"}, home + "syscalls.txt"), {"QARSMS_HOME=" + home}, home + "gateway.out");
  LoadResult r;
  if (BenchWaitForPort(web, 20000)) {
    usleep(1500000);  // the SMPP link binds
    r = RunLoad(
        sink, web, messages, 64,
        [](size_t i) {
          return "/?User=bench&Password=pw&PhoneNumber=447700900123&Sender=12345&Text=b" + std::to_string(i);
        },
        {&gateway}, rate);
  } else {
    fprintf(stderr, "the gateway did not open its web port; see %sgateway.out\n", home.c_str());
  }
  gateway.Stop();
  if (r.delivered) r.syscallsPerMessage = SyscallCount(home + "syscalls.txt") / double(r.delivered);
  return r;
}

LoadResult RunKannel(Sink& sink, size_t messages, bool spool) {
  std::string bearerbox = Which("bearerbox"), smsbox = Which("smsbox");
  if (bearerbox.empty() || smsbox.empty()) {
    fprintf(stderr, "Kannel is not installed: run bench/smpp_bench_setup.sh first\n");
    return {};
  }
  ScratchFs scratch;
  std::string dir = scratch.Make("kannel-bench");
  if (dir.empty()) return {};
  uint16_t admin = BenchFreePort(), boxPort = BenchFreePort(), sendsms = BenchFreePort();
  std::string store = spool ? "store-type = spool\nstore-location = \"" + dir + "spool\"\n"
                            : "store-type = file\nstore-location = \"" + dir + "kannel.store\"\n";
  if (spool) fs::create_directories(dir + "spool");
  std::string conf = "group = core\nadmin-port = " + std::to_string(admin) +
                     "\nadmin-password = bench\nsmsbox-port = " + std::to_string(boxPort) +
                     "\nbox-allow-ip = 127.0.0.1\nlog-level = 1\nlog-file = \"" + dir + "bearerbox.log\"\n" +
                     "access-log = \"" + dir + "bearerbox-access.log\"\n" + store +
                     "\ngroup = smsc\nsmsc = smpp\nsmsc-id = sink\nhost = 127.0.0.1\nport = " +
                     std::to_string(sink.port) +
                     "\ntransceiver-mode = true\nsmsc-username = gw\nsmsc-password = pw\nsystem-type = VMA\n"
                     "max-pending-submits = 100\n"
                     "\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(boxPort) +
                     "\nsendsms-port = " + std::to_string(sendsms) + "\nlog-level = 1\nlog-file = \"" + dir +
                     "smsbox.log\"\naccess-log = \"" + dir + "smsbox-access.log\"\n"
                     "\ngroup = sendsms-user\nusername = bench\npassword = bench\nmax-messages = 1\n";
  WriteText(dir + "kannel.conf", conf);
  BenchProcess bb, sb;
  bb.Start(Counted({bearerbox, "-v", "4", dir + "kannel.conf"}, dir + "bearerbox-syscalls.txt"), {},
           dir + "bearerbox.out");
  usleep(1000000);
  sb.Start(Counted({smsbox, "-v", "4", dir + "kannel.conf"}, dir + "smsbox-syscalls.txt"), {}, dir + "smsbox.out");
  LoadResult r;
  if (BenchWaitForPort(sendsms, 20000)) {
    usleep(1500000);
    r = RunLoad(
        sink, sendsms, messages, 64,
        [](size_t i) {
          return "/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=447700900123&text=b" +
                 std::to_string(i);
        },
        {&bb, &sb});
  } else {
    fprintf(stderr, "smsbox did not open its sendsms port; see %s\n", dir.c_str());
  }
  sb.Stop();
  bb.Stop();
  if (r.delivered)
    r.syscallsPerMessage =
        (SyscallCount(dir + "bearerbox-syscalls.txt") + SyscallCount(dir + "smsbox-syscalls.txt")) / double(r.delivered);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  size_t messages = argc > 1 ? size_t(atol(argv[1])) : 20000;
  bool kannel = argc > 2 && std::string(argv[2]) == "kannel";
  PrepareBenchProcess();
  Sink sink(messages);
  if (!sink.Start()) return 1;
  printf("settings: %zu messages, 64 keep-alive HTTP clients, one SMPP link to the built-in sink, each program on "
         "a fresh journaled ext4 image; gateway WindowSize 100, SMPPNoDelay=Yes, default logs; Kannel -v 4, "
         "log-level 1 with access logs, max-pending-submits 100; system calls %s\n",
         messages, PerfCounts() ? "by perf stat over each program's life" : "not counted (no perf here)");
  printf("sink alone: %.0f submits/s\n", SinkAlone(sink));
  std::string bin = BinDir();
  // QAR_BENCH_ONLY_WINDOW=1 or 100 runs that window only (for profiling).
  const char* only = getenv("QAR_BENCH_ONLY_WINDOW");
  unsigned window = only && atoi(only) == 1 ? 1 : 100;
  std::string label = "gateway, WindowSize " + std::to_string(window);
  LoadResult fast = RunGateway(sink, messages, window, false, bin);
  Print((label + ", DurableAccept=No").c_str(), fast);
  LoadResult durable = RunGateway(sink, messages, window, true, bin);
  Print((label + ", DurableAccept=Yes").c_str(), durable);
  LoadResult half;
  half.complete = true;
  if (!only && durable.deliveredPerSecond > 0) {
    half = RunGateway(sink, messages, window, true, bin, fast.deliveredPerSecond / 2);
    Print(("DurableAccept=Yes at " + std::to_string(int(fast.deliveredPerSecond / 2)) + "/s").c_str(), half);
  }
  int rc = fast.complete && durable.complete && half.complete ? 0 : 2;
  if (kannel) {
    LoadResult file = RunKannel(sink, messages, false);
    Print("Kannel, file store", file);
    LoadResult spool = RunKannel(sink, messages, true);
    Print("Kannel, spool store", spool);
    for (const auto& [name, k] : {std::pair<const char*, const LoadResult&>{"file store", file}, {"spool store", spool}}) {
      if (k.deliveredPerSecond <= 0) continue;
      printf("Kannel %-11s: delivered/s ratio No %.2f, Yes %.2f; CPU per message ratio No %.2f, Yes %.2f; "
             "syscalls per message %.1f (gateway No %.1f, Yes %.1f)\n",
             name, fast.deliveredPerSecond / k.deliveredPerSecond, durable.deliveredPerSecond / k.deliveredPerSecond,
             k.cpuPer1000 > 0 ? fast.cpuPer1000 / k.cpuPer1000 : 0, k.cpuPer1000 > 0 ? durable.cpuPer1000 / k.cpuPer1000 : 0,
             k.syscallsPerMessage, fast.syscallsPerMessage, durable.syscallsPerMessage);
    }
  }
  sink.Stop();
  return rc;
}
