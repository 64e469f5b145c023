// Kannel's bearerbox and smsbox as an independent client application bound to the gateway
// as transceiver: its sendsms texts (short, long, Unicode) become the right queue files, and
// a message in the account's queue reaches its sms-service's get-url.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "outside/qarpeer/tests/node_peer.h"
#include "tests/support/child_process.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace fs = std::filesystem;

namespace {
bool Installed(const char* path) { return access(path, X_OK) == 0; }

std::vector<std::string> QueuedFiles(const std::string& home) {
  std::vector<std::string> out;
  for (const std::string& path : FilesUnder(home + "Q"))
    if (path.size() > 4 && path.substr(path.size() - 4) == ".req") out.push_back(ReadFileText(path));
  return out;
}

// Kannel bound to the gateway's SMPP port as transceiver of the account kannel/kpw, its
// sms-service fetching from servicePort: bearerbox first, smsbox once the gateway saw the bind.
struct KannelBoxes {
  std::string dir;
  uint16_t sendsms = FreeTcpPort();
  ChildProcess bearerbox, smsbox;

  ::testing::AssertionResult Start(const WebGateway& g, uint16_t smppPort, bool tls, uint16_t servicePort) {
    dir = g.home.path() + "kannel/";
    fs::create_directories(dir);
    uint16_t admin = FreeTcpPort(), box = FreeTcpPort();
    std::string conf =
        "group = core\nadmin-port = " + std::to_string(admin) + "\nadmin-password = t\nsmsbox-port = " +
        std::to_string(box) + "\nbox-allow-ip = 127.0.0.1\nlog-level = 0\nlog-file = \"" + dir +
        "bearerbox.log\"\nstore-type = file\nstore-location = \"" + dir + "kannel.store\"\n"
        "\ngroup = smsc\nsmsc = smpp\nsmsc-id = gw\nhost = 127.0.0.1\nport = " + std::to_string(smppPort) +
        (tls ? "\nuse-ssl = true" : "") + "\ntransceiver-mode = true\nsmsc-username = kannel\nsmsc-password = kpw\nsystem-type = VMA\n"
        "\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(box) +
        "\nsendsms-port = " + std::to_string(sendsms) + "\nlog-level = 1\nlog-file = \"" + dir + "smsbox.log\"\n"
        "\ngroup = sendsms-user\nusername = t\npassword = t\nmax-messages = 3\nconcatenation = true\n"
        "\ngroup = sms-service\nkeyword = default\nget-url = \"http://127.0.0.1:" + std::to_string(servicePort) +
        "/in?from=%p&to=%P&text=%a\"\nmax-messages = 0\n";
    WriteFileText(dir + "kannel.conf", conf);
    if (!bearerbox.Start({"/usr/sbin/bearerbox", dir + "kannel.conf"})) return ::testing::AssertionFailure() << "no bearerbox";
    if (!WaitUntil(10000, [&] { return g.home.DebugLog().find("SMPP login of kannel") != std::string::npos; }))
      return ::testing::AssertionFailure() << "no bind\n" << ReadFileText(dir + "bearerbox.log");
    if (!smsbox.Start({"/usr/sbin/smsbox", dir + "kannel.conf"})) return ::testing::AssertionFailure() << "no smsbox";
    return ::testing::AssertionSuccess();
  }
  ~KannelBoxes() {
    smsbox.Stop(2000);
    bearerbox.Stop(2000);
  }
};
}  // namespace

class KannelE2e : public ::testing::TestWithParam<bool> {};

TEST_P(KannelE2e, KannelBindsSubmitsAndReceives) {
  bool tls = GetParam();
  if (!Installed("/usr/sbin/bearerbox") || !Installed("/usr/sbin/smsbox")) GTEST_SKIP() << "Kannel is not installed";
  std::vector<std::string> gets;
  std::mutex getsLock;
  ScriptedServer service([&](const std::string& request, int, int) {
    {
      std::lock_guard<std::mutex> guard(getsLock);
      gets.push_back(request.substr(0, request.find("\r\n")));
    }
    return ScriptedReply{"HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", true};
  });
  WebGateway g;
  uint16_t plainPort = FreeTcpPort(), secure = FreeTcpPort();
  uint16_t smpp = tls ? secure : plainPort;
  g.Configure({"SMPPPort=" + std::to_string(plainPort), "SMPPPortSSL=" + std::to_string(secure)});
  GatewayProcess gateway(g.home);
  ASSERT_TRUE(WaitReady(gateway, g.port)) << gateway.Output();
  {
    GatewayProcess tool(g.home, "qaruser", {"add", "kannel", "kpw", "--smpp", "--receive"});
    int code = -1;
    ASSERT_TRUE(tool.WaitExit(10000, code));
  }
  KannelBoxes kannel;
  ASSERT_TRUE(kannel.Start(g, smpp, tls, service.port()));
  const std::string& dir = kannel.dir;
  uint16_t sendsms = kannel.sendsms;
  std::string base = "http://127.0.0.1:" + std::to_string(sendsms) + "/cgi-bin/sendsms?username=t&password=t&from=4477";
  ASSERT_TRUE(WaitUntil(15000, [&] {
    return Curl({"-s", "-o", "/dev/null", "-w", "%{http_code}", base + "&to=447700900101&text=hello+kannel"}) != "000";
  }));
  Curl({"-s", base + "&to=447700900102&text=" + std::string(200, 'k')});
  Curl({"-s", base + "&to=447700900103&charset=utf-8&coding=2&text=%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82"});
  std::vector<std::string> files;
  ASSERT_TRUE(WaitUntil(15000, [&] {
    files = QueuedFiles(g.home.path());
    return files.size() >= 4;
  })) << files.size() << ReadFileText(dir + "bearerbox.log");
  size_t plain = 0, segments = 0, unicode = 0;
  for (const std::string& f : files) {
    EXPECT_NE(f.find("SubmitUser=kannel\r\n"), std::string::npos) << f;
    if (f.find("PhoneNumber=447700900101") != std::string::npos && f.find("Data=hello kannel") != std::string::npos)
      ++plain;
    if (f.find("PhoneNumber=447700900102") != std::string::npos && f.find("UDH=050003") != std::string::npos)
      ++segments;
    if (f.find("PhoneNumber=447700900103") != std::string::npos &&
        f.find("Data=041F04400438043204350442") != std::string::npos)
      ++unicode;
  }
  EXPECT_EQ(plain, 1u);
  EXPECT_EQ(segments, 2u);
  EXPECT_EQ(unicode, 1u);

  // A message for the account leaves its queue for Kannel, whose service fetches its URL.
  WriteFileText(g.home.path() + "USERS/kannel/Q/in.req",
                "[SMS-IN]\r\nPhoneNumber=12345\r\nSender=447700900555\r\nData=to kannel\r\n");
  ASSERT_TRUE(WaitUntil(15000, [&] {
    std::lock_guard<std::mutex> guard(getsLock);
    for (const std::string& get : gets)
      if (get.find("text=to+kannel") != std::string::npos || get.find("text=to%20kannel") != std::string::npos)
        return true;
    return false;
  })) << ReadFileText(dir + "smsbox.log") << ReadFileText(dir + "bearerbox.log") << g.home.DebugLog();
}

// Kannel asks for a delivery report (dlr-mask, dlr-url): the message leaves through an SMS
// centre of the npm "smpp" package, the centre's receipt comes back to Kannel on its bind
// naming the id Kannel was given, and Kannel reports the message delivered on its dlr-url.
TEST(KannelE2eReport, ReceiptReachesKannelsDlrUrl) {
  if (!Installed("/usr/sbin/bearerbox") || !Installed("/usr/sbin/smsbox")) GTEST_SKIP() << "Kannel is not installed";
  if (!EnsureNodeSmpp(SMPPSERVER_NPM_DIR)) GTEST_SKIP() << "npm could not install smpp";
  std::vector<std::string> gets;
  std::mutex getsLock;
  ScriptedServer recorder([&](const std::string& request, int, int) {
    {
      std::lock_guard<std::mutex> guard(getsLock);
      gets.push_back(request.substr(0, request.find("\r\n")));
    }
    return ScriptedReply{"HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", true};
  });
  auto recorded = [&](const std::string& part) {
    std::lock_guard<std::mutex> guard(getsLock);
    for (const std::string& get : gets)
      if (get.find(part) != std::string::npos) return get;
    return std::string();
  };
  NodePeer smsc;
  ASSERT_TRUE(smsc.Start(SMPPSERVER_NPM_DIR, std::string(SMPPSERVER_PEER_SCRIPTS) + "/smsc_server.js", {"{}"}));
  std::string line;
  ASSERT_TRUE(smsc.WaitFor("LISTENING ", line, 10000));
  std::string connection = "SMPP - 127.0.0.1:" + line.substr(10);
  WebGateway g;
  uint16_t smpp = FreeTcpPort();
  g.Configure({"SMPPPort=" + std::to_string(smpp), "Modem1=" + connection, "ReceiveSMS=Yes", "InitRetryDelay=1",
               "InitRetryDelayMax=2"},
              "[" + connection + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n");
  GatewayProcess gateway(g.home);
  ASSERT_TRUE(WaitReady(gateway, g.port)) << gateway.Output();
  {
    GatewayProcess tool(g.home, "qaruser", {"add", "kannel", "kpw", "--smpp", "--receive"});
    int code = -1;
    ASSERT_TRUE(tool.WaitExit(10000, code));
  }
  // Made at start for the accounts then known; this one came later.
  WriteFileText(g.home.path() + "USERS/kannel/RECV.FLG", "");
  ASSERT_TRUE(smsc.WaitFor("PDU bind_transceiver ", line, 20000)) << gateway.Output();
  KannelBoxes kannel;
  ASSERT_TRUE(kannel.Start(g, smpp, false, recorder.port()));
  const std::string& dir = kannel.dir;
  uint16_t sendsms = kannel.sendsms;
  std::string dlrUrl = "http://127.0.0.1:" + std::to_string(recorder.port()) + "/dlr?status=%d&to=%p";
  std::string escaped;
  for (char c : dlrUrl) {
    if (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') {
      escaped += c;
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      escaped += hex;
    }
  }
  std::string send = "http://127.0.0.1:" + std::to_string(sendsms) +
                     "/cgi-bin/sendsms?username=t&password=t&from=556&to=4478&text=report+me&dlr-mask=1&dlr-url=" +
                     escaped;
  std::string status;  // sent once: a refused connection means smsbox is not listening yet
  ASSERT_TRUE(WaitUntil(15000, [&] { return (status = CurlStatus(Curl({send}))) != "000"; }));
  ASSERT_EQ(status, "202") << ReadFileText(dir + "smsbox.log");
  // The centre numbers its ids MSG1, MSG2, ...: this is the first message it took.
  ASSERT_TRUE(smsc.WaitFor("PDU submit_sm ", line, 30000)) << g.home.DebugLog() << ReadFileText(dir + "bearerbox.log");
  EXPECT_NE(line.find("report me"), std::string::npos) << line;
  EXPECT_NE(line.find("\"registered_delivery\":1"), std::string::npos) << line;
  // The centre's id is recorded once the file has left the queue.
  ASSERT_TRUE(WaitUntil(15000, [&] { return QueuedFiles(g.home.path()).empty(); }));
  smsc.Send(R"(deliver {"source_addr":"4478","destination_addr":"556","esm_class":4,)"
            R"("short_message":"id:MSG1 sub:001 dlvrd:001 submit date:2612071200 )"
            R"(done date:2612071201 stat:DELIVRD err:000 text:report me"})");
  ASSERT_TRUE(smsc.WaitFor("DELIVER_RESP ", line, 10000));
  EXPECT_EQ(line, "DELIVER_RESP 0");
  ASSERT_TRUE(WaitUntil(30000, [&] { return !recorded("/dlr?").empty(); }))
      << ReadFileText(dir + "bearerbox.log") << ReadFileText(dir + "smsbox.log") << g.home.DebugLog();
  std::string dlr = recorded("/dlr?");
  EXPECT_NE(dlr.find("status=1&"), std::string::npos) << dlr;  // 1: delivered to the phone
  EXPECT_NE(dlr.find("to=4478"), std::string::npos) << dlr;
  EXPECT_TRUE(recorded("/in?").empty()) << "the report reached Kannel as a message: " << recorded("/in?");
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, KannelE2e, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });
