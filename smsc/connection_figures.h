// Live figures of each SMSC connection since the gateway started: messages sent, given up
// and put to retry, and how many of its sessions are logged in now. Kept beside the
// daily counter files for the monitoring pages, which need counters that only grow.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ConnectionFigures {
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> failed{0};
  std::atomic<uint64_t> retried{0};
  std::atomic<int32_t> sessionsUp{0};  // transmitter instances logged in now
};

// The figures of a connection by display name (without case); made on first use and kept
// for the life of the process, so the reference stays valid.
ConnectionFigures& FiguresOf(std::string_view connection);

struct ConnectionFiguresCopy {
  std::string connection;
  uint64_t sent = 0, failed = 0, retried = 0;
  bool up = false;
};
// Every connection seen so far, in the order first seen.
std::vector<ConnectionFiguresCopy> AllConnectionFigures();
