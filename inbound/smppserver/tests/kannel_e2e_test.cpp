// Kannel's bearerbox and smsbox as an independent client application bound to the gateway
// as transceiver: its sendsms texts (short, long, Unicode) become the right queue files, and
// a message in the account's queue reaches its sms-service's get-url.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

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
  std::string dir = g.home.path() + "kannel/";
  fs::create_directories(dir);
  uint16_t admin = FreeTcpPort(), box = FreeTcpPort(), sendsms = FreeTcpPort();
  std::string conf =
      "group = core\nadmin-port = " + std::to_string(admin) + "\nadmin-password = t\nsmsbox-port = " +
      std::to_string(box) + "\nbox-allow-ip = 127.0.0.1\nlog-level = 0\nlog-file = \"" + dir +
      "bearerbox.log\"\nstore-type = file\nstore-location = \"" + dir + "kannel.store\"\n"
      "\ngroup = smsc\nsmsc = smpp\nsmsc-id = gw\nhost = 127.0.0.1\nport = " + std::to_string(smpp) +
      (tls ? "\nuse-ssl = true" : "") + "\ntransceiver-mode = true\nsmsc-username = kannel\nsmsc-password = kpw\nsystem-type = VMA\n"
      "\ngroup = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " + std::to_string(box) +
      "\nsendsms-port = " + std::to_string(sendsms) + "\nlog-level = 1\nlog-file = \"" + dir + "smsbox.log\"\n"
      "\ngroup = sendsms-user\nusername = t\npassword = t\nmax-messages = 3\nconcatenation = true\n"
      "\ngroup = sms-service\nkeyword = default\nget-url = \"http://127.0.0.1:" + std::to_string(service.port()) +
      "/in?from=%p&to=%P&text=%a\"\nmax-messages = 0\n";
  WriteFileText(dir + "kannel.conf", conf);
  ChildProcess bearerbox, smsbox;
  ASSERT_TRUE(bearerbox.Start({"/usr/sbin/bearerbox", dir + "kannel.conf"}));
  ASSERT_TRUE(WaitUntil(10000, [&] { return g.home.DebugLog().find("SMPP login of kannel") != std::string::npos; }))
      << ReadFileText(dir + "bearerbox.log");
  ASSERT_TRUE(smsbox.Start({"/usr/sbin/smsbox", dir + "kannel.conf"}));
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
  smsbox.Stop(2000);
  bearerbox.Stop(2000);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, KannelE2e, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });
