#include "web/tests/web_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include "config/settings.h"
#include "outside/outside_tables.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/waits.h"
#include "runtime/debug_log.h"
#include "runtime/socket_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "outside/seal_table.h"
#include "web/web_menu.h"
#include "web/web_server.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"
#include "web/web_settings.h"

WebTestGateway TestGateway;

namespace {
UniqueFd PlainListener;
UniqueFd TlsListener;

std::unique_ptr<TestDataFolder> Folder;

class GatewayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Folder = std::make_unique<TestDataFolder>();
    TestGateway.home = Folder->path();
    DebugSettings.CopyToStderr = false;
    DebugSettings.Debug = true;
    DebugSettings.RotationWaitMs = 0;
    ResetWebTestSettings();
    ASSERT_TRUE(InstallDefaultWebPages(WebSettings.HtmlDirectory));

    ListenResult plain = OpenTcpListener("127.0.0.1", 0, 100);
    ASSERT_TRUE(plain.socket.valid());
    PlainListener = std::move(plain.socket);
    TestGateway.plainPort = BoundPort(PlainListener.get());
    int fd = PlainListener.get();
    ASSERT_TRUE(StartServiceThread("ThreadListenForConnections", [fd] { ThreadListenForConnections(fd); }));

    LoadSealLibrary(BinDirectory());
    if (!OutsideLibraries.sslAvailable) return;
    auto generate = OutsideLibraries.seal.Call<sslGenerateCertificate_t>(seal::sslGenerateCertificate);
    char error[500] = {0};
    ASSERT_EQ(generate("localhost", error, sizeof error), 1) << error;
    bool server = OutsideLibraries.seal.Call<sslServerCertExists_t>(seal::sslServerCertExists)() != 0;
    ASSERT_TRUE(BindSealTable(OutsideLibraries.seal, true, server, SealCalls));
    ListenResult tls = OpenTcpListener("127.0.0.1", 0, 100);
    ASSERT_TRUE(tls.socket.valid());
    TlsListener = std::move(tls.socket);
    TestGateway.tlsPort = BoundPort(TlsListener.get());
    int tfd = TlsListener.get();
    ASSERT_TRUE(StartServiceThread("ThreadLsitenForSSLConnections", [tfd] { ThreadListenForSSLConnections(tfd); }));
  }

  void TearDown() override {
    AnnounceShutdown();
    WaitForServiceThreads();
    PlainListener.reset();
    TlsListener.reset();
    Folder.reset();
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new GatewayEnvironment);
}  // namespace

void ResetWebTestSettings() {
  WebSettings = WebSettingsRecord{};
  WebSettings.HtmlDirectory = TestGateway.home + "html/";
  WebSettings.UsersDirectory = TestGateway.home + "USERS/";
  IPRestrictions = IPRestrictionLists{};
  FailedLoginCount.store(0);
}

UniqueFd ConnectLoopback(uint16_t port, const std::string& fromAddress) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, fromAddress.c_str(), &local.sin_addr);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
  struct sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return UniqueFd();
  return s;
}

std::string ReadUntilQuiet(int socket, int timeoutMs) {
  std::string out;
  char buf[65536];
  for (;;) {
    struct pollfd pfd = {socket, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) break;
    ssize_t n = recv(socket, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string ReadUntilContains(int socket, const std::string& word, int timeoutMs) {
  std::string out;
  char buf[65536];
  uint64_t start = TickMs();
  while (out.find(word) == std::string::npos && TickMs() - start < uint64_t(timeoutMs)) {
    struct pollfd pfd = {socket, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    ssize_t n = recv(socket, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string RawExchange(const std::string& request, const std::string& fromAddress, int timeoutMs, uint16_t port) {
  UniqueFd s = ConnectLoopback(port != 0 ? port : TestGateway.plainPort, fromAddress);
  if (!s) return "<connect failed>";
  if (!request.empty() && send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return "<send failed>";
  return ReadUntilQuiet(s.get(), timeoutMs);
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(("timeout 30 " + command).c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(TestGateway.plainPort) + path; }

size_t CountOf(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t p = text.find(word); p != std::string::npos; p = text.find(word, p + word.size())) ++n;
  return n;
}
