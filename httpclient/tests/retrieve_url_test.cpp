#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "httpclient/http_client.h"
#include "outside/outside_tables.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "outside/seal_table.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_servers.h"

namespace {
std::string Home;
std::unique_ptr<TestDataFolder> Folder;

class ClientEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Folder = std::make_unique<TestDataFolder>();
    Home = Folder->path();
    DebugSettings.CopyToStderr = false;
    DebugSettings.Debug = true;
    DebugSettings.RotationWaitMs = 0;
    LoadSealLibrary(BinDirectory());
    if (!OutsideLibraries.sslAvailable) return;
    char error[500] = {0};
    ASSERT_EQ(OutsideLibraries.seal.Call<sslGenerateCertificate_t>(seal::sslGenerateCertificate)("localhost", error,
                                                                                                  sizeof error),
              1)
        << error;
    ASSERT_TRUE(BindSealTable(OutsideLibraries.seal, true, true, SealCalls));
  }
  void TearDown() override { Folder.reset(); }
};
[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

ScriptedReply Ok(const std::string& body, bool close = false) {
  return {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
              body,
          close};
}

std::string Local(uint16_t port, const std::string& rest = "") { return "127.0.0.1:" + std::to_string(port) + rest; }

TEST(RetrieveURL, ExactRequestBytes) {
  ScriptedServer server([](const std::string&, int, int) { return Ok("fine"); });
  HttpResponse r;
  std::string error;
  ASSERT_TRUE(RetrieveURL("u:p@" + Local(server.port(),
                                         "/a?b=1 c\x01"
                                         "d  "),
                          r, {.timeoutSeconds = 5, .errorText = &error}))
      << error;
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], "GET /a?b=1%20c%01d HTTP/1.1\r\nUser-Agent: Qar SMS/MMS Gateway v2011.01.14\r\n"
                                  "Accept: */*\r\nConnection: close\r\nAuthorization: Basic dTpw\r\nHost: " +
                                      Local(server.port()) + "\r\n\r\n");
  EXPECT_EQ(r.Body(), "fine");
  EXPECT_EQ(r.bodyLength, 4u);
  EXPECT_EQ(r.contentType, "text/plain");
  EXPECT_EQ(r.text.substr(0, r.headerLength).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  // Through a proxy: the absolute form, and no port for the default one.
  ASSERT_TRUE(
      RetrieveURL("example.org/x", r, {.proxy = Local(server.port()), .timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(server.Requests()[1], "GET http://example.org/x HTTP/1.1\r\nUser-Agent: Qar SMS/MMS Gateway v2011.01.14\r\n"
                                  "Accept: */*\r\nConnection: close\r\nHost: example.org\r\n\r\n");
  ASSERT_TRUE(RetrieveURL("http://example.org:8080", r,
                          {.proxy = Local(server.port()), .timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(server.Requests()[2].substr(0, 40), "GET http://example.org:8080/ HTTP/1.1\r\nU");
  EXPECT_NE(server.Requests()[2].find("Host: example.org:8080\r\n"), std::string::npos);
  EXPECT_FALSE(RetrieveURL("ftp://x/y", r, {.timeoutSeconds = 5, .errorText = &error}));
}

TEST(RetrieveURL, StatusesAndErrorTexts) {
  struct Case {
    const char* name;
    std::string reply;
    bool accept;
    bool ok;
    std::string error;
    std::string body;
  };
  const Case cases[] = {
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", false, true,
       "", "abcde"},
      {"continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\nz", false, true, "",
       "z"},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", false, true, "", ""},
      {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false, false,
       "HTTP Response Error Code 404", ""},
      {"accepted error", "HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy", true, true, "", "busy"},
      {"not modified", "HTTP/1.1 304 Not Modified\r\n\r\n", false, false, "HTTP Response Error Code 304", ""},
      {"garbage", "garbage\r\n\r\n", true, false, "HTTP Response Error Code unknown", ""},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](const std::string&, int, int) { return ScriptedReply{c.reply, true}; });
    HttpResponse r;
    std::string error;
    EXPECT_EQ(RetrieveURL("http://" + Local(server.port(), "/s"), r,
                          {.acceptErrorStatus = c.accept, .timeoutSeconds = 5, .errorText = &error}),
              c.ok)
        << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (c.ok) {
      EXPECT_EQ(r.Body(), c.body) << c.name;
      EXPECT_EQ(r.bodyLength, c.body.size()) << c.name;
    }
  }
  // Close-delimited answer.
  ScriptedServer closing([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.0 200 OK\r\n\r\nall of it", true};
  });
  HttpResponse r;
  std::string error;
  ASSERT_TRUE(RetrieveURL(Local(closing.port()), r, {.timeoutSeconds = 5, .errorText = &error})) << error;
  EXPECT_EQ(r.Body(), "all of it");
}

TEST(RetrieveURL, FailuresAreBoundedInTime) {
  ScriptedServer mute([](const std::string&, int, int) { return ScriptedReply{"", false, true}; });
  HttpResponse r;
  std::string error;
  uint64_t start = TickMs();
  EXPECT_FALSE(RetrieveURL(Local(mute.port()), r, {.timeoutSeconds = 1, .errorText = &error}));
  EXPECT_EQ(error, "HTTP timeout error or invalid server response");
  EXPECT_LT(TickMs() - start, 3000u);
  uint16_t closed = FreeTcpPort();
  EXPECT_FALSE(RetrieveURL(Local(closed), r, {.timeoutSeconds = 2, .errorText = &error}));
  EXPECT_EQ(error, "HTTP Connection failed for 127.0.0.1");
  start = TickMs();
  EXPECT_FALSE(RetrieveURL("http://no-such-host.invalid/x", r, {.timeoutSeconds = 2, .errorText = &error}));
  EXPECT_EQ(error, "DNS Lookup failed for no-such-host.invalid");
  EXPECT_LT(TickMs() - start, 4000u);
  HttpClientSettings.MaxResponseBytes = 1000;
  ScriptedServer big([](const std::string&, int, int) { return Ok(std::string(5000, 'x'), true); });
  EXPECT_FALSE(RetrieveURL(Local(big.port()), r, {.timeoutSeconds = 2, .errorText = &error}));
  HttpClientSettings = HttpClientSettingsRecord{};
}

TEST(RetrieveURL, RedirectsAndCredentials) {
  ScriptedServer target([](const std::string&, int, int) { return Ok("landed", true); });
  std::string sameHost = "http://" + Local(target.port(), "/landing");
  std::string otherHost = "http://localhost:" + std::to_string(target.port()) + "/landing";
  struct Case { std::string location; bool keepsCredentials; };
  const Case cases[] = {{sameHost, true}, {otherHost, false}};
  for (const Case& c : cases) {
    ScriptedServer origin([&](const std::string&, int, int) {
      return ScriptedReply{"HTTP/1.1 302 Found\r\nLocation: " + c.location + "\r\nContent-Length: 0\r\n\r\n", true};
    });
    HttpResponse r;
    std::string error;
    size_t before = target.Requests().size();
    ASSERT_TRUE(
        RetrieveURL("http://u:p@" + Local(origin.port(), "/start"), r, {.timeoutSeconds = 5, .errorText = &error}))
        << error;
    EXPECT_EQ(r.Body(), "landed");
    ASSERT_EQ(target.Requests().size(), before + 1);
    std::string followed = target.Requests().back();
    EXPECT_EQ(followed.rfind("GET /landing HTTP/1.1\r\n", 0), 0u) << followed;
    EXPECT_EQ(followed.find("Authorization: Basic dTpw\r\n") != std::string::npos, c.keepsCredentials) << followed;
  }
  // A relative Location on the same server keeps the credentials too.
  ScriptedServer self([](const std::string& request, int, int) {
    if (request.rfind("GET /start", 0) == 0)
      return ScriptedReply{"HTTP/1.1 301 Moved\r\nLocation: /landing\r\nContent-Length: 0\r\n\r\n", true};
    return Ok("here", true);
  });
  HttpResponse r;
  std::string error;
  ASSERT_TRUE(RetrieveURL("http://u:p@" + Local(self.port(), "/start"), r, {.timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(r.Body(), "here");
  EXPECT_NE(self.Requests().back().find("Authorization: Basic dTpw\r\n"), std::string::npos);
  // A chain of ten redirects fails, also with error statuses accepted.
  ScriptedServer loop([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n", true};
  });
  EXPECT_FALSE(RetrieveURL(Local(loop.port(), "/again"), r,
                           {.acceptErrorStatus = true, .timeoutSeconds = 5, .errorText = &error}));
  EXPECT_EQ(error, "HTTP Response Error Code 302");
  EXPECT_EQ(loop.Requests().size(), 10u);
}

TEST(RetrieveURL, KeepAliveSlotReuseAndStaleRetry) {
  // Connection 0 answers once, then drops the second request without a word.
  ScriptedServer server([](const std::string&, int connection, int index) {
    if (connection == 0 && index == 1) return ScriptedReply{"", true};
    return Ok("n" + std::to_string(connection) + "." + std::to_string(index));
  });
  KeepAliveSlot slot;
  HttpResponse r;
  std::string error;
  ASSERT_TRUE(RetrieveURL(Local(server.port(), "/1"), r, {.slot = &slot, .timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(r.Body(), "n0.0");
  EXPECT_GE(slot.socket, 0);
  EXPECT_EQ(server.Requests()[0].find("Connection: close"), std::string::npos);
  ASSERT_TRUE(RetrieveURL(Local(server.port(), "/2"), r, {.slot = &slot, .timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(r.Body(), "n1.0");  // sent again on a new connection
  ASSERT_TRUE(RetrieveURL(Local(server.port(), "/3"), r, {.slot = &slot, .timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(r.Body(), "n1.1");  // the kept connection reused
  EXPECT_EQ(server.Connections(), 2);
  CloseKeepAliveSlot(slot);
  EXPECT_EQ(slot.socket, -1);
  // "Connection: close" and HTTP/1.0 answers are not kept.
  ScriptedServer closer([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx", false};
  });
  ASSERT_TRUE(RetrieveURL(Local(closer.port()), r, {.slot = &slot, .timeoutSeconds = 5, .errorText = &error}));
  EXPECT_EQ(slot.socket, -1);
}

TEST(RetrieveURL, UrlHostPart) {
  EXPECT_EQ(UrlHostPart("http://u:p@h:8080/a/b?c"), "http://u:p@h:8080");
  EXPECT_EQ(UrlHostPart("example.org"), "example.org");
}

TEST(RetrieveURL, CredentialsNeverFollowADowngradeToPlainHttp) {
  if (!SealCalls.Available) GTEST_SKIP() << "qarseal not available";
  ScriptedServer plain([](const std::string&, int, int) { return Ok("plain landing", true); });
  ScriptedServer secure(
      [&](const std::string& request, int, int) {
        if (request.rfind("GET /down", 0) == 0)
          return ScriptedReply{"HTTP/1.1 302 Found\r\nLocation: http://" + Local(plain.port(), "/landing") +
                                   "\r\nContent-Length: 0\r\n\r\n",
                               true};
        return Ok("secure landing", true);
      },
      true);
  ScriptedServer upgrade([&](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 302 Found\r\nLocation: https://" + Local(secure.port(), "/landing") +
                             "\r\nContent-Length: 0\r\n\r\n",
                         true};
  });
  HttpResponse r;
  std::string error;
  ASSERT_TRUE(
      RetrieveURL("https://u:p@" + Local(secure.port(), "/down"), r, {.timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(r.Body(), "plain landing");
  EXPECT_EQ(plain.Requests().back().find("Authorization:"), std::string::npos) << plain.Requests().back();
  ASSERT_TRUE(RetrieveURL("http://u:p@" + Local(upgrade.port(), "/up"), r, {.timeoutSeconds = 5, .errorText = &error}))
      << error;
  EXPECT_EQ(r.Body(), "secure landing");
  EXPECT_NE(secure.Requests().back().find("Authorization: Basic dTpw\r\n"), std::string::npos)
      << secure.Requests().back();
}

TEST(RetrieveURL, HttpsDirectAndThroughProxy) {
  if (!SealCalls.Available) GTEST_SKIP() << "qarseal not available";
  std::string dir = PrivateDataDirectory();
  OpensslServer tls(dir + "SERVER.PEM", dir + "SERVER.KEY");
  ASSERT_NE(tls.port(), 0) << "openssl s_server did not start";
  HttpResponse r;
  std::string error;
  ASSERT_TRUE(RetrieveURL("https://127.0.0.1:" + std::to_string(tls.port()) + "/", r,
                          {.timeoutSeconds = 10, .errorText = &error}))
      << error;
  EXPECT_NE(r.Body().find("s_server"), std::string::npos) << r.text.substr(0, 300);
  // The proxy is skipped for 127.0.0.x: name the server as localhost to go through it.
  TunnelProxy proxy(200);
  ASSERT_TRUE(RetrieveURL("https://localhost:" + std::to_string(tls.port()) + "/", r,
                          {.proxy = Local(proxy.port()), .timeoutSeconds = 10, .errorText = &error}))
      << error;
  EXPECT_EQ(proxy.FirstRequest(), "CONNECT localhost:" + std::to_string(tls.port()) + " HTTP/1.1\r\n\r\n");
  EXPECT_NE(r.Body().find("s_server"), std::string::npos);
  TunnelProxy refusing(403);
  EXPECT_FALSE(RetrieveURL("https://localhost:" + std::to_string(tls.port()) + "/", r,
                           {.proxy = Local(refusing.port()), .timeoutSeconds = 10, .errorText = &error}));
  EXPECT_EQ(error, "Proxy Server rejected SSL/TLS connection attempt");
  // A server that does not speak TLS.
  ScriptedServer plain([](const std::string&, int, int) { return Ok("plain", true); });
  EXPECT_FALSE(RetrieveURL("https://" + Local(plain.port()), r, {.timeoutSeconds = 3, .errorText = &error}));
  EXPECT_EQ(error.rfind("SSL/TLS Error - ", 0), 0u) << error;
}
}  // namespace
