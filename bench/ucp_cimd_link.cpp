// The gateway's UCP and CIMD2 links end to end: N messages are queued while the centre is
// down (the gateway started and failing to connect); then the centre starts. Timed from
// the first to the last accepted submit (its "OK" line in the outbound log), with the
// gateway's and the centre's CPU time per 1,000 messages.
// The gateway's outbound log and Kannel's status page are both read every 20 ms; the rate
// counts what was accepted between the first and the last look that saw progress.
// Centres: "sim" the UCP simulator (../shared/peers/ucp-smsc-sim), "sink" bench/ucp_sink
// (a minimal UCP centre), "cimd" Debian's test_cimd2. Loopback only; every process it
// starts is stopped by it. Each run counts what was sent: none lost or sent twice.
//
//   ucp_cimd_link [messages=20000] [runs=3] [centres=sim,sink,cimd,idle[,kannel]]
// "kannel": each run of a centre is followed by one of Kannel (bearerbox and smsbox from
// Debian's kannel, file store; EMI with window 1, CIMD2) queued through sendsms first.
// "idle": the gateway's CPU over 30 s of an idle UCP link with a connection held on its
// inbound port.
// QAR_BENCH_GATEWAY=path: another build of qargate (its libraries beside it), run right after
// this one for each run of a centre, to compare two builds in the same conditions.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_process.h"
#include "runtime/unique_fd.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}



std::string ProgramDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  path[n > 0 ? n : 0] = 0;
  return fs::path(path).parent_path().string() + "/";
}

std::string PeersDir() {
  if (const char* d = getenv("QAR_PEERS_DIR")) return std::string(d) + "/";
  fs::path p = fs::path(QAR_SOURCE_DIR).parent_path() / "shared" / "peers";
  return fs::exists(p) ? p.string() + "/" : "/work/shared/peers/";
}

struct Centre {
  std::string name;  // sim, sink, cimd
  const char* kind;  // UCP, CIMD
  std::string user, password;
};

struct RunResult {
  bool ok = false;
  double seconds = 0, gatewayCpu = 0, centreCpu = 0;
  size_t sent = 0, okLines = 0;
  size_t timed = 0;  // accepted between the first and the last look (the rate's count)
  double Rate() const { return seconds > 0 ? double(timed) / seconds : 0; }
  double PerThousand(double cpu) const { return timed ? cpu * 1e6 / double(timed) : 0; }
  std::string note;
};

// The "OK" lines of the gateway's outbound logs, read as they grow: the queue file of
// each (a name twice would be a message sent twice).
struct OkLines {
  std::string dir, needle;
  std::map<std::string, uint64_t> offsets;
  std::map<std::string, std::string> partial;
  std::set<std::string> names;
  size_t lines = 0;
  OkLines(std::string d, std::string n) : dir(std::move(d)), needle(std::move(n)) {}
  void Read() {
    std::error_code ec;
    if (!fs::exists(dir, ec)) return;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
      std::string path = e.path().string();
      if (e.path().filename().string().rfind("SMSOUT", 0) != 0) continue;
      UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!fd) continue;
      uint64_t& at = offsets[path];
      std::string& rest = partial[path];
      char buffer[1 << 16];
      for (ssize_t n; (n = pread(fd.get(), buffer, sizeof buffer, off_t(at))) > 0;) {
        at += uint64_t(n);
        rest.append(buffer, size_t(n));
      }
      size_t from = 0;
      for (size_t nl; (nl = rest.find('\n', from)) != std::string::npos; from = nl + 1) {
        std::string_view line(rest.data() + from, nl - from);
        if (line.find(needle) == std::string_view::npos) continue;
        ++lines;
        size_t a = line.find(','), b = a == std::string_view::npos ? a : line.find(',', a + 1);
        if (b != std::string_view::npos) names.emplace(line.substr(a + 1, b - a - 1));
      }
      rest.erase(0, from);
    }
  }
};

constexpr useconds_t kPollUs = 20000;

RunResult RunOnce(const Centre& c, size_t messages, const std::string& program) {
  RunResult r;
  char templ[] = "/tmp/ucp_cimd_link.XXXXXX";
  if (!mkdtemp(templ)) return r;
  std::string home = std::string(templ) + "/";
  uint16_t port = BenchFreePort(), web = BenchFreePort();
  std::string connection = std::string(c.kind) + " - 127.0.0.1:" + std::to_string(port);
  WriteAll(home + "QARHUB.INI", "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nModem1=" + connection +
                                    "\r\nInitRetryDelay=1\r\nInitRetryDelayMax=1\r\nReceiveSMS=No\r\n"
                                    "EnableReceiptProcessing=No\r\n[" + connection + "]\r\nUserName=" + c.user +
                                    "\r\nPassword=" + c.password + "\r\n");
  fs::create_directories(home + "Q");
  for (size_t i = 0; i < messages; ++i) {
    char name[32];
    snprintf(name, sizeof name, "%08zX.req", i + 1);
    WriteAll(home + "Q/" + name, "[SMS]\r\nData=b" + std::to_string(i) + "\r\nPhoneNumber=49170" +
                                     std::to_string(1000000 + i) + "\r\n");
  }
  BenchProcess gateway, centre;
  if (!gateway.Start({program}, {"QARSMS_HOME=" + home})) return r;
  // The centre is down: the gateway has tried and failed before it comes.
  std::string errorFile = home + "PRIVATE/" + std::string(c.kind) + " - 127.0.0.1-" + std::to_string(port) + ".ERR";
  for (int i = 0; i < 300 && !fs::exists(errorFile); ++i) usleep(100000);
  std::string portText = std::to_string(port);
  bool started = false;
  if (c.name == "sim") {
    started = centre.Start({"python3", PeersDir() + "ucp-smsc-sim", "--listen", "127.0.0.1:" + portText, "--control",
                            "127.0.0.1:0", "--login", c.user + ":" + c.password, "--set", "auto_dn=false", "--set",
                            "mt3_charset=gsm", "--lifetime", "900"});
  } else if (c.name == "sink") {
    started = centre.Start({ProgramDir() + "ucp_sink", portText});
  } else {
    started = centre.Start({"/usr/lib/kannel/test/test_cimd2", "--activity", "1", "--user", c.user, "--password",
                            c.password, "--port", portText});
  }
  if (!started) {
    r.note = "centre did not start";
    return r;
  }
  // The outbound log is read every 20 ms (as Kannel's status page is): a watch on the queue
  // would wake this process, at the gateway's cost, for every file it deletes.
  OkLines ok(home + "LOGS", "OK -- " + connection);
  size_t atFirst = 0;
  uint64_t first = 0, last = 0, deadline = BenchNowUs() + 600ull * 1000000;
  double gatewayCpuStart = 0, centreCpuStart = 0;
  while (ok.names.size() < messages && BenchNowUs() < deadline) {
    usleep(kPollUs);
    size_t before = ok.names.size();
    ok.Read();
    if (ok.names.size() == before) continue;
    last = BenchNowUs();
    if (first == 0) {
      first = last;
      atFirst = ok.names.size();
      gatewayCpuStart = gateway.CpuSeconds();
      centreCpuStart = centre.CpuSeconds();
    }
  }
  r.gatewayCpu = gateway.CpuSeconds() - gatewayCpuStart;
  r.centreCpu = centre.CpuSeconds() - centreCpuStart;
  r.seconds = double(last - first) / 1e6;
  r.timed = ok.names.size() - atFirst;
  gateway.Stop();
  centre.Stop();
  ok.Read();
  size_t left = 0;
  for (const auto& e : fs::directory_iterator(home + "Q")) left += e.path().extension() == ".req";
  r.sent = ok.names.size();
  r.okLines = ok.lines;
  r.ok = r.sent == messages && r.okLines == messages && left == 0;
  if (r.okLines != messages) r.note += " OK lines " + std::to_string(r.okLines);
  if (left != 0) r.note += " files left " + std::to_string(left);
  fs::remove_all(home);
  return r;
}

// ---- Kannel (Debian's bearerbox and smsbox) with the same centres, for comparison. ----

std::string HttpGet(uint16_t port, const std::string& target) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "";
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return "";
  std::string answer;
  char buffer[8192];
  for (ssize_t n; (n = recv(s.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, size_t(n));
  return answer;
}

// The "sent" count of bearerbox's SMS status line; -1 when it cannot be read.
long KannelSent(uint16_t admin) {
  std::string status = HttpGet(admin, "/cgi-bin/status.txt?password=bench");
  size_t line = status.find("SMS: received");
  if (line == std::string::npos) return -1;
  size_t sent = status.find("sent ", line);
  return sent == std::string::npos ? -1 : strtol(status.c_str() + sent + 5, nullptr, 10);
}

RunResult RunKannel(const Centre& c, size_t messages) {
  RunResult r;
  if (!fs::exists("/usr/sbin/bearerbox") || !fs::exists("/usr/sbin/smsbox")) {
    r.note = "Kannel not installed";
    return r;
  }
  char templ[] = "/tmp/ucp_cimd_link.XXXXXX";
  if (!mkdtemp(templ)) return r;
  std::string dir = std::string(templ) + "/";
  uint16_t port = BenchFreePort(), admin = BenchFreePort(), box = BenchFreePort(), sendsms = BenchFreePort();
  std::string smsc = c.name == "cimd" ? "smsc = cimd2\n" : "smsc = emi\nwindow = 1\n";
  WriteAll(dir + "kannel.conf",
           "group = core\nadmin-port = " + std::to_string(admin) + "\nadmin-password = bench\nsmsbox-port = " +
               std::to_string(box) + "\nbox-allow-ip = 127.0.0.1\nlog-level = 4\nlog-file = \"" + dir +
               "bearerbox.log\"\nstore-type = file\nstore-location = \"" + dir + "kannel.store\"\n"
               "\ngroup = smsc\n" + smsc + "smsc-id = centre\nhost = 127.0.0.1\nport = " + std::to_string(port) +
               "\nsmsc-username = " + c.user + "\nsmsc-password = " + c.password + "\nreconnect-delay = 1\n"
               "\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(box) +
               "\nsendsms-port = " + std::to_string(sendsms) + "\nlog-level = 4\nlog-file = \"" + dir +
               "smsbox.log\"\n\ngroup = sendsms-user\nusername = bench\npassword = bench\nmax-messages = 1\n");
  BenchProcess bearerbox, smsbox, centre;
  bearerbox.Start({"/usr/sbin/bearerbox", dir + "kannel.conf"});
  usleep(1000000);
  smsbox.Start({"/usr/sbin/smsbox", dir + "kannel.conf"});
  for (int i = 0; i < 200 && HttpGet(sendsms, "/").empty(); ++i) usleep(100000);
  // Queued through sendsms while the centre is down.
  std::atomic<size_t> next{0}, refused{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&] {
      for (size_t i; (i = next++) < messages;) {
        std::string answer = HttpGet(sendsms, "/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=49170" +
                                                  std::to_string(1000000 + i) + "&text=b" + std::to_string(i));
        if (answer.find("Accepted") == std::string::npos) ++refused;
      }
    });
  }
  for (auto& t : clients) t.join();
  if (refused != 0) r.note = std::to_string(refused.load()) + " refused by sendsms";
  std::string portText = std::to_string(port);
  if (c.name == "sim") {
    centre.Start({"python3", PeersDir() + "ucp-smsc-sim", "--listen", "127.0.0.1:" + portText, "--control",
                  "127.0.0.1:0", "--login", c.user + ":" + c.password, "--set", "auto_dn=false", "--set",
                  "mt3_charset=gsm", "--lifetime", "900"});
  } else if (c.name == "sink") {
    centre.Start({ProgramDir() + "ucp_sink", portText});
  } else {
    centre.Start({"/usr/lib/kannel/test/test_cimd2", "--activity", "1", "--user", c.user, "--password", c.password,
                  "--port", portText});
  }
  uint64_t first = 0, last = 0, deadline = BenchNowUs() + 600ull * 1000000;
  double cpuStart = 0, centreStart = 0;
  long sent = 0, atFirst = 0;
  while (sent < long(messages) && BenchNowUs() < deadline) {
    usleep(kPollUs);
    long now = KannelSent(admin);
    if (now > sent) {
      last = BenchNowUs();
      if (first == 0) {
        first = last;
        atFirst = now;
        cpuStart = bearerbox.CpuSeconds();
        centreStart = centre.CpuSeconds();
      }
      sent = now;
    }
  }
  r.gatewayCpu = bearerbox.CpuSeconds() - cpuStart;
  r.centreCpu = centre.CpuSeconds() - centreStart;
  // Timed from the first look that saw a submit to the last: what was sent between them.
  r.seconds = double(last - first) / 1e6;
  r.sent = size_t(std::max(sent, 0L));
  r.timed = size_t(std::max(sent - atFirst, 0L));
  r.okLines = r.sent;
  r.ok = r.sent == messages;
  smsbox.Stop();
  bearerbox.Stop();
  centre.Stop();
  fs::remove_all(dir);
  return r;
}

// An idle UCP link (to ucp_sink, an alert every 5 s) with a centre's connection held open on
// the inbound port:
// the gateway's CPU seconds per minute.
double IdleCpuPerMinute(int seconds) {
  char templ[] = "/tmp/ucp_cimd_link.XXXXXX";
  if (!mkdtemp(templ)) return -1;
  std::string home = std::string(templ) + "/";
  uint16_t port = BenchFreePort(), web = BenchFreePort(), inbound = BenchFreePort();
  std::string connection = "UCP - 127.0.0.1:" + std::to_string(port);
  WriteAll(home + "QARHUB.INI", "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nModem1=" + connection +
                                    "\r\nReceiveSMS=No\r\n[" + connection + "]\r\nKeepAlive=5\r\nReceive=Yes\r\nReceivePort=" +
                                    std::to_string(inbound) + "\r\n");
  BenchProcess centre, gateway;
  centre.Start({ProgramDir() + "ucp_sink", std::to_string(port)});
  gateway.Start({ProgramDir() + "qargate"}, {"QARSMS_HOME=" + home});
  UniqueFd held;
  for (int i = 0; i < 200 && !held; ++i) {
    usleep(100000);
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(inbound);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) held = std::move(s);
  }
  sleep(3);  // start-up done, the session up
  double start = gateway.CpuSeconds();
  sleep(unsigned(seconds));
  double used = gateway.CpuSeconds() - start;
  gateway.Stop();
  centre.Stop();
  fs::remove_all(home);
  return held ? used * 60.0 / seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  size_t messages = argc > 1 ? strtoul(argv[1], nullptr, 10) : 20000;
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  std::string wanted = argc > 3 ? argv[3] : "sim,sink,cimd,idle";
  std::vector<Centre> centres;
  for (const Centre& c : {Centre{"sim", "UCP", "gw", "secret"}, Centre{"sink", "UCP", "gw", "secret"},
                          Centre{"cimd", "CIMD", "U", "P"}}) {
    if (("," + wanted + ",").find("," + c.name + ",") != std::string::npos) centres.push_back(c);
  }
  bool kannel = ("," + wanted + ",").find(",kannel,") != std::string::npos;
  std::vector<std::vector<RunResult>> results(centres.size()), kannelResults(centres.size()),
      otherResults(centres.size());
  const char* otherEnv = getenv("QAR_BENCH_GATEWAY");
  std::string other = otherEnv ? otherEnv : "";
  // Alternating, so that a change in the machine's load touches every centre alike.
  for (int run = 0; run < runs; ++run) {
    for (size_t i = 0; i < centres.size(); ++i) {
      RunResult r = RunOnce(centres[i], messages, ProgramDir() + "qargate");
      printf("%-4s run %d: %zu sent in %.2f s: %.0f messages/s; gateway CPU %.0f ms per 1,000, centre %.0f ms per "
             "1,000%s%s\n",
             centres[i].name.c_str(), run + 1, r.sent, r.seconds, r.Rate(),
             r.PerThousand(r.gatewayCpu), r.PerThousand(r.centreCpu),
             r.ok ? "" : "  NOT ALL SENT ONCE:", r.note.c_str());
      fflush(stdout);
      results[i].push_back(r);
      if (!other.empty()) {
        RunResult o = RunOnce(centres[i], messages, other);
        printf("%-4s run %d, other build: %zu sent in %.2f s: %.0f messages/s; gateway CPU %.0f ms per 1,000%s%s\n",
               centres[i].name.c_str(), run + 1, o.sent, o.seconds, o.Rate(), o.PerThousand(o.gatewayCpu),
               o.ok ? "" : "  NOT ALL SENT ONCE:", o.note.c_str());
        fflush(stdout);
        otherResults[i].push_back(o);
      }
      if (!kannel) continue;
      RunResult k = RunKannel(centres[i], messages);
      printf("%-4s run %d, Kannel: %zu sent in %.2f s: %.0f messages/s; bearerbox CPU %.0f ms per 1,000%s%s\n",
             centres[i].name.c_str(), run + 1, k.sent, k.seconds, k.Rate(),
             k.PerThousand(k.gatewayCpu), k.ok ? "" : "  NOT ALL SENT:", k.note.c_str());
      fflush(stdout);
      kannelResults[i].push_back(k);
    }
  }
  for (size_t i = 0; i < centres.size(); ++i) {
    std::vector<RunResult>& rs = results[i];
    std::sort(rs.begin(), rs.end(), [](const RunResult& a, const RunResult& b) {
      return a.Rate() < b.Rate();
    });
    const RunResult& m = rs[rs.size() / 2];
    printf("%s %s median of %zu: %.0f messages/s, gateway CPU %.0f ms per 1,000 messages\n", centres[i].kind,
           centres[i].name.c_str(), rs.size(), m.Rate(),
           m.PerThousand(m.gatewayCpu));
    std::vector<RunResult>& os = otherResults[i];
    if (!os.empty()) {
      std::sort(os.begin(), os.end(), [](const RunResult& a, const RunResult& b) { return a.Rate() < b.Rate(); });
      const RunResult& o = os[os.size() / 2];
      printf("%s %s median of %zu, other build: %.0f messages/s, gateway CPU %.0f ms per 1,000 messages\n",
             centres[i].kind, centres[i].name.c_str(), os.size(), o.Rate(), o.PerThousand(o.gatewayCpu));
    }
    std::vector<RunResult>& ks = kannelResults[i];
    if (ks.empty()) continue;
    std::sort(ks.begin(), ks.end(), [](const RunResult& a, const RunResult& b) {
      return a.Rate() < b.Rate();
    });
    const RunResult& k = ks[ks.size() / 2];
    printf("%s %s median of %zu, Kannel: %.0f messages/s, bearerbox CPU %.0f ms per 1,000 messages\n",
           centres[i].kind, centres[i].name.c_str(), ks.size(), k.Rate(),
           k.PerThousand(k.gatewayCpu));
  }
  if (("," + wanted + ",").find(",idle,") != std::string::npos) {
    printf("idle UCP link with an inbound connection held: %.3f CPU s per minute\n", IdleCpuPerMinute(30));
  }
  return 0;
}
