// Keep-alive load on the web listener: many clients, each sending small requests one after
// another to a handler that answers at once. Prints requests per second and the median and
// 99th-percentile latency.
//
//   http_accept [connections=1000] [seconds=10]
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bench/keepalive_load.h"
#include "web/responses.h"
#include "web/web_server.h"

int main(int argc, char** argv) {
  int connections = argc > 1 ? atoi(argv[1]) : 1000;
  int seconds = argc > 2 ? atoi(argv[2]) : 10;
  std::string home = PrepareBenchHome();
  if (home.empty()) return 1;
  RegisterWebHandler(WebRoute::PushAccess, [](WebConnection& c, WebRequest&) {
    SendResponse(c, "200 OK", "Content-type: text/plain\r\n", "ok");
    return true;
  });
  uint16_t port = StartBenchListener();
  if (port == 0) return 1;

  LoadFigures f = RunKeepAliveLoad(port, connections, seconds, "GET /PAP/bench HTTP/1.1\r\nHost: bench\r\n\r\n");
  printf("connections %d, %.1f s: %zu requests, %.0f requests/s, median %.2f ms, p99 %.2f ms, errors %d\n",
         connections, f.seconds, f.answers, double(f.answers) / f.seconds, f.medianMs, f.p99Ms, f.errors);
  FinishBench(home);
  return f.errors == 0 ? 0 : 2;
}
