// An MMSC that takes acknowledgements: records each whole request (header and body by its
// Content-length) and answers as told.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/unique_fd.h"

class RecordingMmsc {
 public:
  // answer: what every request gets ("" closes without an answer).
  explicit RecordingMmsc(std::string answer = "HTTP/1.0 200 OK\r\n\r\n");
  ~RecordingMmsc();
  uint16_t port() const { return port_; }
  std::vector<std::string> Requests();

 private:
  void Serve();
  std::string answer_;
  UniqueFd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> requests_;
};
