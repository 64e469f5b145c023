// The real gateway sending through a real provider's HTTP interface: Kannel's bearerbox and
// smsbox with a fake SMS centre, whose client fakesmsc prints what it is given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/gateway_process.h"

namespace fs = std::filesystem;

namespace {

const char* kBearerbox = "/usr/sbin/bearerbox";
const char* kSmsbox = "/usr/sbin/smsbox";
const char* kFakesmsc = "/usr/lib/kannel/test/fakesmsc";

const std::string kTextTemplate =
    "/cgi-bin/sendsms?username=@@UserName@@&password=@@Password@@&from=@@Sender@@&to=@@PhoneNumber@@"
    "&text=@@Text@@&charset=utf-8";
const std::string kBinaryTemplate =
    "/cgi-bin/sendsms?username=@@UserName@@&password=@@Password@@&from=@@Sender@@&to=@@PhoneNumber@@"
    "&udh=@@UDHBin@@&text=@@DataBin@@&coding=1";

// bearerbox, smsbox (sendsms user gw/secret) and fakesmsc on free ports of a temporary folder.
struct Kannel {
  GatewayHome dir;  // only a temporary folder here
  uint16_t admin = FreeTcpPort(), box = FreeTcpPort(), fake = FreeTcpPort(), sendsms = FreeTcpPort();
  std::unique_ptr<GatewayProcess> bearerbox, smsbox, fakesmsc;

  bool Start() {
    std::string d = dir.path();
    fs::create_directories(d + "spool");
    WriteFileText(d + "kannel.conf",
                  "group = core\nadmin-port = " + std::to_string(admin) +
                      "\nadmin-password = adm\nsmsbox-port = " + std::to_string(box) +
                      "\nbox-allow-ip = 127.0.0.1\nlog-level = 1\nstore-type = spool\nstore-location = \"" + d +
                      "spool\"\n\n"
                      "group = smsc\nsmsc = fake\nsmsc-id = FAKE\nport = " +
                      std::to_string(fake) +
                      "\nconnect-allow-ip = 127.0.0.1\n\n"
                      "group = smsbox\nbearerbox-host = 127.0.0.1\nsendsms-port = " +
                      std::to_string(sendsms) +
                      "\nlog-level = 1\n\n"
                      "group = sendsms-user\nusername = gw\npassword = secret\nmax-messages = 10\n"
                      "concatenation = true\n");
    bearerbox = std::make_unique<GatewayProcess>(dir, kBearerbox, std::vector<std::string>{d + "kannel.conf"});
    if (!WaitUntil(20000, [&] { return PortAccepts(fake) && PortAccepts(box); })) return false;
    smsbox = std::make_unique<GatewayProcess>(dir, kSmsbox, std::vector<std::string>{d + "kannel.conf"});
    if (!WaitUntil(20000, [&] { return PortAccepts(sendsms); })) return false;
    // fakesmsc reads what it is given between the messages it sends itself (one every half
    // second, answered by smsbox with an error that is of no interest here).
    fakesmsc = std::make_unique<GatewayProcess>(
        dir, kFakesmsc,
        std::vector<std::string>{"-H", "127.0.0.1", "-r", std::to_string(fake), "-i", "0.5", "-m", "-1", "1 2 text x"});
    return fakesmsc->WaitForOutput("Got message", 20000);
  }
  // The "Got message" lines for messages other than smsbox's answers, in order.
  std::vector<std::string> Received() const {
    std::vector<std::string> out;
    std::string text = fakesmsc->Output();
    for (size_t at = text.find("Got message"); at != std::string::npos; at = text.find("Got message", at + 1)) {
      size_t open = text.find('<', at);
      size_t next = text.find('\n', at);
      if (open == std::string::npos || open > next) continue;
      // A line break inside a message ends the log line; the rest follows on the next.
      std::string line = text.substr(open, next == std::string::npos ? std::string::npos : next - open);
      if (line.find("Request Failed") == std::string::npos) out.push_back(line);
    }
    return out;
  }
};

struct Gateway {
  GatewayHome home;
  uint16_t webPort = FreeTcpPort();
  std::string connection;
  void Configure(uint16_t sendsms, const std::string& password, const std::string& extra = "") {
    connection = "HTTP - 127.0.0.1:" + std::to_string(sendsms);
    home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(webPort), "Modem1=" + connection, "InitRetryDelay=1",
                      "InitRetryDelayMax=2"},
                     "[" + connection + "]\r\nUserName=gw\r\nPassword=" + password +
                         "\r\nTemplateText=" + kTextTemplate + "\r\nTemplateBinary=" + kBinaryTemplate +
                         "\r\nParseSuccess=Accepted\r\nRetryDelay=1\r\nRetryDelayAfterAttempts=5\r\n" + extra);
  }
};

#define REQUIRE_KANNEL()                                                                           \
  if (access(kBearerbox, X_OK) != 0 || access(kSmsbox, X_OK) != 0 || access(kFakesmsc, X_OK) != 0) \
  GTEST_SKIP() << "bearerbox, smsbox or fakesmsc is not installed (Debian kannel, kannel-extras)"

TEST(KannelProvider, TextAndBinaryArriveUnchanged) {
  REQUIRE_KANNEL();
  Kannel kannel;
  ASSERT_TRUE(kannel.Start()) << kannel.bearerbox->Output() << kannel.smsbox->Output();
  Gateway g;
  g.Configure(kannel.sendsms, "secret");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.webPort)) << p.Output();
  g.home.DropQueueFile("0000D001.req", "Sender=+4411\r\nData=+ & % \xE2\x82\xAC\\r\\nline2\r\nPhoneNumber=+4477\r\n");
  g.home.DropQueueFile("0000D002.req",
                       "Sender=+4412\r\nBinary=1\r\nData=C0FFEE\r\nUDH=0605040B8423F0\r\nPhoneNumber=+4478\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return kannel.Received().size() >= 3; })) << kannel.fakesmsc->Output();
  std::vector<std::string> got = kannel.Received();
  ASSERT_EQ(got.size(), 3u);
  // The line break reaches fakesmsc inside the text: fakesmsc reads line by line and shows
  // the rest after it as a message of its own.
  auto text = std::find(got.begin(), got.end(), "<+4411 +4477 text + & % \xE2\x82\xAC>");
  ASSERT_NE(text, got.end()) << got[0] << got[1] << got[2];
  ASSERT_NE(text + 1, got.end());
  EXPECT_EQ(*(text + 1), "<line2>");
  EXPECT_NE(std::find(got.begin(), got.end(), "<+4412 +4478 udh %06%05%04%0B%84%23%F0 data %C0%FF%EE>"), got.end());
  ASSERT_TRUE(WaitUntil(10000, [&] {
    return !fs::exists(g.home.path() + "Q/0000D001.req") && !fs::exists(g.home.path() + "Q/0000D002.req");
  }));
  EXPECT_NE(g.home.OutboundLog().find("OK -- " + g.connection), std::string::npos) << g.home.OutboundLog();
  // The request is in the debug log without the provider's password.
  std::string log = g.home.DebugLog();
  EXPECT_NE(log.find("/cgi-bin/sendsms?username=gw&password="), std::string::npos);
  EXPECT_EQ(log.find("secret"), std::string::npos);
  usleep(1500000);
  EXPECT_EQ(kannel.Received().size(), 3u) << "each message once";
}

TEST(KannelProvider, WrongPasswordGetsTheDeniedTextAndARetry) {
  REQUIRE_KANNEL();
  Kannel kannel;
  ASSERT_TRUE(kannel.Start()) << kannel.bearerbox->Output() << kannel.smsbox->Output();
  Gateway g;
  g.Configure(kannel.sendsms, "wrong");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.webPort)) << p.Output();
  g.home.DropQueueFile("0000D003.req", "Sender=+4411\r\nData=x\r\nPhoneNumber=+4477\r\n");
  std::string path = g.home.path() + "Q/0000D003.req";
  ASSERT_TRUE(WaitUntil(30000, [&] { return ReadFileText(path).find("RetryCount=2\r\n") != std::string::npos; }))
      << ReadFileText(path) << p.Output();
  EXPECT_NE(ReadFileText(path).find("LastErrorInfo=HTTPSMSC:  Connection denied.  Possible invalid user name or "
                                    "password, or connection not allowed from this IP address. -- " +
                                    g.connection),
            std::string::npos)
      << ReadFileText(path);
  EXPECT_NE(g.home.OutboundLog().find("Retry Pending - HTTPSMSC:  Connection denied."), std::string::npos)
      << g.home.OutboundLog();
  EXPECT_TRUE(kannel.Received().empty());
}

// The virtual SMSC of worker 0 forwards a message for a number of [SDKLink] to its address.
TEST(KannelProvider, VirtualSmscForwardsToTheSdkLinkAddress) {
  REQUIRE_KANNEL();
  Kannel kannel;
  ASSERT_TRUE(kannel.Start()) << kannel.bearerbox->Output() << kannel.smsbox->Output();
  GatewayHome home;
  uint16_t webPort = FreeTcpPort();
  home.WriteConfig({"Debug=Yes", "WebPort=" + std::to_string(webPort), "SDKLinkEnabled=Yes"},
                   "[SDKLink]\r\n+4466=127.0.0.1:" + std::to_string(kannel.sendsms) +
                       "\r\n[Modem - SDKLINK - VirtualSMSC]\r\nUserName=gw\r\nPassword=secret\r\nTemplateText=" +
                       kTextTemplate + "\r\nParseSuccess=Accepted\r\n");
  GatewayProcess p(home);
  ASSERT_TRUE(WaitReady(p, webPort)) << p.Output();
  home.DropQueueFile("0000D004.req", "Sender=+4411\r\nData=to the SDK\r\nPhoneNumber=+4466\r\n");
  ASSERT_TRUE(WaitUntil(30000, [&] { return !kannel.Received().empty(); })) << p.Output();
  EXPECT_EQ(kannel.Received()[0], "<+4411 +4466 text to the SDK>");
}

// A provider that does not answer: the session check fails each round with its text in the
// error file, and the message waits untouched.
TEST(HttpProvider, UnreachableProviderIsReportedAndNothingIsSent) {
  Gateway g;
  uint16_t closed = FreeTcpPort();
  g.Configure(closed, "secret");
  g.home.DropQueueFile("0000D005.req", "Sender=+4411\r\nData=x\r\nPhoneNumber=+4477\r\n");
  std::string queued = ReadFileText(g.home.path() + "Q/0000D005.req");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.webPort)) << p.Output();
  std::string errorFile = g.home.path() + "PRIVATE/HTTP - 127.0.0.1-" + std::to_string(closed) + ".ERR";
  ASSERT_TRUE(WaitUntil(20000, [&] { return fs::exists(errorFile); })) << p.Output();
  EXPECT_EQ(ReadFileText(errorFile),
            "HTTP Failure -- Unable to connect to HTTP server at 127.0.0.1:" + std::to_string(closed));
  EXPECT_TRUE(
      p.WaitForOutput("Error initializing SMSC Interface '" + g.connection + "'.  Interface is not available.", 30000))
      << p.Output();
  EXPECT_EQ(ReadFileText(g.home.path() + "Q/0000D005.req"), queued);
}

}  // namespace
