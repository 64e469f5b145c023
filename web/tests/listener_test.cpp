#include <filesystem>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/waits.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "web/responses.h"
#include "outside/seal_table.h"
#include "web/tests/web_test_support.h"
#include "web/web_server.h"
#include "web/web_settings.h"

namespace {
// An echo handler on /PAP shows what the listener handed over.
class ListenerTest : public ::testing::Test {
 protected:
  SettingsOverride settings;
  void SetUp() override {
    ResetWebTestSettings();
    RegisterWebHandler(WebRoute::PushAccess, [](WebConnection& c, WebRequest& r) {
      std::string body = "PATH=" + c.path + "\nUSER=" + c.user + "\nPOST=" + (c.isPost ? "1" : "0") +
                         "\nBODY=" + std::string(r.Body());
      SendResponse(c, "200 OK", "Content-type: text/plain\r\n", body);
      return true;
    });
    WriteFileText(TestGateway.home + "html/a.htm", "page-a");
    WriteFileText(TestGateway.home + "html/b.htm", "page-b");
    WriteFileText(TestGateway.home + "secret.txt", "top-secret");
  }
  void TearDown() override {
    RegisterWebHandler(WebRoute::PushAccess, nullptr);
    ResetWebTestSettings();
  }

  static void AddAccount(const char* name, const char* password, const char* restrict = "", uint8_t options = 0) {
    SMSUserFile* f = nullptr;
    ASSERT_NE(SMSOpenUserFile(&f, SMS_USER_READWRITE), 0);
    SMSUserRecord r{};
    snprintf(r.UserName, sizeof r.UserName, "%s", name);
    snprintf(r.Password, sizeof r.Password, "%s", password);
    snprintf(r.RestrictIPAddress, sizeof r.RestrictIPAddress, "%s", restrict);
    r.WebOptions = options;
    ASSERT_NE(SMSAddUser(f, &r), 0);
    SMSCloseUserFile(f);
  }
};

TEST_F(ListenerTest, StartPageWithCurl) {
  std::string out = RunCommand("curl -s -i " + Url("/"));
  EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-type: text/html\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("<h1>Qar SMS/MMS Gateway</h1>"), std::string::npos);
  EXPECT_EQ(out.find("<!@@"), std::string::npos);  // block markers removed
  out = RunCommand("curl -s -i --http1.0 " + Url("/a.htm"));
  EXPECT_EQ(out.rfind("HTTP/1.0 200 OK\r\nConnection: close\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("\r\n\r\npage-a"), std::string::npos);
  out = RunCommand("curl -s -i -H 'Connection: close' " + Url("/a.htm"));
  EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\nConnection: close\r\n", 0), 0u) << out;
}

TEST_F(ListenerTest, KeepAliveReusesTheConnection) {
  std::string out = RunCommand("curl -s -v " + Url("/a.htm") + " " + Url("/b.htm") + " 2>&1");
  EXPECT_NE(out.find("page-a"), std::string::npos);
  EXPECT_NE(out.find("page-b"), std::string::npos);
  EXPECT_NE(out.find("Re-using existing connection"), std::string::npos) << out;
  settings->EnableKeepAlive = false;
  out = RunCommand("curl -s -i " + Url("/a.htm"));
  EXPECT_NE(out.find("Connection: close\r\n"), std::string::npos) << out;
}

TEST_F(ListenerTest, PipelinedRequestsAnsweredInOrder) {
  std::string out = RawExchange(
      "GET /a.htm HTTP/1.1\r\nHost: x\r\n\r\n\r\nGET /b.htm HTTP/1.1\r\nHost: x\r\n\r\n"
      "POST /PAP HTTP/1.1\r\nContent-Length: 3\r\nConnection: close\r\n\r\nxyz",
      "127.0.0.1", 3000);
  size_t a = out.find("page-a"), b = out.find("page-b"), c = out.find("BODY=xyz");
  ASSERT_NE(a, std::string::npos) << out;
  ASSERT_NE(b, std::string::npos) << out;
  ASSERT_NE(c, std::string::npos) << out;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(CountOf(out, "HTTP/1.1 200 OK"), 3u);
  EXPECT_NE(out.find("page-aHTTP/1.1 200 OK"), std::string::npos);  // no bare CR LF ahead of a status line
  // A chunked request followed at once by another.
  out = RawExchange("POST /PAP HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"
                    "GET /b.htm HTTP/1.1\r\nConnection: close\r\n\r\n",
                    "127.0.0.1", 3000);
  EXPECT_NE(out.find("BODY=abHTTP/1.1 200 OK\r\nConnection: close\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("page-b"), std::string::npos) << out;
}

TEST_F(ListenerTest, ChunkedUploadIsDechunked) {
  std::string out = RunCommand("sh -c \"printf 'hello chunked world' | curl -s -i -H 'Transfer-Encoding: chunked' "
                               "--data-binary @- " + Url("/PAP/x") + "\"");
  EXPECT_NE(out.find("PATH=/PAP/x\nUSER=\nPOST=1\nBODY=hello chunked world"), std::string::npos) << out;
  // A chain with a bad length line is handled rather than waited for.
  out = RawExchange("POST /PAP HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n3\r\nabc\r\nZZ\r\n",
                    "127.0.0.1", 3000);
  EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("BODY=abc"), std::string::npos) << out;
}

TEST_F(ListenerTest, OversizedRequestsRefusedAndClosed) {
  WebSettings.MaxWebRequestBytes = 4096;
  const std::string requests[] = {
      "POST /PAP HTTP/1.1\r\nContent-Length: 5000\r\n\r\n",
      "POST /PAP HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n",
      "POST /PAP HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
      "POST /PAP HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFFFFFF\r\n",
      "POST /PAP HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n800\r\n" + std::string(2048, 'x') +
          "\r\n800\r\n" + std::string(2048, 'y'),
      "GET /" + std::string(5000, 'a'),
  };
  for (const std::string& r : requests) {
    uint64_t start = TickMs();
    std::string out = RawExchange(r, "127.0.0.1", 5000);
    EXPECT_EQ(out.rfind(r[0] == 'G' ? "HTTP/1.0 413 Request Entity Too Large\r\nConnection: close\r\n" : "HTTP/1.1 413 Request Entity Too Large\r\nConnection: close\r\n", 0), 0u) << out;
    EXPECT_LT(TickMs() - start, 4000u) << r.substr(0, 60);  // closed by the server, not by the quiet timeout
  }
  std::string out = RawExchange(std::string(5000, 'x'), "127.0.0.1", 5000);
  EXPECT_NE(out.find(" 413 Request Entity Too Large"), std::string::npos) << out;
}

TEST_F(ListenerTest, IncompleteRequestDroppedAfterIdleLimit) {
  WebSettings.IdleLimitSeconds = 2;
  uint64_t start = TickMs();
  std::string out = RawExchange("GET /a.htm HTTP/1.1\r\nHost: x\r\n", "127.0.0.1", 6000);
  EXPECT_EQ(out, "");
  EXPECT_GE(TickMs() - start, 1900u);
  EXPECT_LT(TickMs() - start, 5000u);
}

TEST_F(ListenerTest, BasicAndParameterAuthentication) {
  WebSettings.WebAuth = true;
  WebSettings.Realm = "Test \"Realm\"";
  AddAccount("alice", "Secret1");
  AddAccount("carol", "pw", "10.*.*.*");
  WebSettings.LocalSystemPassword = "5f1e0c7a5f1e0c7a5f1e0c7a5f1e0c7a";
  struct Case { std::string curlArgs; bool passes; const char* user; };
  const Case cases[] = {
      {"-u alice:Secret1", true, "alice"},
      {"-u ALICE:secret1", true, "ALICE"},  // names and passwords compare without case
      {"-u alice:wrong", false, ""},
      {"-u nobody:x", false, ""},
      {"", false, ""},
      {"-u carol:pw", false, ""},  // restricted to other addresses
      {"-u localsystem:5f1e0c7a5f1e0c7a5f1e0c7a5f1e0c7a", true, "localsystem"},
      {"-u localsystem:QarLocalSystem-5d1f0c7a", false, ""},  // the former built-in password
  };
  for (const Case& c : cases) {
    FailedLoginCount.store(0);
    std::string out = RunCommand("curl -s -i " + c.curlArgs + " " + Url("/PAP/auth"));
    if (c.passes) {
      EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << c.curlArgs << out;
      EXPECT_NE(out.find(std::string("USER=") + c.user + "\n"), std::string::npos) << out;
    } else {
      EXPECT_EQ(out.rfind("HTTP/1.1 401 Authorization Required\r\n", 0), 0u) << c.curlArgs << out;
      EXPECT_NE(out.find("WWW-Authenticate: Basic realm=\"Test Realm\"\r\n"), std::string::npos) << out;
      EXPECT_NE(out.find("Invalid username and password, or your web browser does not support authentication."),
                std::string::npos);
    }
  }
  // The account read a moment ago is used from the cache: a new password takes effect later.
  AddAccount("alice", "Changed1");
  std::string out = RunCommand("curl -s -i -u alice:Secret1 " + Url("/PAP/cached"));
  EXPECT_NE(out.find("USER=alice\n"), std::string::npos) << out;
  AddAccount("alice", "Secret1");
  out = RunCommand("curl -s -i '" + Url("/PAP/p?User=alice&Password=Secret1") + "'");
  EXPECT_NE(out.find("USER=alice\n"), std::string::npos) << out;
  out = RunCommand("curl -s -i -d 'User=alice&Password=Secret1' " + Url("/PAP/form"));
  EXPECT_NE(out.find("USER=alice\n"), std::string::npos) << out;
  // The same lookup as a submission's: the path itself, and a body of any type.
  for (const std::string& args : {"'" + Url("/PAP/User=alice&Password=Secret1") + "'",
                                  "-H 'Content-Type: text/plain' -d 'User=alice&Password=Secret1' " + Url("/PAP/plain"),
                                  "-H 'Content-Type:' -d 'User=alice&Password=Secret1' " + Url("/PAP/untyped")}) {
    out = RunCommand("curl -s -i " + args);
    EXPECT_NE(out.find("USER=alice\n"), std::string::npos) << args << out;
  }
}

TEST_F(ListenerTest, FailedLoginsAreSlowedAndResetBySuccess) {
  WebSettings.WebAuth = true;
  AddAccount("dave", "right");
  uint64_t t0 = TickMs();
  RunCommand("curl -s -u dave:bad " + Url("/PAP"));
  uint64_t t1 = TickMs();
  RunCommand("curl -s -u dave:bad " + Url("/PAP"));
  uint64_t t2 = TickMs();
  EXPECT_GE(t1 - t0, 1000u);
  EXPECT_GE(t2 - t1, 2000u);
  EXPECT_EQ(FailedLoginCount.load(), 2u);
  RunCommand("curl -s -u dave:right " + Url("/PAP"));
  EXPECT_EQ(FailedLoginCount.load(), 0u);
}

TEST_F(ListenerTest, IpRestrictions) {
  IPRestrictions.Blocked = {"127.0.0.2"};
  std::string out = RunCommand("curl -s -i --interface 127.0.0.2 " + Url("/a.htm"));
  EXPECT_EQ(out.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("ERROR:  Connection not allowed from 127.0.0.2."), std::string::npos);
  out = RunCommand("curl -s -i --interface 127.0.0.3 " + Url("/a.htm"));
  EXPECT_NE(out.find("page-a"), std::string::npos) << out;
  IPRestrictions.Allowed = {"127.0.0.4"};
  out = RunCommand("curl -s -i --interface 127.0.0.3 " + Url("/a.htm"));
  EXPECT_NE(out.find(" 403 Forbidden"), std::string::npos) << out;
  out = RunCommand("curl -s -i --interface 127.0.0.4 " + Url("/a.htm"));
  EXPECT_NE(out.find("page-a"), std::string::npos) << out;
  IPRestrictions.Blocked = {"*.*.*.*"};
  out = RunCommand("curl -s -i " + Url("/a.htm"));  // 127.0.0.1 is always let in
  EXPECT_NE(out.find("page-a"), std::string::npos) << out;
}

TEST_F(ListenerTest, TraversalNeverLeavesTheHtmlFolder) {
  const char* paths[] = {"/../secret.txt", "/%2e%2e/secret.txt", "/..%2fsecret.txt", "/sub/../../secret.txt",
                         "/..\\secret.txt", "//etc/passwd", "/%2E%2E%5Csecret.txt"};
  for (const char* p : paths) {
    std::string out = RawExchange(std::string("GET ") + p + " HTTP/1.0\r\n\r\n", "127.0.0.1", 3000);
    EXPECT_EQ(out.find("top-secret"), std::string::npos) << p;
    EXPECT_EQ(out.find("root:"), std::string::npos) << p;
    EXPECT_EQ(out.rfind("HTTP/1.0 200 OK", 0), 0u) << p << out;  // the start page instead
  }
}

TEST_F(ListenerTest, UnknownRequestsAndBrowsers) {
  std::string out = RunCommand("curl -s -i " + Url("/nosuch.htm"));
  EXPECT_NE(out.find("<h1>Qar SMS/MMS Gateway</h1>"), std::string::npos) << out;  // default.htm
  WebSettings.WebMenu = false;
  out = RunCommand("curl -s -i " + Url("/nosuch.htm"));
  EXPECT_EQ(out.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("Error:  No valid parameters specified, menu not enabled"), std::string::npos);
  out = RunCommand("curl -s -i -A 'Mozilla/5.0 (X11; Linux)' " + Url("/nosuch.htm"));
  EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("<TITLE>\r\nUnknown request\r\n</TITLE>"), std::string::npos) << out;
  WebSettings.WebMenu = true;
  std::filesystem::rename(TestGateway.home + "html/default.htm", TestGateway.home + "html/default.sav");
  out = RunCommand("curl -s -i " + Url("/nosuch.htm"));
  std::filesystem::rename(TestGateway.home + "html/default.sav", TestGateway.home + "html/default.htm");
  EXPECT_EQ(out.rfind("HTTP/1.1 404 Not Found\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n", 0), 0u) << out;
  // Lists without their handler answer as unknown requests too; with one that declines, 404.
  RegisterWebHandler(WebRoute::DistributionLists, [](WebConnection&, WebRequest&) { return false; });
  out = RunCommand("curl -s -i " + Url("/DLists?x=1"));
  RegisterWebHandler(WebRoute::DistributionLists, nullptr);
  EXPECT_EQ(out.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << out;
}

TEST_F(ListenerTest, UserFolderPagesAndBlocks) {
  WebSettings.WebAuth = true;
  AddAccount("erin", "pw", "", 177);
  WriteFileText(TestGateway.home + "USERS/erin/html/own.htm",
                "own<!@@StartBlockMMS@@>mms<!@@EndBlockMMS@@><!@@StartBlockTextSMS@@>text<!@@EndBlockTextSMS@@>");
  std::string out = RunCommand("curl -s -u erin:pw " + Url("/own.htm"));
  EXPECT_EQ(out, "owntext");
  out = RunCommand("curl -s -u erin:pw " + Url("/a.htm"));
  EXPECT_EQ(out, "page-a");
}

TEST_F(ListenerTest, RedirectToSsl) {
  if (!SealCalls.Available) GTEST_SKIP() << "qarseal not available";
  settings->WebPortSSL = 443;
  UniqueFd s = ConnectLoopback(TestGateway.plainPort);
  const char request[] = "GET /ADMIN/x HTTP/1.1\r\nHost: gw:8800\r\n\r\n";
  ASSERT_GT(send(s.get(), request, sizeof request - 1, MSG_NOSIGNAL), 0);
  std::string out = ReadUntilContains(s.get(), "\r\n\r\n", 5000);
  EXPECT_EQ(out, "HTTP/1.1 302 Redirect\r\nConnection: Keep-Alive\r\nContent-length: 0\r\nLocation: https://gw/ADMIN\r\n\r\n");
  settings->WebPortSSL = 8443;
  out = RawExchange("GET /admin HTTP/1.0\r\nHost: gw:8800\r\n\r\n", "127.0.0.1", 2000);
  EXPECT_NE(out.find("Location: https://gw:8443/ADMIN\r\n"), std::string::npos) << out;
  out = RawExchange("GET /a.htm HTTP/1.0\r\nHost: gw\r\n\r\n", "127.0.0.1", 2000);
  EXPECT_NE(out.find("page-a"), std::string::npos) << out;  // no SSLRedirect: served
  settings->SSLRedirect = true;
  out = RawExchange("GET /a.htm HTTP/1.0\r\nHost: gw\r\n\r\n", "127.0.0.1", 2000);
  EXPECT_NE(out.find("Location: https://gw:8443/\r\n"), std::string::npos) << out;
  out = RawExchange("GET /a.htm HTTP/1.0\r\n\r\n", "127.0.0.1", 2000);
  EXPECT_EQ(out.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("ERROR:  SSL must be used to access this server"), std::string::npos);
}

TEST_F(ListenerTest, ParkedThreadsServeNewConnections) {
  settings->EnableThreadPool = true;
  size_t before = ParkedThreadCount();
  for (int i = 0; i < 3; ++i) {
    std::string out = RawExchange("GET /a.htm HTTP/1.0\r\n\r\n", "127.0.0.1", 3000);
    EXPECT_NE(out.find("page-a"), std::string::npos) << out;
    for (int w = 0; w < 100 && ParkedThreadCount() <= before; ++w)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ParkedThreadCount(), before + 1);  // the same thread took each new connection
}

TEST_F(ListenerTest, ManyConcurrentKeepAliveClients) {
  constexpr int kClients = 50;
  std::vector<UniqueFd> sockets;
  for (int i = 0; i < kClients; ++i) sockets.push_back(ConnectLoopback(TestGateway.plainPort));
  for (int round = 0; round < 3; ++round) {
    for (auto& s : sockets) {
      const char req[] = "GET /a.htm HTTP/1.1\r\nHost: x\r\n\r\n";
      ASSERT_GT(send(s.get(), req, sizeof req - 1, MSG_NOSIGNAL), 0);
    }
    for (auto& s : sockets) {
      std::string got = ReadUntilContains(s.get(), "page-a", 5000);
      EXPECT_NE(got.find("page-a"), std::string::npos) << got;
    }
  }
}
}  // namespace

namespace {
// Run in a child process: a stop request ends the listener, an idle keep-alive connection
// and a parked thread within a few seconds.
TEST(ListenerShutdown, StopEndsEveryConnectionThread) {
  SettingsOverride settings;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ResetWebTestSettings();
        settings->EnableThreadPool = true;
        UniqueFd idle = ConnectLoopback(TestGateway.plainPort);
        const char partial[] = "GET / HTTP/1.1\r\nHost: x\r\n";
        send(idle.get(), partial, sizeof partial - 1, MSG_NOSIGNAL);
        RawExchange("GET / HTTP/1.0\r\n\r\n", "127.0.0.1", 2000);  // leaves a parked thread
        for (int i = 0; i < 100 && ParkedThreadCount() == 0; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bool parked = ParkedThreadCount() == 1;
        uint64_t start = TickMs();
        AnnounceShutdown();
        WaitForServiceThreads();
        _exit(parked && TickMs() - start < 3000 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
}  // namespace

namespace {
// Exits 0 when the process spent under 300 ms of CPU in the second after every descriptor
// was taken and five connections wait in the backlog.
[[noreturn]] void ExhaustDescriptorsAndMeasure() {
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 5; ++i) clients.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  size_t open = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++open;
  struct rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = open - 1;  // the iterator's own descriptor is closed again
  setrlimit(RLIMIT_NOFILE, &rl);
  struct sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(TestGateway.plainPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (auto& c : clients) connect(c.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
  struct rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  getrusage(RUSAGE_SELF, &after);
  auto ms = [](const struct rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
  };
  _exit(ms(after) - ms(before) < 300 ? 0 : 1);
}

// Run in a child process: with no descriptor left for accept, the listener pauses between
// attempts instead of spinning on the waiting connections.
TEST(ListenerShutdown, AcceptErrorsDoNotSpin) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExhaustDescriptorsAndMeasure(), ::testing::ExitedWithCode(0), "");
}
}  // namespace
