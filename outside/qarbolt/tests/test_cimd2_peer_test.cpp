// The library against Debian's CIMD2 test server (kannel-extras): login, submits, alive,
// and a server that floods the link with garbage.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "outside/qarbolt/qarbolt.h"
#include "tests/support/child_process.h"
#include "tests/support/ports.h"

namespace {

constexpr const char* kServer = "/usr/lib/kannel/test/test_cimd2";

// One test server (it serves one client, then stops listening) and our session with it.
struct PeerLink {
  ChildProcess server;
  int sock = -1;
  const char* name = "CIMD - test_cimd2";
  bool Start(const char* spew = "0") {
    uint16_t port = FreeTcpPort();
    std::string portText = std::to_string(port);
    if (!server.Start({kServer, "--activity", "1", "--user", "U", "--password", "P", "--port", portText, "--spew",
                       spew}))
      return false;
    // Each refused attempt costs nothing; the first accepted one is the server's only client.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (CIMDConnect(name, sock, "127.0.0.1", port) == 0) return true;
      CIMDEndSession(sock);
      close(sock);
      sock = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  ~PeerLink() {
    if (sock >= 0) {
      CIMDEndSession(sock);
      close(sock);
    }
    server.Stop();
  }
};

class TestCimd2Peer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kServer, X_OK) != 0) GTEST_SKIP() << "kannel-extras not installed";
    CIMDSetResponseTimeout(5000);
  }
  void TearDown() override { CIMDSetResponseTimeout(30000); }
};

TEST_F(TestCimd2Peer, LoginRightAndWrong) {
  struct Case {
    const char* user;
    const char* password;
    int result;
  };
  const Case cases[] = {{"U", "P", 0}, {"U", "wrong", 100}, {"nobody", "P", 100}};
  for (const Case& c : cases) {
    PeerLink link;
    ASSERT_TRUE(link.Start());
    EXPECT_EQ(CIMDBind(link.name, link.sock, c.user, c.password), c.result) << c.user << "/" << c.password;
  }
}

TEST_F(TestCimd2Peer, SubmitsAndAliveAreAccepted) {
  struct Case {
    const char* name;
    const char* sender;
    int dcs;
    const char* udh;
    const char* data;
    int flags, binary;
  };
  const Case cases[] = {
      {"text with euro", "4711", 0, "", "Price: 5 \xE2\x82\xAC", 0, 0},
      {"UCS-2", "4711", 8, "", "\xD0\x9F\xD1\x80\xD0\xB8", 0, 0},
      {"binary with UDH", "4711", 0xF5, "0605040B8423F0", "CAFEBABE", 0, 1},
      {"alphanumeric sender", "Shop 24", 0, "", "hi", 0, 0},
      {"report request", "4711", 0, "", "x", CIMD_FLAG_RECEIPT, 0},
  };
  PeerLink link;
  ASSERT_TRUE(link.Start());
  ASSERT_EQ(CIMDBind(link.name, link.sock, "U", "P"), 0);
  for (const Case& c : cases) {
    EXPECT_EQ(CIMDSubmitMessage(link.name, link.sock, c.sender, "", "4512345678", 0, c.dcs, c.udh, c.data, c.flags,
                                c.binary),
              0)
        << c.name;
    char id[64];
    EXPECT_EQ(CIMDLastMessageId(link.name, link.sock, id, sizeof id), 0) << c.name;
  }
  EXPECT_EQ(CIMDEnquireLink(link.name, link.sock), 0);
  int linkError = 0;
  EXPECT_EQ(CIMDYield(link.name, link.sock, 100, &linkError), 0);
  EXPECT_EQ(linkError, 0);
}

TEST_F(TestCimd2Peer, GarbageFloodEndsInAnErrorNotAHang) {
  PeerLink link;
  ASSERT_TRUE(link.Start("1"));
  auto start = std::chrono::steady_clock::now();
  // The login's answer may still be found among the first bytes of garbage.
  int result = CIMDBind(link.name, link.sock, "U", "P");
  EXPECT_TRUE(result == 0 || result == CIMD_ERROR_PROTOCOL || result == CIMD_ERROR_LINK) << result;
  int linkError = 0;
  int yielded = CIMDYield(link.name, link.sock, 2000, &linkError);
  EXPECT_TRUE(yielded == CIMD_ERROR_PROTOCOL || yielded == CIMD_ERROR_LINK) << yielded;
  EXPECT_EQ(linkError, 1);
  EXPECT_EQ(CIMDCheckLinkStatus(link.name, link.sock), 0);
  EXPECT_EQ(CIMDSubmitMessage(link.name, link.sock, "4711", "", "4512345678", 0, 0, "", "x", 0, 0), CIMD_ERROR_LINK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
