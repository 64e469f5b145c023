// End-to-end modem throughput: the real gateway (qargate) with 8 modem connections to 8
// modem simulators on pseudo-terminals, each answering 1 s late (a network round trip),
// Direct reception, ReceivePoll 60. 480 messages go in over HTTP, half asking for a report.
// Each message needs two paced answers (the prompt and the result), so 8 modems can take at
// most 240 messages a minute. Prints the rate and its share of that limit, the gateway's
// CPU per message, and its idle CPU over 60 s (modems ready, queue empty) above a gateway
// without connections. Checks that none was lost or sent twice. Loopback and ptys only;
// every process it starts is stopped by it.
//
//   modem_e2e [messages=480]
//   QAR_BENCH_IDLE_SECONDS=n: idle measured over n seconds instead of 60
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_process.h"
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
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
  if (send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return false;
  std::string in;
  char buffer[4096];
  for (ssize_t n; (n = recv(s.get(), buffer, sizeof buffer, 0)) > 0;) in.append(buffer, size_t(n));
  return in.compare(0, 10, "HTTP/1.1 2") == 0 || in.compare(0, 10, "HTTP/1.0 2") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  size_t messages = argc > 1 ? size_t(atoi(argv[1])) : 480;
  std::string bin = BinDir();
  std::string dir = fs::temp_directory_path().string() + "/qar-modem-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  dir += "/";
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
  double idleStart = gateway.CpuSeconds(), bareStart = baseline.CpuSeconds();
  // QAR_BENCH_IDLE_SECONDS shortens the idle measurement (for profiling the load).
  const char* idleSeconds = getenv("QAR_BENCH_IDLE_SECONDS");
  double idleBegin = NowSeconds();
  sleep(idleSeconds ? unsigned(atoi(idleSeconds)) : 60);
  double idle = gateway.CpuSeconds() - idleStart, bareIdle = baseline.CpuSeconds() - bareStart;
  double idleSpan = NowSeconds();
  baseline.Stop();

  double cpuStart = gateway.CpuSeconds();
  double start = NowSeconds();
  size_t refused = 0;
  for (size_t i = 0; i < messages; ++i) {
    std::string path = "/?User=bench&Password=pw&PhoneNumber=4477009" + std::to_string(10000 + i) + "&Text=m" +
                       std::to_string(i) + (i % 2 ? "&ReceiptRequested=Yes" : "");
    if (!HttpSubmit(web, path)) ++refused;
  }
  size_t accepted = 0, all = 0;
  while (NowSeconds() - start < 1200 && (accepted = Accepted(sims, &all)) < messages - refused) sleep(1);
  double elapsed = NowSeconds() - start;
  double cpu = gateway.CpuSeconds() - cpuStart;
  double perMinute = double(accepted) * 60 / elapsed;
  printf("modems %d, messages %zu (HTTP refused %zu), accepted %zu, submits seen %zu\n", kModems, messages, refused,
         accepted, all);
  // The gateway's own idle threads run during the load too: what the messages cost is the
  // CPU above that idle rate.
  double idleRate = idle / (idleSpan - idleBegin);
  double perMessage = accepted ? cpu * 1000 / double(accepted) : 0.0;
  double aboveIdle = accepted ? (cpu - idleRate * elapsed) * 1000 / double(accepted) : 0.0;
  printf("rate %.1f/min = %.0f%% of the %g/min limit; gateway CPU %.3f ms per message (%.3f ms above its idle)\n",
         perMinute, perMinute * 100 / kLimitPerMinute, kLimitPerMinute, perMessage, aboveIdle);
  printf("idle 60 s: %.3f CPU s (without connections %.3f s): %.3f s above\n", idle, bareIdle, idle - bareIdle);
  printf("%s\n", accepted == messages && all == messages ? "none lost or sent twice" : "LOST OR DUPLICATED");
  gateway.Stop();
  for (Sim& s : sims) s.child.Stop();
  fs::remove_all(dir);
  return 0;
}
