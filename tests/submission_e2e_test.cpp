// Submissions to the real gateway with curl, checked in the queue files it writes: text
// encodings, port parameters and route names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/support/gateway_process.h"

namespace fs = std::filesystem;

namespace {

struct Gateway : WebGateway {
  std::string Submit(const std::string& query) {
    return Curl({"http://127.0.0.1:" + std::to_string(port) + "/?" + query});
  }
};

// Greek capitals with a Latin twin travel in 7 bits; text that needs Unicode is UCS-2 with
// DCS 08, whether or not the gateway segments.
TEST(SubmissionE2e, GreekLookalikesAndUnicodeInTheQueueFile) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "%D0%96";  // Ж
  const struct {
    const char* text;  // percent-encoded UTF-8
    const char* data;  // the Data line written
    bool ucs2;
  } cases[] = {
      {"%CE%91%CE%92%CE%93", "AB\xCE\x93", false},                                              // ΑΒΓ
      {"%CE%9A%CE%91%CE%9B%CE%97%CE%9C%CE%95%CE%A1%CE%91", "KA\xCE\x9BHMEPA", false},           // ΚΑΛΗΜΕΡΑ
      {"%CE%B1%CE%B2%CE%B3", "03B103B203B3", true},                                             // αβγ
      {"%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82", "041F04400438043204350442", true},               // Привет
  };
  for (bool asIs : {false, true}) {
    SCOPED_TRACE(asIs ? "SendLongMessagesAsIs=Yes" : "SendLongMessagesAsIs=No");
    Gateway g;
    g.Configure({std::string("SendLongMessagesAsIs=") + (asIs ? "Yes" : "No")});
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
    for (const auto& c : cases) {
      SCOPED_TRACE(c.data);
      std::string answer = g.Submit(std::string("PhoneNumber=447700900123&Text=") + c.text);
      EXPECT_EQ(CurlStatus(answer), "200") << answer;
      std::vector<std::string> files = g.TakeQueued();
      ASSERT_EQ(files.size(), 1u);
      EXPECT_NE(files[0].find(std::string("\r\nData=") + c.data + "\r\n"), std::string::npos) << files[0];
      EXPECT_EQ(files[0].find("dcs=08\r\nBinary=1\r\n") != std::string::npos, c.ucs2) << files[0];
      if (!c.ucs2) {
        EXPECT_EQ(files[0].find("dcs="), std::string::npos) << files[0];
      }
    }
    // A long Unicode text: one UCS-2 file when the link segments, 67 + 33 otherwise.
    std::string answer = g.Submit("PhoneNumber=447700900123&Text=" + hundred);
    EXPECT_EQ(CurlStatus(answer), "200") << answer;
    std::vector<std::string> files = g.TakeQueued();
    ASSERT_EQ(files.size(), asIs ? 1u : 2u);
    for (const std::string& f : files) {
      EXPECT_NE(f.find("Data=0416"), std::string::npos) << f;
      EXPECT_NE(f.find("dcs=08\r\nBinary=1\r\n"), std::string::npos) << f;
    }
    std::vector<size_t> digits;
    for (const std::string& f : files) {
      size_t at = f.find("Data=");
      digits.push_back(at == std::string::npos ? 0 : f.find("\r\n", at) - at - 5);
    }
    std::vector<size_t> expected = asIs ? std::vector<size_t>{400} : std::vector<size_t>{67 * 4, 33 * 4};
    EXPECT_EQ(digits, expected);
  }
}

// SourcePort and DestPort are 16-bit: a larger or non-numeric value is refused and nothing
// is queued; the largest port is written as it is.
TEST(SubmissionE2e, PortParametersAboveSixteenBitsAreRefused) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  const struct {
    const char* ports;
    const char* udh;  // nullptr: refused
    const char* error;
  } cases[] = {
      {"SourcePort=70000", nullptr, "Invalid format for SourcePort parameter (a port number from 0 to 65535)."},
      {"DestPort=65536", nullptr, "Invalid format for DestPort parameter (a port number from 0 to 65535)."},
      {"DestPort=4294972296", nullptr, "Invalid format for DestPort parameter"},
      {"DestPort=80&SourcePort=x", nullptr, "Invalid format for SourcePort parameter"},
      {"DestPort=65535", "060504FFFF0000", nullptr},
      {"DestPort=5000&SourcePort=65535", "0605041388FFFF", nullptr},
      {"DestPort=&SourcePort=9200", "060504000023F0", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ports);
    std::string answer = g.Submit(std::string("PhoneNumber=447700900123&Data=0102&") + c.ports);
    std::vector<std::string> files = g.TakeQueued();
    if (!c.udh) {
      EXPECT_EQ(CurlStatus(answer), "400") << answer;
      EXPECT_NE(answer.find(c.error), std::string::npos) << answer;
      EXPECT_TRUE(files.empty());
      continue;
    }
    EXPECT_EQ(CurlStatus(answer), "200") << answer;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].find(std::string("\r\nUDH=") + c.udh + "\r\n"), std::string::npos) << files[0];
  }
}

// A tiny accounting callback: each request is answered with what answer gives for its
// request line.
struct Callback {
  int listener = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::atomic<int> requests{0};
  std::thread thread;
  explicit Callback(std::string (*answerFor)(const std::string& requestLine)) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 16);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this, answerFor] {
      while (!stop) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        int c = accept(listener, nullptr, nullptr);
        if (c < 0) continue;
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          pollfd r{c, POLLIN, 0};
          if (poll(&r, 1, 5000) <= 0) break;
          ssize_t n = recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          request.append(buf, size_t(n));
        }
        ++requests;
        std::string body = answerFor(request.substr(0, request.find("\r\n")));
        std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(c);
      }
    });
  }
  ~Callback() {
    stop = true;
    thread.join();
    close(listener);
  }
};

// Route names, from the client or from pre-authorisation, are those of the connections that
// run: also past a gap in the ModemN keys.
TEST(SubmissionE2e, RoutesOfConnectionsPastAGapAreAccepted) {
  // Pre-authorisation names a route when the client gave none: THIRD, or ORPHAN (a section
  // that no ModemN names) for the service type "orphan".
  Callback callback([](const std::string& line) -> std::string {
    if (line.find("PreAuth=Yes") == std::string::npos || line.find("&SMSCRoute=") != std::string::npos) return "";
    return line.find("ServiceType=orphan") != std::string::npos ? "SMSCRoute=ORPHAN" : "SMSCRoute=THIRD";
  });
  Gateway g;
  // Closed ports: the workers fail to connect and the queue files stay to be read.
  std::string first = "SMPP - 127.0.0.1:" + std::to_string(FreeTcpPort());
  std::string third = "SMPP - 127.0.0.1:" + std::to_string(FreeTcpPort());
  g.Configure({"Modem1=" + first, "Modem3=" + third, "WebAuth=Yes", "InitRetryDelay=30",
               "SMSAccountingURL=http://127.0.0.1:" + std::to_string(callback.port) + "/cb",
               "SMSAccountingPreAuthPerRecip=Yes", "AccountingKeepAlive=No"},
              "[" + third + "]\r\nRouteName=THIRD\r\n[SMPP - 127.0.0.1:1]\r\nRouteName=ORPHAN\r\n");
  GatewayProcess tool(g.home, "qaruser", {"add", "alice", "pw"});
  int code = -1;
  ASSERT_TRUE(tool.WaitExit(10000, code));
  ASSERT_EQ(code, 0);
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  auto encoded = [](std::string text) {
    for (size_t at; (at = text.find(' ')) != std::string::npos;) text.replace(at, 1, "%20");
    for (size_t at; (at = text.find(':')) != std::string::npos;) text.replace(at, 1, "%3A");
    return text;
  };
  const struct {
    std::string parameters;
    std::string written;  // the SMSCRoute line's value, "" for none
    bool refused;
  } cases[] = {
      {"&SMSCRoute=THIRD", "THIRD", false},
      {"&SMSCRoute=third", "third", false},
      {"&SMSCRoute=" + encoded(third), third, false},
      {"&SMSCRoute=" + encoded(first), first, false},
      {"", "THIRD", false},
      {"&ServiceType=orphan", "", false},
      {"&SMSCRoute=ORPHAN", "", true},
      {"&SMSCRoute=nope", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    std::string answer = g.Submit("PhoneNumber=447700900123&Text=routed&User=alice&Password=pw" + c.parameters);
    std::vector<std::string> files = g.TakeQueued();
    if (c.refused) {
      EXPECT_EQ(CurlStatus(answer), "400") << answer;
      EXPECT_NE(answer.find("Unknown smscRoute=" + c.parameters.substr(11)), std::string::npos) << answer;
      EXPECT_TRUE(files.empty());
      continue;
    }
    EXPECT_EQ(CurlStatus(answer), "200") << answer;
    ASSERT_EQ(files.size(), 1u);
    if (c.written.empty()) {
      EXPECT_EQ(files[0].find("SMSCRoute="), std::string::npos) << files[0];
    } else {
      EXPECT_NE(files[0].find("\r\nSMSCRoute=" + c.written + "\r\n"), std::string::npos) << files[0];
    }
  }
  EXPECT_GE(callback.requests.load(), 6);
}

}  // namespace
