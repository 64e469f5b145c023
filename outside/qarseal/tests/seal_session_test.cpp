// One TLS session used from two threads at once (a reply sent while another thread reads):
// OpenSSL must never see two calls on one SSL object at the same time.
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "outside/qarseal/qarseal.h"

namespace {

// Calls under way per SSL object, and the overlaps seen. The first SSL_write after Arm()
// stays inside (after its real work) until another call enters on the same object, or the
// other thread has had ample time to try: a missing lock shows at once.
struct Watch {
  std::mutex lock;
  std::condition_variable changed;
  std::map<const SSL*, int> inside;
  int overlaps = 0;
  bool armed = false, holding = false, otherStarted = false;
  std::chrono::steady_clock::time_point otherStart;
} g_watch;

void Enter(const SSL* ssl) {
  std::lock_guard guard(g_watch.lock);
  if (g_watch.inside[ssl]++ > 0) ++g_watch.overlaps;
  g_watch.changed.notify_all();
}

void Leave(const SSL* ssl) {
  std::unique_lock guard(g_watch.lock);
  if (g_watch.armed) {
    g_watch.armed = false;
    g_watch.holding = true;
    g_watch.changed.notify_all();
    // Held until the other call shows up here, or two seconds after it was started.
    auto otherInside = [&] { return g_watch.inside[ssl] > 1; };
    g_watch.changed.wait(guard, [&] { return otherInside() || g_watch.otherStarted; });
    g_watch.changed.wait_until(guard, g_watch.otherStart + std::chrono::seconds(2), otherInside);
    g_watch.holding = false;
  }
  --g_watch.inside[ssl];
}

template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The library's calls into OpenSSL come here first.
extern "C" int SSL_write(SSL* ssl, const void* buf, int num) {
  static auto real = Real<int (*)(SSL*, const void*, int)>("SSL_write");
  Enter(ssl);
  int r = real(ssl, buf, num);
  Leave(ssl);
  return r;
}
extern "C" int SSL_read(SSL* ssl, void* buf, int num) {
  static auto real = Real<int (*)(SSL*, void*, int)>("SSL_read");
  Enter(ssl);
  int r = real(ssl, buf, num);
  Leave(ssl);
  return r;
}
extern "C" int SSL_pending(const SSL* ssl) {
  static auto real = Real<int (*)(const SSL*)>("SSL_pending");
  Enter(ssl);
  int r = real(ssl);
  Leave(ssl);
  return r;
}

namespace {

struct TlsPair {
  int fds[2] = {-1, -1};
  void* server = nullptr;
  void* client = nullptr;
  bool Open() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
    char serverError[256] = {}, clientError[256] = {};
    std::thread accept([&] { server = sslAcceptSession(fds[0], serverError, sizeof serverError, 10000); });
    client = sslInitSession(fds[1], "localhost", clientError, sizeof clientError, 10000);
    accept.join();
    return server && client;
  }
  ~TlsPair() {
    sslFreeSession(client);
    sslFreeSession(server);
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
};

class SealSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/qarseal-test.XXXXXX";
    home_ = mkdtemp(pattern);
    setenv("QARSMS_HOME", (home_ + "/").c_str(), 1);
    std::filesystem::create_directories(home_ + "/PRIVATE");
    ASSERT_EQ(sslInitLib(), 1);
    char error[256] = {};
    ASSERT_EQ(sslGenerateCertificate("localhost", error, sizeof error), 1) << error;
  }
  static void TearDownTestSuite() {
    sslTermLib();
    std::filesystem::remove_all(home_);
  }
  static std::string home_;
};
std::string SealSessionTest::home_;

TEST_F(SealSessionTest, CallsFromTwoThreadsNeverMeetInOpenSsl) {
  struct Case {
    const char* what;
    std::function<void(void* session)> other;
  } cases[] = {
      {"read while a send is under way",
       [](void* s) {
         char buf[64];
         sslRecv(s, buf, sizeof buf);
       }},
      {"pending check while a send is under way", [](void* s) { sslDataPending(s); }},
      {"second send while a send is under way", [](void* s) { sslSend(s, "pong", 4); }},
  };
  for (const Case& c : cases) {
    TlsPair pair;
    ASSERT_TRUE(pair.Open()) << c.what;
    {
      std::lock_guard guard(g_watch.lock);
      g_watch.overlaps = 0;
      g_watch.armed = true;
      g_watch.holding = false;
      g_watch.otherStarted = false;
    }
    std::thread sender([&] { EXPECT_EQ(sslSend(pair.client, "ping", 4), 4); });
    {
      std::unique_lock guard(g_watch.lock);
      ASSERT_TRUE(g_watch.changed.wait_for(guard, std::chrono::seconds(30), [] { return g_watch.holding; }));
      g_watch.otherStarted = true;
      g_watch.otherStart = std::chrono::steady_clock::now();
      g_watch.changed.notify_all();
    }
    std::thread other([&] { c.other(pair.client); });
    sender.join();
    other.join();
    std::lock_guard guard(g_watch.lock);
    EXPECT_EQ(g_watch.overlaps, 0) << c.what;
  }
}

// The bytes still arrive whole and in order when two threads share the session.
TEST_F(SealSessionTest, SendAndReceiveFromTwoThreadsCarryEveryByte) {
  TlsPair pair;
  ASSERT_TRUE(pair.Open());
  constexpr int kMessages = 2000;
  std::thread sender([&] {
    for (int i = 0; i < kMessages; ++i) {
      std::string m = "m" + std::to_string(i) + ";";
      ASSERT_EQ(sslSend(pair.client, m.data(), int(m.size())), int(m.size()));
    }
  });
  // The server echoes what it gets; the client reads on another thread meanwhile.
  std::atomic<bool> done{false};
  std::thread echo([&] {
    char buf[4096];
    while (!done.load()) {
      int n = sslRecv(pair.server, buf, sizeof buf);
      if (n < 0) return;
      if (n > 0) ASSERT_EQ(sslSend(pair.server, buf, n), n);
      else usleep(200);
    }
  });
  std::string expected, got;
  for (int i = 0; i < kMessages; ++i) expected += "m" + std::to_string(i) + ";";
  char buf[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (got.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
    int n = sslRecv(pair.client, buf, sizeof buf);
    ASSERT_GE(n, 0);
    if (n > 0) got.append(buf, size_t(n));
    else usleep(200);
  }
  sender.join();
  done = true;
  echo.join();
  EXPECT_EQ(got, expected);
}

}  // namespace
