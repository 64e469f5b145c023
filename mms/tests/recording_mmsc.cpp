#include "mms/tests/recording_mmsc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "runtime/text_helpers.h"

RecordingMmsc::RecordingMmsc(std::string answer) : answer_(std::move(answer)) {
  listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener_.get(), 8);
  socklen_t len = sizeof a;
  getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

RecordingMmsc::~RecordingMmsc() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> RecordingMmsc::Requests() {
  std::lock_guard<std::mutex> g(lock_);
  return requests_;
}

void RecordingMmsc::Serve() {
  while (!stop_) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;  // the stop is seen within 100 ms
    UniqueFd c(accept(listener_.get(), nullptr, nullptr));
    std::string got;
    char buf[4096];
    for (;;) {
      size_t end = got.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t at = FindNoCase(got, "Content-length: ");
        size_t length = at == std::string::npos ? 0 : ParseDecimal(std::string_view(got).substr(at));
        if (got.size() >= end + 4 + length) break;
      }
      pollfd q{c.get(), POLLIN, 0};
      if (poll(&q, 1, 5000) <= 0) break;
      ssize_t n = recv(c.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    if (!answer_.empty()) send(c.get(), answer_.data(), answer_.size(), MSG_NOSIGNAL);
    std::lock_guard<std::mutex> g(lock_);
    requests_.push_back(got);
  }
}
