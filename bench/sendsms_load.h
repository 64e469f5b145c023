// What the benchmarks that submit over HTTP and count where the messages arrive share: the
// record of arrivals of messages "b<index>", the keep-alive HTTP load (the gateway's or
// Kannel's sendsms), system calls counted by perf stat, and Kannel's two boxes started on a
// configuration of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_process.h"

// Where message "b<index>" arrived and when (0 = not yet); a second arrival is a duplicate,
// a text not of that form foreign.
struct Arrivals {
  std::vector<std::atomic<uint64_t>> arrival;
  std::atomic<uint64_t> received{0}, duplicates{0}, foreign{0};
  explicit Arrivals(size_t capacity) : arrival(capacity) {}
  void Reset();
  void Note(const std::string& text);  // a message's text
};

struct LoadResult {
  double acceptedPerSecond = 0, deliveredPerSecond = 0, p50Ms = 0, p99Ms = 0, cpuPer1000 = 0;
  double answerP50Ms = 0, answerP99Ms = 0;  // HTTP request to its answer
  double syscallsPerMessage = 0;            // 0: not counted
  uint64_t accepted = 0, delivered = 0, duplicates = 0, errors = 0;
  bool complete = false;
};

// messages requests over clients keep-alive connections to httpPort; pathFor(index) is the
// request target of message "b<index>". Timed until arrivals has every accepted message;
// rate (messages/s, 0: as fast as answered) paces the requests. cpu: the programs whose CPU
// time is counted.
LoadResult RunLoad(Arrivals& arrivals, uint16_t httpPort, size_t messages, int clients,
                   const std::function<std::string(size_t)>& pathFor, const std::vector<const BenchProcess*>& cpu,
                   double rate = 0);

// System calls are counted by running a program under perf stat (its threads and children
// inherit the counter) when perf can count them here.
bool PerfCounts();
std::vector<std::string> Counted(const std::vector<std::string>& argv, const std::string& countFile);
// The count perf stat wrote when its program ended; 0 when none.
double SyscallCount(const std::string& countFile);

// Kannel's bearerbox with one SMPP centre connection and its smsbox, in dir.
struct KannelSetup {
  std::string dir;  // for the configuration, logs and store
  uint16_t smscPort = 0;
  std::string smscUser = "gw", smscPassword = "pw";
  unsigned maxPendingSubmits = 100;
  bool spoolStore = false;       // else the file store
  bool asUsersRun = true;        // "-v 4", log-level 1 and access logs; else log-level 4 only
  bool countSyscalls = false;    // each box under perf stat
  std::string smsboxGroups;      // sendsms-user or sms-service groups, with their leading newline
  uint16_t sendsmsPort = 0;      // 0: no sendsms listener
};
struct KannelBoxes {
  BenchProcess bearerbox, smsbox;
};
// Writes the configuration and starts both boxes; false when Kannel is not installed.
bool StartKannel(const KannelSetup& setup, KannelBoxes& boxes);
// System calls per message of both boxes after they stopped (0: not counted).
double KannelSyscallsPerMessage(const KannelSetup& setup, uint64_t messages);
