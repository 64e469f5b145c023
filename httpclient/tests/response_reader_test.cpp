#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "httpclient/http_client.h"
#include "runtime/clock.h"
#include "runtime/unique_fd.h"

namespace {
struct Case {
  const char* name;
  std::string sent;
  bool closeAfter;
  bool ok;
  std::string expected;  // the whole response held
};

TEST(HttpResponseWait, AnswerShapes) {
  const Case cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false, true,
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n5\r\npedia\r\n0\r\n\r\n", false,
       true, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nWikipedia"},
      {"continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, true,
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
      {"two interim", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
       false, true, "HTTP/1.1 204 No Content\r\n\r\n"},
      {"not modified", "HTTP/1.1 304 Not Modified\r\nETag: x\r\n\r\n", false, true,
       "HTTP/1.1 304 Not Modified\r\nETag: x\r\n\r\n"},
      {"close delimited", "HTTP/1.0 200 OK\r\n\r\nuntil close", true, true, "HTTP/1.0 200 OK\r\n\r\nuntil close"},
      {"short body then close", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true, false, ""},
      {"header cut by close", "HTTP/1.1 200 OK\r\nContent-", true, false, ""},
      {"nothing", "", true, false, ""},
      {"oversized", "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\nabc", false, false, ""},
      {"oversized chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFF\r\n", false, false, ""},
  };
  HttpClientSettings.MaxResponseBytes = 1 << 20;
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    UniqueFd ours(fds[0]), theirs(fds[1]);
    send(theirs.get(), c.sent.data(), c.sent.size(), MSG_NOSIGNAL);
    if (c.closeAfter) theirs.reset();
    std::string response;
    uint64_t start = TickMs();
    size_t n = HttpResponseWait(ours.get(), nullptr, response, false, 2);
    EXPECT_EQ(n != 0, c.ok) << c.name;
    EXPECT_EQ(response, c.expected) << c.name;
    EXPECT_LT(TickMs() - start, 3500u) << c.name;
  }
  HttpClientSettings = HttpClientSettingsRecord{};
}

TEST(HttpResponseWait, TimeoutRestartsWhenBytesArrive) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd ours(fds[0]), theirs(fds[1]);
  std::thread slow([&] {
    const std::string parts[] = {"HTTP/1.1 200 OK\r\n", "Content-Length: 3\r\n\r\n", "a", "bc"};
    for (const std::string& p : parts) {
      // Each gap well inside the 3 s limit, the whole answer beyond it: a loaded machine
      // may delay a gap, not by two seconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      send(theirs.get(), p.data(), p.size(), MSG_NOSIGNAL);
    }
  });
  std::string response;
  size_t n = HttpResponseWait(ours.get(), nullptr, response, false, 3);
  slow.join();
  EXPECT_NE(n, 0u);
  EXPECT_EQ(response, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
  // Header only: done once the header is complete.
  send(theirs.get(), "HTTP/1.1 200 Connection established\r\n\r\n", 39, MSG_NOSIGNAL);
  EXPECT_NE(HttpResponseWait(ours.get(), nullptr, response, true, 1), 0u);
}
}  // namespace
