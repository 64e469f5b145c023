// The load driver shared by the web benchmarks: keep-alive clients on 127.0.0.1, each sending
// one request after the other as soon as the previous answer is whole.
#pragma once

#include <cstdint>
#include <string>

struct LoadFigures {
  size_t answers = 0;
  double seconds = 0;
  double medianMs = 0;
  double p99Ms = 0;
  int errors = 0;
};

// Raises the descriptor limit, makes a temporary data folder (QARSMS_HOME), binds the
// configuration files there and quiets the debug log. Returns the folder ("" on failure).
std::string PrepareBenchHome();
// A listener on 127.0.0.1 served by the web listener thread; 0 on failure.
uint16_t StartBenchListener();
// Runs connections clients for seconds, each repeating request.
LoadFigures RunKeepAliveLoad(uint16_t port, int connections, int seconds, const std::string& request);
// Stops the listener's threads and removes the data folder.
void FinishBench(const std::string& home);
