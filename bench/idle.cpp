// What an idle link costs and how fast a queued message leaves. The real gateway (qargate)
// with 0, 1, 10 and 50 SMPP links to light sinks that bind and then stay silent: CPU seconds
// per minute with Debug off and on (and debug-log bytes per minute); with "kannel", Kannel's
// bearerbox (-v 4, one smsc group per link) on the same sinks. Then the latency of single
// messages sent over HTTP at 5 a second on an idle link (HTTP request to submit_sm at the
// sink, median and 99th percentile; Kannel's sendsms too), and the drain of a backlog of
// 10,000 and 100,000 queue files written while the gateway was down, over one link with
// WindowSize 100 (rate, and the gateway's CPU over the drain's wall time). Loopback only;
// every process it starts is stopped by it.
//
//   idle [measure-seconds=60] [settle-seconds=30] [kannel]
//   QAR_BENCH_ONLY=idle, latency or drain: that part only
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_process.h"
#include "bench/smpp_sink.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  unsigned measureSeconds = 60, settleSeconds = 30;
  bool kannel = false;
  std::string bin;
};

struct Sinks {
  std::vector<std::unique_ptr<Sink>> all;
  explicit Sinks(size_t n, size_t capacity = 16) {
    for (size_t i = 0; i < n; ++i) {
      all.push_back(std::make_unique<Sink>(capacity));
      if (!all.back()->Start()) fprintf(stderr, "a sink did not start\n");
    }
  }
  ~Sinks() {
    for (auto& s : all) s->Stop();
  }
};

std::string Connection(const Sink& s) { return "SMPP - 127.0.0.1:" + std::to_string(s.port); }

// A gateway data folder with one connection per sink.
std::string GatewayConfig(const Sinks& sinks, uint16_t web, bool debug, unsigned window) {
  std::string main = "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nSMPPNoDelay=Yes\r\n";
  if (debug) main += "Debug=Yes\r\n";
  std::string sections;
  for (size_t i = 0; i < sinks.all.size(); ++i) {
    std::string c = Connection(*sinks.all[i]);
    main += "Modem" + std::to_string(i + 1) + "=" + c + "\r\n";
    sections += "[" + c + "]\r\nUserName=gw\r\nPassword=pw\r\nWindowSize=" + std::to_string(window) + "\r\n";
  }
  return main + sections;
}

uintmax_t DebugBytes(const std::string& home) {
  uintmax_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (name.rfind("SMSDEBUG", 0) == 0 && it->is_regular_file(ec)) total += it->file_size(ec);
  }
  return total;
}

struct IdleFigure {
  double cpuPerMinute = -1;
  double debugBytesPerMinute = 0;
};

IdleFigure GatewayIdle(const Options& o, size_t links, bool debug) {
  Sinks sinks(links);
  ScratchFs scratch;
  std::string home = scratch.Make("qar-idle-bench");
  IdleFigure f;
  if (home.empty()) return f;
  uint16_t web = BenchFreePort();
  WriteText(home + "QARHUB.INI", GatewayConfig(sinks, web, debug, 1));
  BenchProcess gateway;
  gateway.Start({o.bin + "qargate"}, {"QARSMS_HOME=" + home}, home + "gateway.out");
  if (!BenchWaitForPort(web, 20000)) {
    fprintf(stderr, "the gateway did not open its web port; see %sgateway.out\n", home.c_str());
    return f;
  }
  sleep(o.settleSeconds);
  double cpu0 = gateway.CpuSeconds();
  uintmax_t bytes0 = DebugBytes(home);
  sleep(o.measureSeconds);
  double minutes = o.measureSeconds / 60.0;
  f.cpuPerMinute = (gateway.CpuSeconds() - cpu0) / minutes;
  f.debugBytesPerMinute = double(DebugBytes(home) - bytes0) / minutes;
  gateway.Stop();
  return f;
}

double KannelIdle(const Options& o, size_t links) {
  std::string bearerbox = Which("bearerbox");
  if (bearerbox.empty()) return -1;
  Sinks sinks(links);
  ScratchFs scratch;
  std::string dir = scratch.Make("kannel-idle-bench");
  if (dir.empty()) return -1;
  std::string conf = "group = core\nadmin-port = " + std::to_string(BenchFreePort()) +
                     "\nadmin-password = bench\nsmsbox-port = " + std::to_string(BenchFreePort()) +
                     "\nlog-level = 4\nlog-file = \"" + dir + "bearerbox.log\"\nstore-type = file\nstore-location = \"" +
                     dir + "kannel.store\"\n";
  for (size_t i = 0; i < links; ++i) {
    conf += "\ngroup = smsc\nsmsc = smpp\nsmsc-id = sink" + std::to_string(i) + "\nhost = 127.0.0.1\nport = " +
            std::to_string(sinks.all[i]->port) +
            "\ntransceiver-mode = true\nsmsc-username = gw\nsmsc-password = pw\nsystem-type = VMA\n";
  }
  WriteText(dir + "kannel.conf", conf);
  BenchProcess bb;
  bb.Start({bearerbox, "-v", "4", dir + "kannel.conf"}, {}, dir + "bearerbox.out");
  sleep(o.settleSeconds);
  double cpu0 = bb.CpuSeconds();
  sleep(o.measureSeconds);
  double perMinute = (bb.CpuSeconds() - cpu0) / (o.measureSeconds / 60.0);
  bb.Stop();
  return perMinute;
}

struct Latency {
  double p50Ms = -1, p99Ms = -1;
  size_t delivered = 0;
};

// count single messages, one every 200 ms over one kept HTTP connection.
Latency SingleMessages(Sink& sink, uint16_t port, size_t count, const std::function<std::string(size_t)>& pathFor) {
  Latency l;
  sink.Reset();
  UniqueFd c = BenchConnect(port);
  if (!c) return l;
  std::vector<uint64_t> sentAt(count, 0);
  char buffer[16384];
  for (size_t i = 0; i < count; ++i) {
    uint64_t next = BenchNowUs() + 200000;
    sentAt[i] = BenchNowUs();
    SendAll(c.get(), "GET " + pathFor(i) + " HTTP/1.1\r\nHost: bench\r\nConnection: keep-alive\r\n\r\n");
    std::string in;
    for (;;) {
      ssize_t n = recv(c.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return l;
      in.append(buffer, size_t(n));
      size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      size_t cl = in.find("Content-Length: ");
      size_t length = cl != std::string::npos && cl < end ? std::stoul(in.substr(cl + 16)) : 0;
      if (in.size() >= end + 4 + length) break;
    }
    uint64_t now = BenchNowUs();
    if (now < next) usleep(useconds_t(next - now));
  }
  usleep(2000000);
  std::vector<uint64_t> latencies;
  for (size_t i = 0; i < count; ++i) {
    uint64_t a = sink.arrival[i].load();
    if (a != 0) latencies.push_back(a > sentAt[i] ? a - sentAt[i] : 0);
  }
  std::sort(latencies.begin(), latencies.end());
  l.delivered = latencies.size();
  if (!latencies.empty()) {
    l.p50Ms = double(latencies[latencies.size() / 2]) / 1000;
    l.p99Ms = double(latencies[std::min(latencies.size() - 1, size_t(0.99 * double(latencies.size())))]) / 1000;
  }
  return l;
}

Latency GatewayLatency(const Options& o, size_t count) {
  Sinks sinks(1, count);
  ScratchFs scratch;
  std::string home = scratch.Make("qar-latency-bench");
  if (home.empty()) return {};
  uint16_t web = BenchFreePort();
  WriteText(home + "QARHUB.INI", GatewayConfig(sinks, web, false, 100));
  std::string add = "QARSMS_HOME='" + home + "' '" + o.bin + "qaruser' add bench pw >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
  BenchProcess gateway;
  gateway.Start({o.bin + "qargate"}, {"QARSMS_HOME=" + home}, home + "gateway.out");
  if (!BenchWaitForPort(web, 20000)) return {};
  sleep(3);  // bound, and idle
  return SingleMessages(*sinks.all[0], web, count, [](size_t i) {
    return "/?User=bench&Password=pw&PhoneNumber=447700900123&Sender=12345&Text=b" + std::to_string(i);
  });
}

Latency KannelLatency(const Options&, size_t count) {
  std::string bearerbox = Which("bearerbox"), smsbox = Which("smsbox");
  if (bearerbox.empty() || smsbox.empty()) return {};
  Sinks sinks(1, count);
  ScratchFs scratch;
  std::string dir = scratch.Make("kannel-latency-bench");
  uint16_t boxPort = BenchFreePort(), sendsms = BenchFreePort();
  std::string conf = "group = core\nadmin-port = " + std::to_string(BenchFreePort()) +
                     "\nadmin-password = bench\nsmsbox-port = " + std::to_string(boxPort) +
                     "\nbox-allow-ip = 127.0.0.1\nlog-level = 4\nlog-file = \"" + dir + "bearerbox.log\"\n"
                     "store-type = file\nstore-location = \"" + dir + "kannel.store\"\n"
                     "\ngroup = smsc\nsmsc = smpp\nsmsc-id = sink\nhost = 127.0.0.1\nport = " +
                     std::to_string(sinks.all[0]->port) +
                     "\ntransceiver-mode = true\nsmsc-username = gw\nsmsc-password = pw\nsystem-type = VMA\n"
                     "\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(boxPort) +
                     "\nsendsms-port = " + std::to_string(sendsms) + "\nlog-level = 4\nlog-file = \"" + dir +
                     "smsbox.log\"\n\ngroup = sendsms-user\nusername = bench\npassword = bench\nmax-messages = 1\n";
  WriteText(dir + "kannel.conf", conf);
  BenchProcess bb, sb;
  bb.Start({bearerbox, "-v", "4", dir + "kannel.conf"}, {}, dir + "bearerbox.out");
  usleep(1000000);
  sb.Start({smsbox, dir + "kannel.conf"}, {}, dir + "smsbox.out");
  if (!BenchWaitForPort(sendsms, 20000)) return {};
  sleep(3);
  Latency l = SingleMessages(*sinks.all[0], sendsms, count, [](size_t i) {
    return "/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=447700900123&text=b" + std::to_string(i);
  });
  sb.Stop();
  bb.Stop();
  return l;
}

struct Drain {
  double perSecond = 0, coresBusy = 0;
  size_t delivered = 0;
};

// count queue files written while the gateway is down; then it starts with the link.
Drain GatewayDrain(const Options& o, size_t count) {
  Sinks sinks(1, count);
  ScratchFs scratch;
  std::string home = scratch.Make("qar-drain-bench");
  Drain d;
  if (home.empty()) return d;
  uint16_t web = BenchFreePort();
  WriteText(home + "QARHUB.INI", GatewayConfig(sinks, web, false, 100));
  fs::create_directories(home + "Q");
  for (size_t i = 0; i < count; ++i) {
    WriteText(home + "Q/D" + std::to_string(10000000 + i) + ".REQ",
              "[SMS]\r\nPhoneNumber=447700900123\r\nSender=12345\r\nData=b" + std::to_string(i) + "\r\n");
  }
  Sink& sink = *sinks.all[0];
  sink.Reset();
  BenchProcess gateway;
  uint64_t start = BenchNowUs();
  gateway.Start({o.bin + "qargate"}, {"QARSMS_HOME=" + home}, home + "gateway.out");
  double cpu0 = gateway.CpuSeconds();
  uint64_t deadline = start + 600000000ull;
  while (sink.received.load() < count && BenchNowUs() < deadline) usleep(20000);
  double cpu1 = gateway.CpuSeconds();
  uint64_t first = UINT64_MAX, last = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t a = sink.arrival[i].load();
    if (a == 0) continue;
    ++d.delivered;
    first = std::min(first, a);
    last = std::max(last, a);
  }
  if (d.delivered > 1 && last > first) {
    d.perSecond = double(d.delivered) / (double(last - first) / 1e6);
    d.coresBusy = (cpu1 - cpu0) / (double(last - start) / 1e6);
  }
  gateway.Stop();
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<unsigned> numbers;
  for (const std::string& a : args) {
    if (a == "kannel") o.kannel = true;
    else numbers.push_back(unsigned(atoi(a.c_str())));
  }
  if (numbers.size() > 0 && numbers[0] > 0) o.measureSeconds = numbers[0];
  if (numbers.size() > 1) o.settleSeconds = numbers[1];
  o.bin = BinDir();
  PrepareBenchProcess();
  printf("settings: measure %u s after %u s settling, links 0/1/10/50, WindowSize 1 idle and 100 otherwise,"
         " %s\n", o.measureSeconds, o.settleSeconds, o.kannel ? "with Kannel bearerbox -v 4" : "gateway only");
  fflush(stdout);
  const char* only = getenv("QAR_BENCH_ONLY");
  auto part = [only](const char* name) { return !only || strcmp(only, name) == 0; };
  for (size_t links : {0, 1, 10, 50}) {
    if (!part("idle")) break;
    IdleFigure off = GatewayIdle(o, links, false);
    IdleFigure on = GatewayIdle(o, links, true);
    printf("idle %2zu links: gateway %6.3f CPU s/min (Debug=Yes: %6.3f CPU s/min, %9.0f debug bytes/min, %8.0f per link)",
           links, off.cpuPerMinute, on.cpuPerMinute, on.debugBytesPerMinute,
           links ? on.debugBytesPerMinute / double(links) : on.debugBytesPerMinute);
    if (o.kannel) printf("  Kannel bearerbox %6.3f CPU s/min", KannelIdle(o, links));
    printf("\n");
    fflush(stdout);
  }
  if (part("latency")) {
    Latency ours = GatewayLatency(o, 100);
    printf("latency, single messages at 5/s on an idle link: gateway p50 %.2f ms p99 %.2f ms (%zu of 100)\n", ours.p50Ms,
           ours.p99Ms, ours.delivered);
    if (o.kannel) {
      Latency theirs = KannelLatency(o, 100);
      printf("latency, same, Kannel sendsms: p50 %.2f ms p99 %.2f ms (%zu of 100)\n", theirs.p50Ms, theirs.p99Ms,
             theirs.delivered);
    }
    fflush(stdout);
  }
  if (!part("drain")) return 0;
  Drain small = GatewayDrain(o, 10000);
  printf("drain 10000 queued: %.0f/s, gateway busy %.2f cores (%zu delivered)\n", small.perSecond, small.coresBusy,
         small.delivered);
  fflush(stdout);
  Drain large = GatewayDrain(o, 100000);
  printf("drain 100000 queued: %.0f/s, gateway busy %.2f cores (%zu delivered)\n", large.perSecond, large.coresBusy,
         large.delivered);
  if (small.perSecond > 0) printf("drain rate ratio 100000 / 10000: %.2f\n", large.perSecond / small.perSecond);
  return 0;
}
