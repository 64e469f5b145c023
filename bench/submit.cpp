// Submission load: keep-alive clients submitting messages through the web listener as fast
// as it accepts them, with no SMSC connected. Prints accepted messages per second and the
// median and 99th-percentile latency for one-part, two-segment and 100-recipient
// submissions. The durable modes answer only after the files are flushed: "perfile"
// (fdatasync per file, fsync per directory) or "syncfs"; the queue's file system is
// $TMPDIR's.
//
//   submit [connections=64] [seconds=5] [durable=no|perfile|syncfs]
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bench/keepalive_load.h"
#include "config/settings.h"
#include "store/durable_writes.h"
#include "store/queue_dirs.h"
#include "web/submission.h"

namespace {
int RunScenario(const char* label, uint16_t port, int connections, int seconds, const std::string& request,
                unsigned messagesPerRequest) {
  LoadFigures f = RunKeepAliveLoad(port, connections, seconds, request);
  static FlushCounts before;
  FlushCounts now = DurableFlushCounts();
  size_t flushes = now.flushes - before.flushes, files = now.files - before.files;
  before = now;
  printf("%s: %d connections, %.1f s: %zu requests, %.0f messages/s, median %.2f ms, p99 %.2f ms, errors %d, "
         "%zu flushes (%.1f files each)\n",
         label, connections, f.seconds, f.answers, double(f.answers) * messagesPerRequest / f.seconds, f.medianMs,
         f.p99Ms, f.errors, flushes, flushes ? double(files) / double(flushes) : 0.0);
  return f.errors;
}
}  // namespace

int main(int argc, char** argv) {
  int connections = argc > 1 ? atoi(argv[1]) : 64;
  int seconds = argc > 2 ? atoi(argv[2]) : 5;
  std::string durable = argc > 3 ? argv[3] : "no";
  if (durable != "no" && durable != "perfile" && durable != "syncfs") {
    fprintf(stderr, "durable: no, perfile or syncfs\n");
    return 1;
  }
  SetFlushMethod(durable == "syncfs" ? FlushMethod::SyncFs : FlushMethod::PerFile);
  std::string home = PrepareBenchHome();
  if (home.empty()) return 1;
  SettingsBlock settings = Settings;
  settings.MaxQDirEntries = 1000000;
  settings.EnableBulkQ = false;
  settings.DurableAccept = durable != "no";
  InstallSettings(settings);
  ReloadStoreDirectories();
  RegisterSubmissionHandlers();
  uint16_t port = StartBenchListener();
  if (port == 0) return 1;
  printf("queue in %s, durable=%s\n", home.c_str(), durable.c_str());

  std::string request = "GET /?PhoneNumber=447700900123&Text=Hello+world HTTP/1.1\r\nHost: bench\r\n\r\n";
  int errors = RunScenario("one-part", port, connections, seconds, request, 1);
  request = "GET /?PhoneNumber=447700900123&Text=" + std::string(200, 'x') + " HTTP/1.1\r\nHost: bench\r\n\r\n";
  errors += RunScenario("two-segment", port, connections, seconds, request, 2);
  std::string list;
  for (int i = 0; i < 100; ++i) list += (i ? "," : "") + std::to_string(447700900000LL + i);
  request = "GET /?PhoneNumber=" + list + "&Text=Hello HTTP/1.1\r\nHost: bench\r\n\r\n";
  errors += RunScenario("100-recipient", port, connections, seconds, request, 100);
  FinishBench(home);
  return errors == 0 ? 0 : 2;
}
