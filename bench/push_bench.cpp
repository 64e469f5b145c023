// Push load: keep-alive clients through the web listener, with no SMSC connected, in one
// run: (a) SI pushes from WAPURL, (b) PAP requests with one SL for one number, (c) the plain
// text submission. Prints requests per second, the median and 99th-percentile latency, the
// CPU seconds per 1,000 requests, and whether every accepted request left its file.
//
//   push_bench [connections=32] [seconds=20]
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include "bench/keepalive_load.h"
#include "config/settings.h"
#include "store/queue_dirs.h"
#include "web/submission.h"

namespace {
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

size_t QueuedFiles(const std::string& home) {
  size_t n = 0;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(home + "Q", ec))
    if (e.is_regular_file() && e.path().extension() == ".req") ++n;
  return n;
}

struct Mode {
  const char* label;
  std::string request;
};

double Run(const Mode& m, const std::string& home, uint16_t port, int connections, int seconds, int& errors) {
  size_t before = QueuedFiles(home);
  double cpu = CpuSeconds();
  LoadFigures f = RunKeepAliveLoad(port, connections, seconds, m.request);
  // The clients run in this process too: the figure is an upper bound of the gateway's share.
  double cpuPer1000 = f.answers ? (CpuSeconds() - cpu) * 1000.0 / double(f.answers) : 0;
  size_t files = QueuedFiles(home) - before;
  double rate = double(f.answers) / f.seconds;
  printf("%s: %d connections, %.1f s: %zu requests, %.0f requests/s, p50 %.2f ms, p99 %.2f ms, "
         "CPU %.3f s per 1,000 requests, files %zu%s, errors %d\n",
         m.label, connections, f.seconds, f.answers, rate, f.medianMs, f.p99Ms, cpuPer1000, files,
         files >= f.answers ? " (at least one per accepted request)" : " (MISSING FILES)", f.errors);
  errors += f.errors + (files >= f.answers ? 0 : 1);
  return rate;
}
}  // namespace

int main(int argc, char** argv) {
  int connections = argc > 1 ? atoi(argv[1]) : 32;
  int seconds = argc > 2 ? atoi(argv[2]) : 20;
  std::string home = PrepareBenchHome();
  if (home.empty()) return 1;
  SettingsBlock settings = Settings;
  settings.MaxQDirEntries = 1000000;
  settings.EnableBulkQ = false;
  InstallSettings(settings);
  ReloadStoreDirectories();
  RegisterSubmissionHandlers();
  uint16_t port = StartBenchListener();
  if (port == 0) return 1;

  std::string pap =
      "--B1\r\nContent-Type: application/xml\r\n\r\n<?xml version=\"1.0\"?>\r\n<pap><push-message push-id=\"b1\">"
      "<address address-value=\"WAPPUSH=447700900123/TYPE=PLMN@ppg.example.com\"/></push-message></pap>\r\n--B1\r\n"
      "Content-Type: text/vnd.wap.sl\r\n\r\n<sl href=\"http://www.example.com/a\"/>\r\n--B1--\r\n";
  const Mode modes[] = {
      {"(a) WAPURL SI", "GET /?PhoneNumber=447700900123&WAPURL=www.example.com/news&Text=Hello HTTP/1.1\r\n"
                        "Host: bench\r\n\r\n"},
      {"(b) PAP SL", "POST /PAP HTTP/1.1\r\nHost: bench\r\nContent-Type: multipart/related; boundary=B1\r\n"
                     "Content-Length: " + std::to_string(pap.size()) + "\r\n\r\n" + pap},
      {"(c) text", "GET /?PhoneNumber=447700900123&Text=Hello+world HTTP/1.1\r\nHost: bench\r\n\r\n"},
  };
  int errors = 0;
  double si = Run(modes[0], home, port, connections, seconds, errors);
  double papRate = Run(modes[1], home, port, connections, seconds, errors);
  double text = Run(modes[2], home, port, connections, seconds, errors);
  if (text > 0)
    printf("(a) is %.0f %% and (b) %.0f %% of (c); target at least 60 %% each\n", 100 * si / text, 100 * papRate / text);
  FinishBench(home);
  return errors == 0 ? 0 : 2;
}
