// A program a benchmark starts (the gateway, a centre, Kannel's boxes): its output to a
// file, its CPU time read from /proc, and its end with the benchmark.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/unique_fd.h"

struct BenchProcess {
  pid_t pid = -1;
  BenchProcess() = default;
  BenchProcess(const BenchProcess&) = delete;
  BenchProcess& operator=(const BenchProcess&) = delete;
  ~BenchProcess() { Stop(); }
  // argv[0] is looked up on PATH; extraEnv ("NAME=value") is added to the environment;
  // standard output and error go to output.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
             const std::string& output = "/dev/null");
  // CPU seconds (user + system) used so far by it and its children; 0 when it does not run.
  double CpuSeconds() const;
  // Per live thread, the seconds it was ready to run but waited for a CPU (schedstat), into
  // waits; a thread that ended keeps its last value there, so sample while it runs.
  void SampleRunQueueWait(std::map<pid_t, double>& waits) const;
  // SIGTERM (to the program a wrapper runs), up to 30 s to leave, then SIGKILL.
  void Stop();
};

// Loopback helpers of the benchmark clients.
uint64_t BenchNowUs();                          // monotonic microseconds
uint16_t BenchFreePort();                       // a loopback port nobody listens on now
UniqueFd BenchConnect(uint16_t port);           // to 127.0.0.1:port, TCP_NODELAY; invalid on failure
bool BenchWaitForPort(uint16_t port, int ms);   // until 127.0.0.1:port accepts
