#include "smsc/http/http_driver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "outside/outside_tables.h"
#include "outside/qarvault/qarvault.h"
#include "outside/seal_table.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/text_helpers.h"
#include "smsc/route_cache.h"
#include "smsc/routing_tables.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/counters.h"
#include "store/message_logs.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_servers.h"

namespace {
namespace fs = std::filesystem;

// The TLS library keeps the private directory of the folder bound when it starts: the
// test certificate is made there once.
std::string CertDirectory;
std::unique_ptr<TestDataFolder> SealFolder;

class SealEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    DebugSettings.CopyToStderr = false;
    SealFolder = std::make_unique<TestDataFolder>();
    LoadSealLibrary(BinDirectory());
    if (!OutsideLibraries.sslAvailable) return;
    char error[500] = {0};
    ASSERT_EQ(OutsideLibraries.seal.Call<sslGenerateCertificate_t>(seal::sslGenerateCertificate)("localhost", error,
                                                                                                 sizeof error),
              1)
        << error;
    CertDirectory = PrivateDataDirectory();
    BindSealTable(OutsideLibraries.seal, true, true, SealCalls);
  }
  void TearDown() override { SealFolder.reset(); }
};
[[maybe_unused]] ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SealEnvironment);

const std::string kAgent = "User-Agent: Qar SMS/MMS Gateway v2011.01.14\r\n";

ScriptedReply Reply(const std::string& statusLine, const std::string& body = "OK", const std::string& headers = "",
                    bool close = false) {
  return {statusLine + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, close};
}
ScriptedReply Ok(const std::string& body = "OK") { return Reply("HTTP/1.1 200 OK", body); }

std::string Local(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

class HttpDriverTest : public SmscTestHome {
 protected:
  SettingsOverride settings{SettingsBlock{}};
  std::string connection;
  SmscDriver driver;
  QueueWorker w;
  QueueTransport t;

  void SetUp() override {
    SmscTestHome::SetUp();
    DebugSettings.Debug = true;
    DebugSettings.RotationWaitMs = 0;
    fs::create_directories(home() + "debug/");
    SetDebugLogDirectory(home() + "debug/");
    MessageRoutesClear();
  }
  void TearDown() override {
    if (driver.close) driver.close(w, true);
    driver = SmscDriver{};
    LogsClose();
    CountersClose();
    SMSCMessageIdCloseAll();
    DebugSettings.Debug = false;
    SmscTestHome::TearDown();
  }
  // The connection with these lines in its section; extra goes to [QARHUB] and after.
  void Configure(const std::string& name, const std::string& lines, const std::string& extra = "") {
    connection = name;
    WriteConfig("[QARHUB]\nModem1=" + name + "\n" + extra + "\n[" + ConnectionSectionName(name) + "]\n" + lines + "\n");
    BuildOutboundRoutingTables();
    fs::create_directories(OutboundQueueRoot());
  }
  // Connects (the session check) and opens the transport; the report text when it fails.
  std::string Start() {
    driver = MakeHttpDriver(connection, 1);
    std::string reported;
    if (!driver.connect([&](const std::string& text) { reported = text; })) return reported;
    w = QueueWorker{};
    w.connection = connection;
    w.routingName = connection;
    w.names = RouteNamesFor(OutboundRouting, connection);
    w.settings.retryMaxAttempts = 20;
    driver.open(w, t);
    return "";
  }
  SubmitResult Send(const std::string& text, const std::string& recipient = "+4477",
                    const std::string& sender = "QAR") {
    SmsMessageRecord m;
    m.Data = text;
    m.PhoneNumber = recipient;
    return t.submit(m, SubmitRequest{"0000AB01", recipient, sender, ""});
  }
  std::string Queue(const std::string& name, const std::string& body) {
    std::string path = OutboundQueueRoot() + name;
    EXPECT_TRUE(PublishFile(path, "[SMS]\r\n" + body, PublishMode::CreateNew));
    return path;
  }
  std::string DebugLog() { return ReadFileText(home() + "debug/SMSDEBUG.LOG"); }
};

// The two default templates on the wire, byte for byte.
TEST_F(HttpDriverTest, DefaultTemplatesExactBytes) {
  ScriptedServer server([](const std::string&, int, int) { return Ok(); });
  Configure("HTTP - " + Local(server.port()), "");
  ASSERT_EQ(Start(), "");
  EXPECT_EQ(Send("Hi + & % \xE2\x82\xAC").outcome, SubmitOutcome::Done);
  SmsMessageRecord b;
  b.Binary = true;
  b.Data = "C0FFEE";
  b.UDH = "0605040B8423F0";
  b.Pid = 0x7F;
  b.Dcs = 0xF5;
  EXPECT_EQ(t.submit(b, SubmitRequest{"0000AB02", "+4478", "+4479", ""}).outcome, SubmitOutcome::Done);
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  std::string host = "Host: " + Local(server.port()) + "\r\n";
  EXPECT_EQ(requests[0], "GET /?PhoneNumber=%2B4477&Sender=QAR&Text=Hi%20%2B%20%26%20%25%20%E2%82%AC HTTP/1.1\r\n" +
                             kAgent + host + "Accept: */*\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(
      requests[1],
      "GET /?PhoneNumber=%2B4478&Sender=%2B4479&Binary=1&Data=C0FFEE&UDH=0605040B8423F0&pid=7F&dcs=F5 HTTP/1.1\r\n" +
          kAgent + host + "Accept: */*\r\nConnection: close\r\n\r\n");
}

// A text holding a token, or CR LF, stays the text: no password in the request, no second
// request line; the log has neither the password nor the login.
TEST_F(HttpDriverTest, TextIsEscapedAndNeverExpandedAgain) {
  ScriptedServer server([](const std::string&, int, int) { return Ok(); });
  Configure("HTTP - " + Local(server.port()),
            "UserName=acct\nPassword=s3cret\nHTTPUseAuth=Yes\nRemovePlus=Yes\n"
            "TemplateText=/send?user=@@UserName@@&pw=@@Password@@&to=@@PhoneNumber@@&text=@@Text@@");
  ASSERT_EQ(Start(), "");
  EXPECT_EQ(Send("@@Password@@ a\r\nGET /evil HTTP/1.1\r\n\r\n").outcome, SubmitOutcome::Done);
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0],
            "GET /send?user=acct&pw=s3cret&to=4477&text=@@Password@@%20a%0D%0AGET%20/evil%20HTTP/1.1%0D%0A%0D%0A "
            "HTTP/1.1\r\n" +
                kAgent + "Host: " + Local(server.port()) +
                "\r\nAuthorization: Basic YWNjdDpzM2NyZXQ=\r\nAccept: */*\r\nConnection: close\r\n\r\n");
  std::string log = DebugLog();
  EXPECT_NE(log.find("/send?user=acct"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
  EXPECT_EQ(log.find("YWNjdDpzM2NyZXQ="), std::string::npos);
}

// UseKeepAlive: what the answer says decides whether the next request of the pass reuses
// the connection; the end of the pass closes it.
TEST_F(HttpDriverTest, KeepAliveCases) {
  struct Case {
    const char* name;
    bool useKeepAlive;
    ScriptedReply reply;
    int connectionsForTwo;
    bool notSupported;
  } cases[] = {
      {"1.1 kept", true, Ok(), 1, false},
      {"1.1 close", true, Reply("HTTP/1.1 200 OK", "OK", "Connection: close\r\n", true), 2, true},
      {"1.0 without keep-alive", true, Reply("HTTP/1.0 200 OK", "OK", "", true), 2, true},
      {"1.0 keep-alive", true, Reply("HTTP/1.0 200 OK", "OK", "Connection: Keep-Alive\r\n"), 1, false},
      // The server said it keeps the connection but closed it: a new one, no failure.
      {"1.1 closed anyway", true, Reply("HTTP/1.1 200 OK", "OK", "", true), 2, false},
      {"no keep-alive", false, Ok(), 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedReply reply = c.reply;
    std::mutex lock;
    std::vector<int> used;  // the connection of each request
    ScriptedServer server([&, reply](const std::string&, int connection, int) {
      std::lock_guard guard(lock);
      used.push_back(connection);
      return reply;
    });
    auto distinct = [&] {
      std::lock_guard guard(lock);
      return int(std::set<int>(used.begin(), used.end()).size());
    };
    Configure("HTTP - " + Local(server.port()), c.useKeepAlive ? "UseKeepAlive=Yes" : "");
    ASSERT_EQ(Start(), "");
    EXPECT_EQ(Send("a").outcome, SubmitOutcome::Done);
    // A server that closes after its answer has closed before the next request: the check
    // of the kept connection sees it (a close racing the request is the retry schedule's).
    if (reply.closeAfter) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Send("b").outcome, SubmitOutcome::Done);
    EXPECT_EQ(distinct(), c.connectionsForTwo);
    t.passEnd();
    EXPECT_EQ(Send("c").outcome, SubmitOutcome::Done);
    EXPECT_EQ(distinct(), c.connectionsForTwo + 1) << "the end of a pass closes the kept connection";
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    std::string header = c.useKeepAlive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
    EXPECT_NE(requests[0].find(header), std::string::npos) << requests[0];
    EXPECT_EQ(DebugLog().find("Keep-Alive socket not supported by HTTP SMSC") != std::string::npos, c.notSupported);
    driver.close(w, true);
    driver = SmscDriver{};
    TearDown();
    SetUp();
  }
}

// Outcomes of queue files: errors of the provider are retried with their text, the answer
// texts fail a message at once (kept as .ERR).
TEST_F(HttpDriverTest, StatusesRetriesAndPermanentFailures) {
  struct Case {
    ScriptedReply reply;
    std::string lines;
    FileOutcome outcome;
    std::string text;
  } cases[] = {
      {Reply("HTTP/1.1 401 Unauthorized"), "", FileOutcome::Retry, "HTTPSMSC:  Invalid user name or password"},
      {Reply("HTTP/1.1 403 Forbidden"), "", FileOutcome::Retry,
       "HTTPSMSC:  Connection denied.  Possible invalid user name or password, or connection not allowed from this IP "
       "address."},
      {Reply("HTTP/1.1 500 Internal Error"), "", FileOutcome::Retry,
       "HTTPSMSC:  Connection failed, HTTP status code = 500."},
      {ScriptedReply{"", true, true}, "", FileOutcome::Retry, "HTTPSMSC:  Invalid response from server 127.0.0.1:"},
      {Ok("ERROR: no credit"), "ParseFailure=NOPE\nParseFailure1=no credit", FileOutcome::Failed,
       "HTTPSMSC:  Failure Response from SMSC"},
      {Ok("Queued"), "ParseSuccess=Accepted\nParseSuccess1=Sent", FileOutcome::Failed,
       "HTTPSMSC:  SMSC Response indicates Failure"},
      {Ok("Sent as 5"), "ParseSuccess=Accepted\nParseSuccess1=Sent", FileOutcome::Sent, ""},
      // The numbered texts end at the first empty key.
      {Ok("Queued"), "ParseFailure=NOPE\nParseFailure2=Queued", FileOutcome::Sent, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.lines);
    ScriptedReply reply = c.reply;
    ScriptedServer server([reply](const std::string&, int, int) { return reply; });
    Configure("HTTP - " + Local(server.port()), c.lines);
    ASSERT_EQ(Start(), "");
    std::string path = Queue("0000C001.req", "Data=x\r\nPhoneNumber=4477\r\n");
    EXPECT_EQ(HandleQueueFile(w, t, ".", "0000C001.req"), c.outcome);
    if (c.outcome == FileOutcome::Retry) {
      std::string content = ReadFileText(path);
      EXPECT_NE(content.find("RetryCount=1\r\n"), std::string::npos) << content;
      EXPECT_NE(content.find("LastErrorInfo=" + c.text), std::string::npos) << content;
    } else if (c.outcome == FileOutcome::Failed) {
      EXPECT_FALSE(fs::exists(path));
      std::string kept = ReadFileText(OutboundQueueRoot() + "0000C001.ERR");
      EXPECT_NE(kept.find("LastErrorInfo=" + c.text), std::string::npos) << kept;
    } else {
      EXPECT_FALSE(fs::exists(path));
    }
    driver.close(w, true);
    driver = SmscDriver{};
    TearDown();
    SetUp();
  }
}

// The id after MessageIDResponsePrefix, or the gateway's own id with "@@MessageID@@", is kept
// for reports only with TrackHTTPReceipts.
TEST_F(HttpDriverTest, MessageIdsAndTrackedReceipts) {
  struct Case {
    std::string lines;
    std::string body;
    const char* recordedId;  // null: nothing recorded
  } cases[] = {
      {"TrackHTTPReceipts=Yes", "OK MessageID= 77.", "77"},
      {"TrackHTTPReceipts=No", "OK MessageID= 78.", nullptr},
      {"TrackHTTPReceipts=Yes\nMessageIDResponsePrefix=ID:", "ID: 12345.", "12345"},
      {"TrackHTTPReceipts=Yes\nTemplateText=/?id=@@messageid@@&t=@@Text@@", "MessageID=99", "0000C002"},
      {"TrackHTTPReceipts=Yes", "accepted", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    std::string body = c.body;
    ScriptedServer server([body](const std::string&, int, int) { return Ok(body); });
    Configure("HTTP - " + Local(server.port()), c.lines);
    ASSERT_EQ(Start(), "");
    Queue("0000C002.req", "SubmitUser=alice\r\nData=x\r\nPhoneNumber=4477\r\n");
    EXPECT_EQ(HandleQueueFile(w, t, ".", "0000C002.req"), FileOutcome::Sent);
    for (const char* id : {"77", "78", "12345", "0000C002", "99"}) {
      char messageId[SMSC_MSGID_FIELD_SIZE] = {}, user[SMSC_MSGID_FIELD_SIZE] = {}, sender[SMSC_MSGID_FIELD_SIZE] = {},
           recipient[SMSC_MSGID_FIELD_SIZE] = {};
      bool found = SMSCMessageIdGet(connection.c_str(), id, messageId, user, sender, recipient) != 0;
      bool expected = c.recordedId != nullptr && std::string(id) == c.recordedId;
      EXPECT_EQ(found, expected) << id;
      if (found) {
        EXPECT_STREQ(messageId, "0000C002");
      }
    }
    driver.close(w, true);
    driver = SmscDriver{};
    TearDown();
    SetUp();
  }
}

// The session check and the failures of one request before an answer.
TEST_F(HttpDriverTest, ConnectFailures) {
  uint16_t closed = FreeTcpPort();
  Configure("HTTP - " + Local(closed), "");
  EXPECT_EQ(Start(), "HTTP Failure -- Unable to connect to HTTP server at " + Local(closed));
  Configure("HTTP - " + Local(closed), "HTTPProxy=" + Local(closed));
  EXPECT_EQ(Start(), "HTTP Failure -- Unable to connect to HTTP proxy server at " + Local(closed));
  Configure("HTTP - " + Local(closed), "BindIP=192.0.2.1");
  EXPECT_EQ(Start(), "HTTP Failure -- General Socket Error");
  {
    ScriptedServer server([](const std::string&, int, int) { return Ok(); });
    // A name written as a URL counts by its host part.
    for (std::string name : {"HTTP - http://" + Local(server.port()) + "/sms", "HTTP - " + Local(server.port())}) {
      Configure(name, "");
      ASSERT_EQ(Start(), "") << name;
      EXPECT_EQ(Send("x").outcome, SubmitOutcome::Done) << name;
    }
  }
  // The server went away after the session check.
  SubmitResult r = Send("x");
  EXPECT_EQ(r.outcome, SubmitOutcome::LinkLost);
  EXPECT_EQ(r.errorText.rfind("HTTPSMSC:  Unable to connect to server 127.0.0.1:", 0), 0u) << r.errorText;
  EXPECT_NE(t.enquireLink(), 0) << "the probe after a failure is the session check";
}

TEST_F(HttpDriverTest, ChangeCheck) {
  ScriptedServer server([](const std::string&, int, int) { return Ok(); });
  Configure("HTTP - " + Local(server.port()), "TemplateText=/a?t=@@Text@@");
  ASSERT_EQ(Start(), "");
  Configure("HTTP - " + Local(server.port()), "TemplateText=/b?t=@@Text@@\nParseSuccess=OK");
  EXPECT_FALSE(driver.reload()) << "in place";
  EXPECT_EQ(Send("x").outcome, SubmitOutcome::Done);
  EXPECT_EQ(server.Requests().back().rfind("GET /b?t=x ", 0), 0u);
  Configure("HTTP - " + Local(server.port()), "HTTPProxy=127.0.0.1:1");
  EXPECT_TRUE(driver.reload()) << "a new proxy needs a new session";
}

// The virtual SMSC sends to the address [SDKLink] gives for the recipient.
TEST_F(HttpDriverTest, SdkLinkSendsToTheRecipientsAddress) {
  ScriptedServer server([](const std::string&, int, int) { return Ok(); });
  settings->SDKLinkEnabled = true;
  connection = "SDKLINK - VirtualSMSC";
  WriteConfig("[QARHUB]\nSDKLinkEnabled=Yes\n[SDKLink]\n+4477=" + Local(server.port()) + "\n");
  BuildOutboundRoutingTables();
  ASSERT_EQ(Start(), "");
  EXPECT_EQ(Send("hello", "+4477").outcome, SubmitOutcome::Done);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].rfind("GET /?PhoneNumber=%2B4477&Sender=QAR&Text=hello HTTP/1.1\r\n", 0), 0u);
  SubmitResult r = Send("hello", "+4499");
  EXPECT_NE(r.outcome, SubmitOutcome::Done);
  EXPECT_EQ(r.errorText, "HTTPSMSC:  No address for +4499 in [SDKLink]");
}

// tinyproxy as the provider's proxy: the plain request names the whole URL; with TLS a
// CONNECT tunnel to an openssl server.
TEST_F(HttpDriverTest, ThroughTinyproxyAndTls) {
  TinyProxy proxy(home());
  if (proxy.port() == 0) GTEST_SKIP() << "tinyproxy did not start";
  ScriptedServer server([](const std::string&, int, int) { return Ok(); });
  Configure("HTTP - " + Local(server.port()), "HTTPProxy=" + Local(proxy.port()));
  ASSERT_EQ(Start(), "");
  EXPECT_EQ(Send("via proxy").outcome, SubmitOutcome::Done);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].rfind("GET /?PhoneNumber=%2B4477&Sender=QAR&Text=via%20proxy HTTP/1.1\r\n", 0), 0u)
      << server.Requests()[0];
  if (!SealCalls.Available) GTEST_SKIP() << "qarseal not available";
  OpensslServer tls(CertDirectory + "SERVER.PEM", CertDirectory + "SERVER.KEY");
  ASSERT_NE(tls.port(), 0) << "openssl s_server did not start";
  Configure("HTTP - " + Local(tls.port()), "UseSSL=Yes\nHTTPProxy=" + Local(proxy.port()));
  ASSERT_EQ(Start(), "");
  SubmitResult r = Send("tunnel");
  EXPECT_EQ(r.outcome, SubmitOutcome::Done) << r.errorText;
  Configure("HTTP - " + Local(tls.port()), "UseSSL=Yes");
  ASSERT_EQ(Start(), "");
  r = Send("direct");
  EXPECT_EQ(r.outcome, SubmitOutcome::Done) << r.errorText;
  // A proxy that refuses the tunnel, and a server without TLS.
  TunnelProxy refusing(403);
  Configure("HTTP - " + Local(tls.port()), "UseSSL=Yes\nHTTPProxy=" + Local(refusing.port()));
  ASSERT_EQ(Start(), "");
  r = Send("x");
  EXPECT_EQ(r.errorText, "HTTPSMSC:  Proxy server rejected request to connect to " + Local(tls.port()));
  // A server that answers in plain text and closes.
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener.get(), 4), 0);
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  uint16_t plainPort = ntohs(address.sin_port);
  std::thread plain([&] {
    for (int i = 0; i < 2; ++i) {  // the session check, then the request
      UniqueFd c(accept(listener.get(), nullptr, nullptr));
      if (c) (void)!write(c.get(), "HTTP/1.0 400 Bad Request\r\n\r\n", 28);
    }
  });
  Configure("HTTP - " + Local(plainPort), "UseSSL=Yes");
  ASSERT_EQ(Start(), "");
  r = Send("x");
  plain.join();
  EXPECT_EQ(r.errorText.rfind("HTTPSMSC:  Unable to negotiate SSL/TLS connection to " + Local(plainPort) + " -- ", 0),
            0u)
      << r.errorText;
}

// TLS straight to the provider: the request bytes inside the session.
TEST_F(HttpDriverTest, TlsRequestBytes) {
  if (!SealCalls.Available) GTEST_SKIP() << "qarseal not available";
  std::set<int> used;
  std::mutex lock;
  ScriptedServer server(
      [&](const std::string&, int connection, int) {
        std::lock_guard guard(lock);
        used.insert(connection);
        return Ok();
      },
      true);
  Configure("HTTP - " + Local(server.port()), "UseSSL=Yes\nUseKeepAlive=Yes");
  ASSERT_EQ(Start(), "");
  EXPECT_EQ(Send("a").outcome, SubmitOutcome::Done);
  EXPECT_EQ(Send("b").outcome, SubmitOutcome::Done);
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1], "GET /?PhoneNumber=%2B4477&Sender=QAR&Text=b HTTP/1.1\r\n" + kAgent + "Host: " +
                                      Local(server.port()) + "\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(used.size(), 1u) << "kept inside the TLS session";
}

}  // namespace
