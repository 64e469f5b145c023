// End-to-end two-way throughput: an SMS centre of our own pushes N keyword messages as
// deliver_sm (at most 100 unanswered) to the real gateway, whose HTTP command calls a local
// keep-alive server that answers an empty text/plain (no reply is sent). Timed from the
// first deliver_sm until the server has had every message. Prints messages per second, the
// 50th/99th-percentile latency from deliver_sm to the HTTP request, the gateway's CPU
// microseconds per message and how many messages were requested more than once, with
// 2WaySMSThreadCount 1 and 4 (received messages acknowledged after their flush), and 4
// with DurableAccept=No. With "kannel" the same run goes through Kannel (bearerbox on
// the same centre, smsbox with an sms-service get-url to the same server). Loopback only;
// every process it starts is stopped by it.
//
//   inbound_e2e [messages=20000] [kannel]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_process.h"
#include "bench/smpp_centre.h"
#include "bench/sendsms_load.h"
#include "bench/smpp_sink.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/unique_fd.h"

namespace fs = std::filesystem;

namespace {
// ---- The HTTP server: keep-alive, an empty text/plain for every request "...t=b<index>". ----
struct Server : LoopbackServer {
  Timings& timings;
  explicit Server(Timings& t) : timings(t) {}
  bool Start() { return StartServing([this] { Run(); }); }
  void Note(const std::string& requestLine) {
    size_t at = requestLine.find("t=b");
    if (at == std::string::npos) return;
    size_t index = strtoul(requestLine.c_str() + at + 3, nullptr, 10);
    if (index >= timings.requested.size()) return;
    uint64_t expected = 0;
    if (timings.requested[index].compare_exchange_strong(expected, BenchNowUs())) ++timings.requests;
    else ++timings.repeated;
  }
  void Run() {
    static const std::string kAnswer =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n";
    ServeConnections(*this, 4096, false, [this](int fd, std::string& in) {
      char buffer[65536];
      ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      in.append(buffer, size_t(got));
      std::string out;
      for (size_t end; (end = in.find("\r\n\r\n")) != std::string::npos;) {
        Note(in.substr(0, in.find("\r\n")));
        in.erase(0, end + 4);
        out += kAnswer;
      }
      if (!out.empty()) SendAll(fd, out);
      return true;
    });
  }
};

struct RunResult {
  double perSecond = 0, p50Ms = 0, p99Ms = 0, cpuUsPerMessage = 0;
  uint64_t requested = 0, repeated = 0;
  bool complete = false;
};

RunResult Measure(Centre& centre, Timings& t, size_t messages, const std::vector<const BenchProcess*>& cpu) {
  RunResult r;
  for (int waited = 0; !centre.bound.load() && waited < 200; ++waited) usleep(100000);
  if (!centre.bound.load()) {
    fprintf(stderr, "nobody bound as receiver\n");
    return r;
  }
  t.Reset();
  double cpuStart = 0;
  for (const BenchProcess* p : cpu) cpuStart += p->CpuSeconds();
  uint64_t start = BenchNowUs();
  centre.Begin(messages);
  while (t.requests.load() < messages && BenchNowUs() - start < 300000000ull) usleep(20000);
  usleep(200000);  // late repeats
  double cpuEnd = 0;
  for (const BenchProcess* p : cpu) cpuEnd += p->CpuSeconds();
  centre.push = false;
  std::vector<uint64_t> latencies;
  uint64_t last = start;
  for (size_t i = 0; i < messages; ++i) {
    uint64_t s = t.sent[i].load(), q = t.requested[i].load();
    if (s == 0 || q == 0) continue;
    latencies.push_back(q > s ? q - s : 0);
    last = std::max(last, q);
  }
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0
                             : double(latencies[std::min(latencies.size() - 1, size_t(p * double(latencies.size())))]) / 1000;
  };
  r.requested = latencies.size();
  r.repeated = t.repeated.load();
  r.complete = r.requested == messages && r.repeated == 0;
  r.perSecond = double(r.requested) / (double(last - start) / 1e6);
  r.p50Ms = pct(0.5);
  r.p99Ms = pct(0.99);
  r.cpuUsPerMessage = r.requested ? (cpuEnd - cpuStart) * 1e6 / double(r.requested) : 0;
  return r;
}

void Print(const std::string& label, const RunResult& r) {
  printf("%-52s %8.0f msg/s  p50 %8.2f ms  p99 %8.2f ms  CPU %7.1f us/msg  (%llu requested, %llu repeated%s)\n",
         label.c_str(), r.perSecond, r.p50Ms, r.p99Ms, r.cpuUsPerMessage, (unsigned long long)r.requested,
         (unsigned long long)r.repeated, r.complete ? "" : ", INCOMPLETE");
  fflush(stdout);
}

std::string TempDir(const char* label) {
  std::string base = fs::temp_directory_path().string() + "/" + label + "-XXXXXX";
  if (!mkdtemp(base.data())) return {};
  return base + "/";
}

RunResult RunGateway(Centre& centre, Server& server, Timings& t, size_t messages, unsigned threads, bool durable) {
  std::string home = TempDir("qar-inbound-bench");
  std::string bin = BinDir();
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(centre.port);
  WriteText(home + "QARHUB.INI",
            "[QARHUB]\r\nWebPort=" + std::to_string(BenchFreePort()) + "\r\nModem1=" + connection +
                "\r\nReceiveSMS=Yes\r\nDurableAccept=" + (durable ? "Yes" : "No") +
                "\r\n2WaySMSThreadCount=" + std::to_string(threads) +
                "\r\nReceiveSMSCommand1=KW\thttp://127.0.0.1:" + std::to_string(server.port) +
                "/r?t=@@SMS@@\tNo\r\n[" + connection +
                "]\r\nUserName=gw\r\nPassword=pw\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n");
  BenchProcess gateway;
  // QAR_BENCH_GATEWAY: another build of the gateway, to compare two in the same conditions.
  const char* other = getenv("QAR_BENCH_GATEWAY");
  gateway.Start({other && *other ? std::string(other) : bin + "qargate"}, {"QARSMS_HOME=" + home}, home + "gateway.out");
  RunResult r = Measure(centre, t, messages, {&gateway});
  gateway.Stop();
  std::error_code ec;
  if (r.complete) fs::remove_all(home, ec);
  else fprintf(stderr, "files kept in %s\n", home.c_str());
  return r;
}

RunResult RunKannel(Centre& centre, Server& server, Timings& t, size_t messages) {
  KannelSetup k;
  k.dir = TempDir("kannel-inbound-bench");
  k.smscPort = centre.port;
  k.asUsersRun = false;
  k.smsboxGroups = "\ngroup = sms-service\nkeyword = kw\nget-url = \"http://127.0.0.1:" + std::to_string(server.port) +
                   "/r?t=%s\"\nomit-empty = true\nmax-messages = 0\n";
  KannelBoxes boxes;
  if (!StartKannel(k, boxes)) return {};
  RunResult r = Measure(centre, t, messages, {&boxes.bearerbox, &boxes.smsbox});
  boxes.smsbox.Stop();
  boxes.bearerbox.Stop();
  std::error_code ec;
  if (r.complete) fs::remove_all(k.dir, ec);
  else fprintf(stderr, "files kept in %s\n", k.dir.c_str());
  return r;
}
}  // namespace

int main(int argc, char** argv) {
  size_t messages = argc > 1 ? size_t(atol(argv[1])) : 20000;
  bool kannel = argc > 2 && std::string(argv[2]) == "kannel";
  PrepareBenchProcess();
  Timings timings(messages);
  Centre centre(timings);
  Server server(timings);
  if (!centre.Start() || !server.Start()) return 1;
  bool complete = true;
  const struct {
    unsigned threads;
    bool durable;
  } runs[] = {{1, true}, {4, true}, {1, false}, {4, false}};
  // QAR_BENCH_ONLY=4n (threads, y/n durable; comma-separated) runs those alone, e.g. under a profiler.
  const char* only = getenv("QAR_BENCH_ONLY");
  for (const auto& run : runs) {
    std::string tag = std::to_string(run.threads) + (run.durable ? "y" : "n");
    if (only && *only && ("," + std::string(only) + ",").find("," + tag + ",") == std::string::npos) continue;
    RunResult r = RunGateway(centre, server, timings, messages, run.threads, run.durable);
    Print("gateway, 2WaySMSThreadCount " + std::to_string(run.threads) + ", DurableAccept " + (run.durable ? "Yes" : "No"), r);
    complete &= r.complete;
  }
  if (kannel) Print("Kannel, sms-service get-url", RunKannel(centre, server, timings, messages));
  server.Stop();
  centre.Stop();
  return complete ? 0 : 2;
}
