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
#include "bench/sendsms_load.h"
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

void Print(const char* label, const LoadResult& r) {
  printf("%-36s accepted %7.0f/s  delivered %7.0f/s  to sink p50 %7.2f ms p99 %7.2f ms  answer p50 %6.2f ms "
         "p99 %7.2f ms  CPU %.3f s/1000  syscalls/msg %5.1f  (%llu delivered, %llu duplicates, %llu errors%s)\n",
         label, r.acceptedPerSecond, r.deliveredPerSecond, r.p50Ms, r.p99Ms, r.answerP50Ms, r.answerP99Ms,
         r.cpuPer1000, r.syscallsPerMessage, (unsigned long long)r.delivered, (unsigned long long)r.duplicates,
         (unsigned long long)r.errors, r.complete ? "" : ", INCOMPLETE");
  fflush(stdout);
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
  ScratchFs scratch;
  KannelSetup k;
  k.dir = scratch.Make("kannel-bench");
  if (k.dir.empty()) return {};
  k.smscPort = sink.port;
  k.spoolStore = spool;
  k.countSyscalls = true;
  k.sendsmsPort = BenchFreePort();
  k.smsboxGroups = "\ngroup = sendsms-user\nusername = bench\npassword = bench\nmax-messages = 1\n";
  KannelBoxes boxes;
  if (!StartKannel(k, boxes)) return {};
  LoadResult r;
  if (BenchWaitForPort(k.sendsmsPort, 20000)) {
    usleep(1500000);
    r = RunLoad(
        sink, k.sendsmsPort, messages, 64,
        [](size_t i) {
          return "/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=447700900123&text=b" +
                 std::to_string(i);
        },
        {&boxes.bearerbox, &boxes.smsbox});
  } else {
    fprintf(stderr, "smsbox did not open its sendsms port; see %s\n", k.dir.c_str());
  }
  boxes.smsbox.Stop();
  boxes.bearerbox.Stop();
  r.syscallsPerMessage = KannelSyscallsPerMessage(k, r.delivered);
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
