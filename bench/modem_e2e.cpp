// End-to-end modem throughput: the real gateway (qargate) with 8 modem connections to 8
// modem simulators on pseudo-terminals, each answering 1 s late (a network round trip),
// Direct reception, ReceivePoll 60. 480 messages go in over HTTP, half asking for a report.
// Each message needs two paced answers (the prompt and the result), so 8 modems can take at
// most 240 messages a minute. Prints the rate and its share of that limit, the gateway's
// CPU per message, and its idle CPU over 60 s (modems ready, queue empty) above a gateway
// without connections. Checks that every message reached a simulator exactly once. With
// "kannel" the same simulators then serve Kannel's "at" centres (bearerbox and smsbox, the
// messages over its HTTP sendsms, the same half with reports) and both are printed, each
// also above its own idle rate (measured the same way, before its load). The files of both
// sides are on one fresh journaled ext4 image.
// Loopback and ptys only; every process it starts is stopped by it.
//
//   modem_e2e [messages=480] [kannel]
//   QAR_BENCH_IDLE_SECONDS=n: idle measured over n seconds instead of 60
//   QAR_BENCH_DURABLE_ACCEPT=No: the gateway runs with DurableAccept=No (what the flushes cost)
//   QAR_BENCH_EXTRA="Key=Value": one more [QARHUB] line for the gateway (EnableThreadPool=Yes, say)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <thread>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_process.h"
#include "bench/scratch_fs.h"
#include "runtime/unique_fd.h"

namespace fs = std::filesystem;

namespace {

constexpr int kModems = 8;
constexpr double kLimitPerMinute = 240;

double NowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// One request line, one answer line.
std::string Exchange(uint16_t port, const std::string& request) {
  UniqueFd s = BenchConnect(port);
  if (!s) return {};
  std::string out = request + "\n";
  if (send(s.get(), out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) return {};
  std::string in;
  char buffer[65536];
  while (in.empty() || in.back() != '\n') {
    ssize_t n = recv(s.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    in.append(buffer, size_t(n));
  }
  return in;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}


struct Sim {
  BenchProcess child;
  std::string device;
  uint16_t control = 0;
};

bool StartSims(std::vector<Sim>& sims, const std::string& dir) {
  WriteText(dir + "sim.json", R"({"failures": {"delay_ms": 1000}})");
  for (int i = 0; i < kModems; ++i) {
    Sim& s = sims[size_t(i)];
    s.device = dir + "ttyGSM" + std::to_string(i);
    std::string out = dir + "sim" + std::to_string(i) + ".out";
    s.child.Start({QAR_PEERS_DIR "/modem-sim", "--pty", s.device, "--control", "127.0.0.1:0", "--lifetime", "1800",
                   "--script", dir + "sim.json"},
                  {}, out);
    for (int waited = 0; s.control == 0 && waited < 200; ++waited) {
      std::string ready = ReadText(out);
      size_t at = ready.find("\"control\": \"127.0.0.1:");
      if (at != std::string::npos) s.control = uint16_t(atoi(ready.c_str() + at + 22));
      if (s.control == 0) usleep(100000);
    }
    if (s.control == 0) return false;
  }
  return true;
}

size_t Accepted(const std::vector<Sim>& sims, size_t* all = nullptr) {
  size_t ok = 0, total = 0;
  for (const Sim& s : sims) {
    std::string answer = Exchange(s.control, R"({"cmd":"submits"})");
    ok += Count(answer, "\"result\": \"OK\"");
    total += Count(answer, "\"result\": ");
  }
  if (all) *all = total;
  return ok;
}

// Every modem has been through its session start (its own number was asked for last).
bool AllReady(const std::vector<Sim>& sims) {
  for (const Sim& s : sims) {
    if (Exchange(s.control, R"({"cmd":"transcript"})").find("AT+CNUM") == std::string::npos) return false;
  }
  return true;
}

bool HttpSubmit(uint16_t port, const std::string& path) {
  UniqueFd s = BenchConnect(port);
  if (!s) return false;
  // A server that never answers fails the submission instead of holding the run.
  timeval limit{30, 0};
  setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
  if (send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return false;
  // The answer ends at its Content-Length (a server may keep the connection), else at EOF.
  std::string in;
  char buffer[4096];
  for (ssize_t n; (n = recv(s.get(), buffer, sizeof buffer, 0)) > 0;) {
    in.append(buffer, size_t(n));
    size_t head = in.find("\r\n\r\n");
    if (head == std::string::npos) continue;
    size_t length = in.find("Content-Length: ");
    if (length != std::string::npos && length < head &&
        in.size() >= head + 4 + size_t(atol(in.c_str() + length + 16))) {
      break;
    }
  }
  return in.compare(0, 10, "HTTP/1.1 2") == 0 || in.compare(0, 10, "HTTP/1.0 2") == 0;
}

// How many times each message's number (4477009 + 10000 + index) reached a simulator.
std::vector<int> DeliveredCounts(const std::vector<Sim>& sims, size_t messages) {
  std::vector<int> counts(messages, 0);
  const std::string key = "\"number\": \"";
  for (const Sim& s : sims) {
    std::string answer = Exchange(s.control, R"({"cmd":"submits"})");
    for (size_t at = answer.find(key); at != std::string::npos; at = answer.find(key, at + 1)) {
      std::string number = answer.substr(at + key.size(), 16);
      if (!number.empty() && number[0] == '+') number.erase(0, 1);
      if (number.compare(0, 7, "4477009") != 0) continue;
      long index = atol(number.c_str() + 7) - 10000;
      if (index >= 0 && size_t(index) < messages) ++counts[size_t(index)];
    }
  }
  return counts;
}

struct ReportCount {
  size_t stored = 0, matched = 0, unknown = 0;
};

// The delivery reports stored as files under dir, once expected of them are there (or after
// 60 s): how many name their message.
ReportCount CountReports(const std::string& dir, size_t expected) {
  ReportCount c;
  for (int waited = 0; waited <= 60; ++waited) {
    c = ReportCount();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      std::string text = ReadText(it->path().string());
      if (text.find("ReceiptMessageId=") == std::string::npos) continue;
      ++c.stored;
      if (text.find("ReceiptMessageId=\r\n") != std::string::npos) ++c.unknown;
      else ++c.matched;
    }
    if (c.stored >= expected) break;
    sleep(1);
  }
  return c;
}

struct RunFigures {
  size_t refused = 0, accepted = 0, submits = 0, lost = 0, twice = 0;
  double elapsed = 0, cpu = 0;
  double acceptCpu = 0;  // of cpu, what the processes used while the submissions were made
  double idleRate = -1;  // CPU seconds per second before the load (modems ready, queue empty); < 0: not measured
};

// The idle measurement's length: QAR_BENCH_IDLE_SECONDS (for profiling the load), else 60 s.
unsigned IdleSeconds() {
  const char* idleSeconds = getenv("QAR_BENCH_IDLE_SECONDS");
  return idleSeconds ? unsigned(atoi(idleSeconds)) : 60;
}

double CpuOf(const std::vector<const BenchProcess*>& processes) {
  double cpu = 0;
  for (const BenchProcess* p : processes) cpu += p->CpuSeconds();
  return cpu;
}

// What the processes use per second over the idle measurement.
double MeasureIdleRate(const std::vector<const BenchProcess*>& processes, unsigned* seconds = nullptr) {
  double begin = NowSeconds(), start = CpuOf(processes);
  sleep(IdleSeconds());
  double span = NowSeconds() - begin;
  if (seconds) *seconds = unsigned(span + 0.5);
  return (CpuOf(processes) - start) / span;
}

// Submits the messages through submitPath(i) and waits until the simulators have them all;
// cpu is what the processes used over that interval.
RunFigures Load(const std::vector<Sim>& sims, uint16_t web, size_t messages,
                const std::function<std::string(size_t)>& submitPath, const std::vector<const BenchProcess*>& cpu) {
  RunFigures f;
  double cpuStart = 0;
  for (const BenchProcess* p : cpu) cpuStart += p->CpuSeconds();
  double start = NowSeconds();
  for (size_t i = 0; i < messages; ++i) {
    if (!HttpSubmit(web, submitPath(i))) ++f.refused;
  }
  for (const BenchProcess* p : cpu) f.acceptCpu += p->CpuSeconds();
  f.acceptCpu -= cpuStart;
  while (NowSeconds() - start < 1800 && (f.accepted = Accepted(sims, &f.submits)) < messages - f.refused) sleep(1);
  f.elapsed = NowSeconds() - start;
  for (const BenchProcess* p : cpu) f.cpu += p->CpuSeconds();
  f.cpu -= cpuStart;
  sleep(3);  // a late repeat would show here
  for (int n : DeliveredCounts(sims, messages)) {
    if (n == 0) ++f.lost;
    if (n > 1) ++f.twice;
  }
  return f;
}

void PrintRun(const char* who, const RunFigures& f, size_t messages) {
  double perMinute = double(f.accepted) * 60 / f.elapsed;
  printf("%s: messages %zu (HTTP refused %zu), accepted %zu, submits seen %zu\n", who, messages, f.refused,
         f.accepted, f.submits);
  printf("%s: rate %.1f/min = %.0f%% of the %g/min limit; CPU %.3f ms per message\n", who, perMinute,
         perMinute * 100 / kLimitPerMinute, kLimitPerMinute, f.accepted ? f.cpu * 1000 / double(f.accepted) : 0.0);
  if (f.accepted) {
    printf("%s: of which %.3f ms per message while the HTTP submissions were made (one connection each, in turn)\n",
           who, f.acceptCpu * 1000 / double(f.accepted));
  }
  if (f.accepted && f.idleRate >= 0) {
    printf("%s: %.3f ms per message above its idle (%.3f CPU s a minute idle)\n", who,
           (f.cpu - f.idleRate * f.elapsed) * 1000 / double(f.accepted), f.idleRate * 60);
  }
  printf("%s: lost %zu, sent twice %zu: %s\n", who, f.lost, f.twice,
         f.lost == 0 && f.twice == 0 && f.accepted == messages ? "none lost or sent twice" : "LOST OR DUPLICATED");
  fflush(stdout);
}

// Kannel's bearerbox with one "at" centre per simulator and its smsbox's sendsms, as its users
// run them (modem definitions of the package, automatic modem type, info logs).
RunFigures RunKannel(std::vector<Sim>& sims, const std::string& dir, size_t messages) {
  RunFigures none;
  none.lost = messages;
  std::string bearerbox = Which("bearerbox"), smsbox = Which("smsbox");
  if (bearerbox.empty() || smsbox.empty()) {
    fprintf(stderr, "Kannel is not installed (bench/smpp_bench_setup.sh installs it)\n");
    return none;
  }
  for (Sim& s : sims) Exchange(s.control, R"({"cmd":"reset"})");
  for (Sim& s : sims) Exchange(s.control, R"({"cmd":"submits","clear":true})");
  std::string k = dir + "kannel/";
  fs::create_directories(k);
  // Where the delivery reports are sent.
  LoopbackServer dlr;
  dlr.StartServing([&dlr] {
    ServeConnections(dlr, 1024, false, [](int fd, std::string& in) {
      char buffer[4096];
      ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      in.append(buffer, size_t(got));
      if (in.find("\r\n\r\n") == std::string::npos) return true;
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return false;
    });
  });
  uint16_t admin = BenchFreePort(), boxPort = BenchFreePort(), sendsms = BenchFreePort();
  std::string modems = "/usr/share/doc/kannel/examples/modems.conf";
  std::string conf = "group = core\nadmin-port = " + std::to_string(admin) +
                     "\nadmin-password = bench\nsmsbox-port = " + std::to_string(boxPort) +
                     "\nbox-allow-ip = 127.0.0.1\nlog-level = 1\nlog-file = \"" + k + "bearerbox.log\"\n" +
                     "store-type = file\nstore-location = \"" + k + "kannel.store\"\ndlr-storage = internal\n";
  for (size_t i = 0; i < sims.size(); ++i) {
    conf += "\ngroup = smsc\nsmsc = at\nsmsc-id = modem" + std::to_string(i) + "\ndevice = " + sims[i].device +
            "\nmodemtype = auto\n";
  }
  conf += "\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(boxPort) +
          "\nsendsms-port = " + std::to_string(sendsms) + "\nlog-level = 1\nlog-file = \"" + k + "smsbox.log\"\n" +
          "\ngroup = sendsms-user\nusername = bench\npassword = pw\n";
  if (access(modems.c_str(), R_OK) == 0) conf += "\ninclude = \"" + modems + "\"\n";
  WriteText(k + "kannel.conf", conf);
  BenchProcess bb, sb;
  bb.Start({bearerbox, "-v", "4", k + "kannel.conf"}, {}, k + "bearerbox.out");
  // smsbox gives up at once when bearerbox does not listen yet.
  bool ready = BenchWaitForPort(boxPort, 60000);
  if (ready) sb.Start({smsbox, "-v", "4", k + "kannel.conf"}, {}, k + "smsbox.out");
  RunFigures f = none;
  ready = ready && BenchWaitForPort(sendsms, 60000);
  // Ready when every modem has had its message indications set (the last of its start).
  for (int waited = 0; ready && waited < 300; ++waited) {
    bool all = true;
    for (const Sim& s : sims) all &= Exchange(s.control, R"({"cmd":"transcript"})").find("AT+CNMI") != std::string::npos;
    if (all) break;
    sleep(1);
    if (waited == 299) ready = false;
  }
  if (!ready) {
    fprintf(stderr, "Kannel's modems did not become ready (see %s)\n", k.c_str());
  } else {
    sleep(5);
    // Its own idle, measured as the gateway's was: the modems ready, nothing to send.
    double idleRate = MeasureIdleRate({&bb, &sb});
    std::string dlrUrl = "http%3A%2F%2F127.0.0.1%3A" + std::to_string(dlr.port) + "%2Fdlr%3Ftype%3D%25d";
    f = Load(sims, sendsms, messages, [&](size_t i) {
      return "/cgi-bin/sendsms?username=bench&password=pw&from=12345&to=4477009" + std::to_string(10000 + i) + "&text=m" +
             std::to_string(i) + (i % 2 ? "&dlr-mask=3&dlr-url=" + dlrUrl : "");
    }, {&bb, &sb});
    f.idleRate = idleRate;
  }
  sb.Stop();
  bb.Stop();
  dlr.Stop();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  size_t messages = argc > 1 ? size_t(atoi(argv[1])) : 480;
  bool kannel = argc > 2 && std::string(argv[2]) == "kannel";
  PrepareBenchProcess();
  std::string bin = BinDir();
  // Both sides keep their files on a fresh journaled ext4 image, as a queue usually is: on
  // ext4 without a journal (this machine's root) every new file would pass over the inodes
  // freed in the last minutes, which costs a one-file-per-message queue more than a log.
  ScratchFs scratch;
  std::string dir = scratch.Make("qar-modem-bench");
  if (dir.empty()) return 1;
  printf("files: %s\n", scratch.mounted ? "a fresh journaled ext4 image (loop-mounted)" : dir.c_str());
  std::vector<Sim> sims(kModems);
  if (!StartSims(sims, dir)) {
    fprintf(stderr, "the modem simulators did not start (see %s)\n", dir.c_str());
    return 1;
  }
  // The gateway with the modems, and one without connections for the idle comparison.
  std::string home = dir + "gw/", bare = dir + "bare/";
  fs::create_directories(home);
  fs::create_directories(bare);
  uint16_t web = BenchFreePort(), bareWeb = BenchFreePort();
  std::string ini = "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nReceiveSMS=Yes\r\n";
  const char* durable = getenv("QAR_BENCH_DURABLE_ACCEPT");
  if (durable) {
    ini += std::string("DurableAccept=") + durable + "\r\n";
    printf("gateway: DurableAccept=%s\n", durable);
  }
  if (const char* extra = getenv("QAR_BENCH_EXTRA")) ini += std::string(extra) + "\r\n";
  std::string sections;
  for (int i = 0; i < kModems; ++i) {
    ini += "Modem" + std::to_string(i + 1) + "=" + sims[size_t(i)].device + "\r\n";
    sections += "[Modem - " + sims[size_t(i)].device + "]\r\nReceiveTo=Direct\r\nReceivePoll=60\r\n";
  }
  WriteText(home + "QARHUB.INI", ini + sections);
  WriteText(bare + "QARHUB.INI", "[QARHUB]\r\nWebPort=" + std::to_string(bareWeb) + "\r\n");
  std::string add = "QARSMS_HOME='" + home + "' '" + bin + "qaruser' add bench pw >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
  BenchProcess gateway, baseline;
  gateway.Start({bin + "qargate"}, {"QARSMS_HOME=" + home}, home + "gateway.out");
  baseline.Start({bin + "qargate"}, {"QARSMS_HOME=" + bare}, bare + "gateway.out");
  if (!BenchWaitForPort(web, 30000) || !BenchWaitForPort(bareWeb, 30000)) {
    fprintf(stderr, "a gateway did not open its web port (see %s)\n", dir.c_str());
    return 1;
  }
  for (int waited = 0; waited < 300 && !AllReady(sims); ++waited) sleep(1);
  if (!AllReady(sims)) {
    fprintf(stderr, "the modems did not become ready\n");
    return 1;
  }
  sleep(5);
  // The gateway and one without connections over the same seconds: what the modems add.
  double bareStart = baseline.CpuSeconds();
  unsigned idleSpan = 0;
  double idleRate = MeasureIdleRate({&gateway}, &idleSpan);
  double bareIdle = baseline.CpuSeconds() - bareStart;
  baseline.Stop();

  RunFigures g = Load(sims, web, messages, [](size_t i) {
    return "/?User=bench&Password=pw&PhoneNumber=4477009" + std::to_string(10000 + i) + "&Text=m" +
           std::to_string(i) + (i % 2 ? "&ReceiptRequested=Yes" : "");
  }, {&gateway});
  // The gateway's own idle threads run during the load too: what the messages cost is the
  // CPU above that idle rate.
  g.idleRate = idleRate;
  ReportCount reports = CountReports(home + "SMS-IN/", messages / 2);
  gateway.Stop();
  PrintRun("gateway", g, messages);
  printf("gateway: reports stored %zu of %zu, matched to their message %zu, unknown reference %zu\n", reports.stored,
         messages / 2, reports.matched, reports.unknown);
  double idle = idleRate * idleSpan;
  printf("gateway: idle %u s: %.3f CPU s (without connections %.3f s): %.3f s above\n", idleSpan, idle, bareIdle,
         idle - bareIdle);
  fflush(stdout);
  bool complete = g.lost == 0 && g.twice == 0 && g.accepted == messages;
  if (kannel) {
    RunFigures k = RunKannel(sims, dir, messages);
    PrintRun("Kannel (bearerbox + smsbox)", k, messages);
    if (k.accepted && g.accepted) {
      printf("gateway / Kannel: rate %.2f x", (double(g.accepted) / g.elapsed) / (double(k.accepted) / k.elapsed));
      if (k.cpu > 0) printf(", CPU per message %.2f x", (g.cpu / double(g.accepted)) / (k.cpu / double(k.accepted)));
      double gAbove = g.cpu - g.idleRate * g.elapsed, kAbove = k.cpu - k.idleRate * k.elapsed;
      if (k.idleRate >= 0 && kAbove > 0) {
        printf(", above each one's idle %.2f x", (gAbove / double(g.accepted)) / (kAbove / double(k.accepted)));
      }
      printf("\n");
    }
    complete &= k.lost == 0 && k.twice == 0 && k.accepted == messages;
  }
  for (Sim& s : sims) s.child.Stop();
  if (!complete) scratch.Keep();
  return complete ? 0 : 2;
}
