// qardial from outside: the gateway check, requests through tinyproxy to a loopback server
// (the bytes the server sees, the answer the caller gets), a UDP gateway refused, and the
// modem arbiter between the MMS and the SMS worker.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "outside/qardial/qardial.h"
#include "runtime/unique_fd.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"

namespace {

TEST(Qardial, GatewayCheckAndConnect) {
  TempDir dir;
  TinyProxy proxy(dir.path());
  if (proxy.port() == 0) GTEST_SKIP() << "tinyproxy not installed";
  std::string viaProxy = "http:127.0.0.1:" + std::to_string(proxy.port());
  std::string closed = "http:127.0.0.1:" + std::to_string(FreeTcpPort());
  struct {
    std::string gateway;
    int dial, connect;
  } cases[] = {{viaProxy, 0, 1}, {"http://127.0.0.1:" + std::to_string(proxy.port()), 0, 1}, {closed, 1, 0},
               {"10.0.0.1:9201", 0, 0}, {"", 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gateway);
    EXPECT_EQ(WSPRasDial("profile", "apn", "", "", c.gateway.c_str()), c.dial);
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    WSPContext context{};
    EXPECT_EQ(WSPConnect(sock.get(), c.gateway.c_str(), "", &context, "profile"), c.connect);
    EXPECT_EQ(context.connected, c.connect);
  }
}

TEST(Qardial, RequestsThroughTheProxy) {
  TempDir dir;
  TinyProxy proxy(dir.path());
  if (proxy.port() == 0) GTEST_SKIP() << "tinyproxy not installed";
  ScriptedServer content([](const std::string& request, int, int) {
    if (request.find("/chunked") != std::string::npos)
      return ScriptedReply{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false};
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: 4\r\n\r\n" +
                             std::string("\x8C\x84\x98\x00", 4),
                         false};
  });
  std::string gateway = "http:127.0.0.1:" + std::to_string(proxy.port());
  std::string url = "http://127.0.0.1:" + std::to_string(content.port());
  struct {
    std::string path, bodyEnd;
  } cases[] = {{"/mms?id=1", std::string("\r\n\r\n\x8C\x84\x98\x00", 8)}, {"/chunked", "\r\n0\r\n\r\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    WSPContext context{};
    ASSERT_EQ(WSPConnect(sock.get(), gateway.c_str(), "x-wap-profile: http://p/ua.xml\r\n", &context, ""), 1);
    std::string request = "GET " + url + c.path + " HTTP/1.1\r\nAccept: application/vnd.wap.mms-message\r\n"
                          "Host: 127.0.0.1\r\n\r\n";
    char* answer = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(WSPRequest(sock.get(), gateway.c_str(), &context, request.data(), static_cast<uint32_t>(request.size()),
                         &answer, &length, ""),
              0);
    std::string got(answer, length);
    free(answer);
    EXPECT_TRUE(got.starts_with("HTTP/1.")) << got;
    EXPECT_TRUE(got.ends_with(c.bodyEnd)) << got;
    EXPECT_EQ(WSPDisconnect(sock.get(), gateway.c_str(), &context, ""), 0);
  }
  std::vector<std::string> seen = content.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].starts_with("GET /mms?id=1 HTTP/1.")) << seen[0];
  EXPECT_NE(seen[0].find("x-wap-profile: http://p/ua.xml\r\n"), std::string::npos) << seen[0];
}

TEST(Qardial, ModemArbiter) {
  const char* modem = "GSM9";
  volatile int stop = 0;
  void* sms = ModemAllocate(modem, 0, &stop);  // the SMS session has it
  ASSERT_NE(sms, nullptr);
  EXPECT_EQ(ModemRequested(sms), 0);
  EXPECT_EQ(ModemAllocate(modem, 0, &stop), nullptr);  // one holder at a time
  EXPECT_EQ(ModemRequested(sms), 0);                   // a caller that gave up waits no more
  stop = 1;
  EXPECT_EQ(ModemAllocate(modem, 30, &stop), nullptr);  // the stop ends the wait
  stop = 0;
  // The MMS worker waits: the SMS session sees it asked for and leaves the modem.
  void* mms = nullptr;
  std::thread worker([&] { mms = ModemAllocate(modem, 30, &stop); });
  while (ModemRequested(sms) == 0) std::this_thread::yield();
  ModemRelease(sms);
  worker.join();
  ASSERT_NE(mms, nullptr);
  EXPECT_EQ(ModemRequested(mms), 0);
  // And back: the SMS session waits until the MMS worker is done.
  std::thread session([&] { sms = ModemAllocate(modem, 30, &stop); });
  while (ModemRequested(mms) == 0) std::this_thread::yield();
  ModemRelease(mms);
  session.join();
  ASSERT_NE(sms, nullptr);
  ModemRelease(sms);
  void* other = ModemAllocate("GSM8", 0, &stop);  // another modem is free at once
  EXPECT_NE(other, nullptr);
  ModemRelease(other);
  char text[100];
  EXPECT_EQ(WSPRasGetErrorString(1, text, sizeof text), 0);
  EXPECT_STREQ(text, "The WAP gateway did not answer");
}

}  // namespace
