// The gateway's SMPP server under load, with no SMS centre connected:
// - submit: a load client of ours (one thread, epoll) with 4 sessions of window 100 sends
//   N submit_sm; prints accepted/s, p50/p99 response time and the gateway's CPU µs per
//   message, beside the durable HTTP figure of build/bin/submit in the same run, the time
//   its threads waited for a CPU, and checks that every accepted id has exactly one file;
// - deliver: M files in one account's queue to one receiver of ours, windows 0 and 100.
// - idle: four bound receivers with an empty queue, the gateway's CPU per minute, and how
//   soon a file dropped into the queue arrives.
// The load client is first measured alone against a responder of its own.
// With "kannel", Kannel (bearerbox + smsbox, file store, window 100) at the other end, each
// comparison run back to back runs times: a. its submit rate through 64 keep-alive sendsms
// clients into our server (an account of qaruser) against into smpp_e2e's sink; b. bound as
// transceiver, the rate it takes deliver_sm from our server (messages files in the account's
// queue) against from inbound_e2e's centre pushing them. Every message is checked to arrive
// once: as one queue file (a), in Kannel's access log (b).
//
//   smpp_server [submits=200000] [files=100000] [idle-seconds=60] [kannel [messages=20000] [runs=3]]
//   QAR_BENCH_ONLY=idle, deliver or kannel: that part alone (deliver: for a profiler);
//   kannel-submit: the Kannel comparison's submissions only
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_net.h"
#include "bench/bench_process.h"
#include "bench/sendsms_load.h"
#include "bench/smpp_centre.h"
#include "bench/smpp_sink.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/unique_fd.h"

namespace fs = std::filesystem;

namespace {
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

// Account "bench", password "pw", with the rights in flags.
void AddAccount(const std::string& bin, const std::string& home, const char* flags) {
  std::string add = "QARSMS_HOME='" + home + "' '" + bin + "qaruser' add bench pw " + flags + " >/dev/null 2>&1";
  if (system(add.c_str()) != 0) fprintf(stderr, "qaruser add failed\n");
}

struct Gateway {
  std::string home;
  uint16_t web = BenchFreePort(), smpp = BenchFreePort();
  BenchProcess process;
  bool Start(const std::string& bin, unsigned window) {
    WriteText(home + "QARHUB.INI", "[QARHUB]\r\nWebPort=" + std::to_string(web) + "\r\nSMPPPort=" +
                                       std::to_string(smpp) + "\r\nSMPPServerMaxConnectionsPerUser=8\r\n" +
                                       "SMPPServerAsyncWindowSize=" + std::to_string(window) + "\r\nMaxQDirEntries=1000000\r\n" +
                                       (getenv("QAR_BENCH_DEBUG") ? "Debug=Yes\r\n" : "") +
                                       (getenv("QAR_BENCH_INI") ? std::string(getenv("QAR_BENCH_INI")) + "\r\n" : ""));
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
  AddAccount(bin, g.home, "--smpp --receive");
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
  size_t received = 0, pauses = 0;
  uint64_t longestPause = 0, lastRead = BenchNowUs();
  std::string in;
  char chunk[65536];
  while (received < files) {
    ssize_t n = recv(fd.get(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    // Stretches with nothing from the gateway although files were left.
    uint64_t now = BenchNowUs();
    if (received > 0) {
      longestPause = std::max(longestPause, now - lastRead);
      if (now - lastRead >= 100000) ++pauses;
    }
    lastRead = now;
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
  printf("deliver window %3u: %zu of %zu in %.1f s, %.0f/s, gateway CPU %.1f µs/message, longest pause %.1f ms, "
         "%zu pauses >= 100 ms%s\n",
         window, received, files, seconds, rate, cpu * 1e6 / double(received ? received : 1),
         double(longestPause) / 1000, pauses,
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
  AddAccount(bin, g.home, "--smpp --receive");
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
// ---- Kannel at the other end (bearerbox + smsbox, file store, window 100) ----

bool IsQueueFileName(const char* name) {
  size_t n = strlen(name);
  return n > 4 && strcasecmp(name + n - 4, ".req") == 0;
}

// A queue folder tree watched through inotify while files come and go: each ".req" file
// that arrives is read once and its Data noted in arrivals (when set); each that leaves (sent
// and deleted, or moved away) is counted with the times of the first and the last.
struct QueueWatch {
  UniqueFd fd;
  std::map<int, std::string> folders;  // watch -> folder with its "/"
  std::set<std::string> seen;
  Arrivals* arrivals = nullptr;
  std::atomic<uint64_t> left{0}, firstLeftUs{0}, lastLeftUs{0};
  std::atomic<bool> stop{false};
  std::thread thread;

  bool Start(const std::string& root, Arrivals* into) {
    arrivals = into;
    fd = UniqueFd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd || !Watch(root)) {
      fprintf(stderr, "cannot watch %s\n", root.c_str());
      return false;
    }
    thread = std::thread([this] { Run(); });
    return true;
  }
  void Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  ~QueueWatch() { Stop(); }
  // A folder and the files already in it (written before its watch began).
  bool Watch(const std::string& folder) {
    std::string dir = folder.back() == '/' ? folder : folder + "/";
    int w = inotify_add_watch(fd.get(), dir.c_str(),
                              IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR);
    if (w < 0) return false;
    folders[w] = dir;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      if (e.is_directory()) Watch(e.path().string());
      else if (IsQueueFileName(e.path().filename().c_str())) Arrived(e.path().string());
    }
    return true;
  }
  void Arrived(const std::string& path) {
    if (!arrivals || !seen.insert(path).second) return;
    std::string text = ReadText(path);
    size_t at = text.find("\nData=");
    if (at == std::string::npos) {
      ++arrivals->foreign;
      return;
    }
    size_t end = text.find_first_of("\r\n", at + 6);
    arrivals->Note(text.substr(at + 6, end == std::string::npos ? std::string::npos : end - at - 6));
  }
  void Left() {
    uint64_t now = BenchNowUs(), none = 0;
    firstLeftUs.compare_exchange_strong(none, now);
    lastLeftUs = now;
    ++left;
  }
  void Run() {
    alignas(inotify_event) char buffer[65536];
    while (!stop.load()) {
      pollfd p{fd.get(), POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = read(fd.get(), buffer, sizeof buffer);
      for (ssize_t at = 0; n > 0 && at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        at += ssize_t(sizeof(inotify_event) + e->len);
        auto folder = folders.find(e->wd);
        if (e->len == 0 || folder == folders.end()) continue;
        std::string path = folder->second + e->name;
        if (e->mask & IN_ISDIR) {
          if (e->mask & (IN_CREATE | IN_MOVED_TO)) Watch(path);
        } else if (IsQueueFileName(e->name)) {
          if (e->mask & (IN_CREATE | IN_MOVED_TO)) Arrived(path);
          else Left();
        }
      }
    }
  }
};

struct KannelFigures {
  double perSecond = 0, kannelCpuUs = 0, gatewayCpuUs = 0;
  uint64_t messages = 0, duplicates = 0, missing = 0;
  bool complete = false;
};

// Kannel set up as its users run it, with its smsc connection to port as bench/pw.
KannelSetup KannelFor(const std::string& dir, uint16_t port, const std::string& user) {
  KannelSetup k;
  k.dir = dir;
  k.smscPort = port;
  k.smscUser = user;
  k.smscPassword = "pw";
  k.maxPendingSubmits = 100;
  return k;
}

// a. N messages through Kannel's sendsms (64 keep-alive clients) to whatever listens on port,
// timed until arrivals has them all.
KannelFigures KannelSubmits(Arrivals& arrivals, uint16_t port, const std::string& user, size_t messages,
                            const BenchProcess* gateway) {
  ScratchFs scratch;
  KannelSetup k = KannelFor(scratch.Make("kannel-submit-bench"), port, user);
  k.sendsmsPort = BenchFreePort();
  k.smsboxGroups = "\ngroup = sendsms-user\nusername = bench\npassword = bench\nmax-messages = 1\n";
  KannelBoxes boxes;
  KannelFigures f;
  if (k.dir.size() <= 1 || !StartKannel(k, boxes)) return f;
  if (!BenchWaitForPort(k.sendsmsPort, 20000)) {
    fprintf(stderr, "smsbox did not open its sendsms port; see %s\n", k.dir.c_str());
    return f;
  }
  usleep(1500000);  // the smsc connection binds
  double gatewayBefore = gateway ? gateway->CpuSeconds() : 0;
  LoadResult r = RunLoad(
      arrivals, k.sendsmsPort, messages, 64,
      [](size_t i) {
        return "/cgi-bin/sendsms?username=bench&password=bench&from=12345&to=447700900123&text=b" + std::to_string(i);
      },
      {&boxes.bearerbox, &boxes.smsbox});
  double gatewayCpu = gateway ? gateway->CpuSeconds() - gatewayBefore : 0;
  boxes.smsbox.Stop();
  boxes.bearerbox.Stop();
  f.perSecond = r.deliveredPerSecond;
  f.messages = r.delivered;
  f.duplicates = r.duplicates;
  f.missing = messages - std::min<uint64_t>(messages, r.delivered);
  f.complete = r.complete && r.errors == 0;
  f.kannelCpuUs = r.cpuPer1000 * 1000;
  f.gatewayCpuUs = r.delivered ? gatewayCpu * 1e6 / double(r.delivered) : 0;
  return f;
}

// Kannel's own record of the messages it took: lines "Receive SMS ... [msg:<length>:kw b<index>]"
// of the bearerbox access log, each index expected once.
void CountKannelReceived(const std::string& accessLog, size_t messages, KannelFigures& f) {
  std::vector<unsigned> times(messages, 0);
  std::ifstream log(accessLog);
  for (std::string line; std::getline(log, line);) {
    if (line.find("Receive SMS") == std::string::npos) continue;
    size_t at = line.find("[msg:");
    at = at == std::string::npos ? at : line.find(":kw b", at + 5);
    if (at == std::string::npos) continue;
    size_t index = strtoul(line.c_str() + at + 5, nullptr, 10);
    if (index < messages) ++times[index];
  }
  f.messages = f.duplicates = f.missing = 0;
  for (unsigned t : times) {
    if (t == 0) ++f.missing;
    else ++f.messages;
    if (t > 1) f.duplicates += t - 1;
  }
  f.complete = f.missing == 0 && f.duplicates == 0;
}

// b. Kannel bound as transceiver takes deliver_sm until done() says all were answered; the
// rate is taken between the first and the last answer. smsbox runs a service that sends
// nothing back.
template <typename Done>
KannelFigures KannelTakes(uint16_t port, const std::string& user, size_t messages, const BenchProcess* gateway,
                          const std::function<void()>& begin, Done done) {
  ScratchFs scratch;
  KannelSetup k = KannelFor(scratch.Make("kannel-take-bench"), port, user);
  k.smsboxGroups = "\ngroup = sms-service\nkeyword = default\ntext = \"\"\nomit-empty = true\nmax-messages = 0\n";
  KannelBoxes boxes;
  KannelFigures f;
  // From before Kannel starts: it binds, and our server delivers, at once.
  double gatewayBefore = gateway ? gateway->CpuSeconds() : 0;
  if (k.dir.size() <= 1 || !StartKannel(k, boxes)) return f;
  begin();
  uint64_t answered = 0, first = 0, last = 0, progressAt = BenchNowUs();
  for (uint64_t before = 0; BenchNowUs() - progressAt < 30000000; before = answered) {
    done(answered, first, last);
    if (answered >= messages) break;
    if (answered != before) progressAt = BenchNowUs();
    usleep(20000);
  }
  double kannelCpu = boxes.bearerbox.CpuSeconds() + boxes.smsbox.CpuSeconds();
  double gatewayCpu = gateway ? gateway->CpuSeconds() - gatewayBefore : 0;
  if (answered < messages) fprintf(stderr, "only %llu of %zu answered\n", (unsigned long long)answered, messages);
  f.perSecond = answered > 1 && last > first ? double(answered - 1) / (double(last - first) / 1e6) : 0;
  f.kannelCpuUs = answered ? kannelCpu * 1e6 / double(answered) : 0;
  f.gatewayCpuUs = answered ? gatewayCpu * 1e6 / double(answered) : 0;
  // Its access log is written as the boxes go: give it the time to catch up.
  for (int i = 0; i < 100; ++i) {
    CountKannelReceived(k.dir + "bearerbox-access.log", messages, f);
    if (f.missing == 0) break;
    usleep(100000);
  }
  boxes.smsbox.Stop();
  boxes.bearerbox.Stop();
  CountKannelReceived(k.dir + "bearerbox-access.log", messages, f);
  return f;
}

void PrintKannel(const char* label, const KannelFigures& f) {
  printf("  %-44s %7.0f/s  Kannel CPU %6.1f µs/msg", label, f.perSecond, f.kannelCpuUs);
  if (f.gatewayCpuUs > 0) printf("  gateway CPU %6.1f µs/msg", f.gatewayCpuUs);
  printf("  (%llu arrived once, %llu twice or more, %llu missing%s)\n", (unsigned long long)f.messages,
         (unsigned long long)f.duplicates, (unsigned long long)f.missing, f.complete ? "" : ", INCOMPLETE");
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Kannel submitting into the sink and into our server, then taking deliver_sm from the
// centre and from our server, each pair run back to back runs times; medians and ratios.
// The gateway Kannel talks to: a data folder on a fresh scratch file system with the account
// "bench" (SMPP, receiving) and the queue folder (relative to the data folder) Kannel fills or
// empties; returns that folder.
std::string KannelPeerHome(const std::string& bin, ScratchFs& scratch, Gateway& g, const std::string& queue) {
  g.home = scratch.Make("qar-smppserver-kannel");
  fs::create_directories(g.home + queue);
  AddAccount(bin, g.home, "--smpp --receive");
  return g.home + queue;
}

// Starts it with the window Kannel's comparisons use; false (said) when its SMPP port did not open.
bool StartKannelPeer(const std::string& bin, Gateway& g) {
  if (g.Start(bin, 100)) return true;
  fprintf(stderr, "the gateway did not open its SMPP port; see %sgateway.out\n", g.home.c_str());
  return false;
}

// The gateway's settings beyond the defaults, for the heading: DurableAccept is Yes unless
// QAR_BENCH_INI says otherwise.
std::string BenchIniNote() {
  const char* ini = getenv("QAR_BENCH_INI");
  std::string extra = ini ? ini : "";
  std::string note = extra.find("DurableAccept=") == std::string::npos ? ", DurableAccept Yes" : "";
  if (!extra.empty()) note += ", " + extra;
  return note;
}

bool RunKannelComparisons(const std::string& bin, size_t messages, unsigned runs, bool submitsOnly) {
  printf("Kannel (bearerbox + smsbox -v 4, log-level 1 with access logs, file store, max-pending-submits 100), "
         "%zu messages, %u runs of each, alternately; gateway SMPPServerAsyncWindowSize 100%s\n",
         messages, runs, BenchIniNote().c_str());
  bool complete = true;
  std::vector<double> intoSink, intoUs, fromCentre, fromUs;
  printf("a. Kannel submits (64 keep-alive sendsms clients), timed until every message arrived:\n");
  for (unsigned run = 0; run < runs; ++run) {
    {
      Sink sink(messages);
      if (!sink.Start()) return false;
      KannelFigures f = KannelSubmits(sink, sink.port, "gw", messages, nullptr);
      sink.Stop();
      PrintKannel("into the sink (smpp_e2e's)", f);
      intoSink.push_back(f.perSecond);
      complete &= f.complete;
    }
    {
      ScratchFs scratch;
      Gateway g;
      std::string queue = KannelPeerHome(bin, scratch, g, "Q/");
      Arrivals arrivals(messages);
      QueueWatch watch;
      KannelFigures f;
      bool started = StartKannelPeer(bin, g) && watch.Start(queue, &arrivals);
      if (started) f = KannelSubmits(arrivals, g.smpp, "bench", messages, &g.process);
      g.process.Stop();
      watch.Stop();
      size_t files = CountFiles(queue, ".req");
      if (files != messages) {
        printf("  %zu files queued for %zu messages\n", files, messages);
        f.complete = false;
      }
      PrintKannel("into our SMPP server (a file each)", f);
      intoUs.push_back(f.perSecond);
      complete &= f.complete;
    }
  }
  printf("a. Kannel's submit rate into us / into the sink: %.0f / %.0f = %.2f (medians; target >= 0.70)\n",
         Median(intoUs), Median(intoSink), Median(intoSink) > 0 ? Median(intoUs) / Median(intoSink) : 0);
  if (submitsOnly) return complete;

  printf("b. Kannel bound as transceiver takes deliver_sm (an sms-service that sends nothing back), rate between its "
         "first and last answer:\n");
  for (unsigned run = 0; run < runs; ++run) {
    {
      Timings timings(messages);
      Centre centre(timings);
      centre.window = 100;
      if (!centre.Start()) return false;
      KannelFigures f = KannelTakes(
          centre.port, "gw", messages, nullptr,
          [&] {
            for (int waited = 0; !centre.bound.load() && waited < 200; ++waited) usleep(100000);
            centre.Begin(messages);
          },
          [&](uint64_t& answered, uint64_t& first, uint64_t& last) {
            answered = centre.answered.load();
            first = centre.firstAnswerUs.load();
            last = centre.lastAnswerUs.load();
          });
      centre.push = false;
      centre.Stop();
      PrintKannel("from the centre pushing (inbound_e2e's)", f);
      fromCentre.push_back(f.perSecond);
      complete &= f.complete;
    }
    {
      ScratchFs scratch;
      Gateway g;
      std::string queue = KannelPeerHome(bin, scratch, g, "USERS/bench/Q/");
      for (size_t i = 0; i < messages; ++i)
        WriteText(queue + "m" + std::to_string(i) + ".req",
                  "[SMS-IN]\r\nPhoneNumber=12345\r\nSender=447700900111\r\nData=kw b" + std::to_string(i) + "\r\n");
      QueueWatch watch;
      KannelFigures f;
      if (StartKannelPeer(bin, g) && watch.Start(queue, nullptr)) {
        f = KannelTakes(
            g.smpp, "bench", messages, &g.process, [] {},
            [&](uint64_t& answered, uint64_t& first, uint64_t& last) {
              answered = watch.left.load();
              first = watch.firstLeftUs.load();
              last = watch.lastLeftUs.load();
            });
      }
      g.process.Stop();
      watch.Stop();
      size_t kept = CountFiles(queue, ".req");
      if (kept != 0) {
        printf("  %zu files still queued\n", kept);
        f.complete = false;
      }
      PrintKannel("from our SMPP server (a file each)", f);
      fromUs.push_back(f.perSecond);
      complete &= f.complete;
    }
  }
  printf("b. Kannel's deliver_sm rate from us / from the centre: %.0f / %.0f = %.2f (medians; target >= 0.70)\n",
         Median(fromUs), Median(fromCentre), Median(fromCentre) > 0 ? Median(fromUs) / Median(fromCentre) : 0);
  return complete;
}
}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
  PrepareBenchProcess();
  // Numbers first; "kannel" [messages] [runs] adds the comparisons with Kannel at the other end.
  std::vector<std::string> numbers;
  size_t kannelMessages = 0;
  unsigned kannelRuns = 3;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "kannel") != 0) {
      numbers.push_back(argv[i]);
      continue;
    }
    kannelMessages = i + 1 < argc ? size_t(atol(argv[i + 1])) : 20000;
    if (i + 2 < argc) kannelRuns = unsigned(atol(argv[i + 2]));
    break;
  }
  auto number = [&](size_t at, size_t otherwise) { return at < numbers.size() ? size_t(atol(numbers[at].c_str())) : otherwise; };
  size_t submits = number(0, 200000);
  size_t files = number(1, 100000);
  unsigned idleSeconds = unsigned(number(2, 60));
  std::string bin = BinDir();
  std::string base = fs::temp_directory_path().string() + "/qar-smppserver-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return 1;
  base += "/";

  const char* only = getenv("QAR_BENCH_ONLY");
  if (only && strcmp(only, "idle") == 0) {
    RunIdle(bin, base, idleSeconds);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
  }
  if (only && strcmp(only, "deliver") == 0) {
    for (unsigned window : {0u, 100u}) RunDeliver(bin, base, files, window, 0);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
  }
  if (only && (strcmp(only, "kannel") == 0 || strcmp(only, "kannel-submit") == 0)) {
    std::error_code ec;
    fs::remove_all(base, ec);
    return RunKannelComparisons(bin, kannelMessages ? kannelMessages : 20000, kannelRuns,
                                strcmp(only, "kannel-submit") == 0)
               ? 0
               : 2;
  }
  printf("load client alone: %.0f submit_sm/s\n", LoadClientAlone(std::min<size_t>(submits, 200000)));

  Gateway g;
  g.home = base + "submit/";
  fs::create_directories(g.home);
  AddAccount(bin, g.home, "--smpp");
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
  bool complete = kannelMessages == 0 || RunKannelComparisons(bin, kannelMessages, kannelRuns, false);
  std::error_code ec;
  if (!getenv("QAR_BENCH_DEBUG")) fs::remove_all(base, ec);
  else printf("kept %s\n", base.c_str());
  return complete ? 0 : 2;
}
