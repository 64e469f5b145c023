// The SMPP receiver session over the real protocol library against a small centre on
// loopback: idle, it sleeps on its socket (no library calls in steps); a deliver_sm is
// answered as it arrives; the stop ends the session at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/settings_override.h"
#include "outside/outside_tables.h"
#include "runtime/clock.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"
#include "smsc/smpp/smpp_receive.h"
#include "smsc/tests/smsc_test_home.h"

namespace {

void Put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += char((v >> shift) & 0xFF);
}
uint32_t Get32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | uint8_t(in[at + i]);
  return v;
}
std::string Pdu(uint32_t id, uint32_t status, uint32_t sequence, const std::string& body) {
  std::string out;
  Put32(out, uint32_t(16 + body.size()));
  Put32(out, id);
  Put32(out, status);
  Put32(out, sequence);
  return out + body;
}

// One accepted receiver: answers its bind, its enquire-links and its unbind, and records
// the command ids it saw.
struct Centre {
  UniqueFd listener, peer;
  uint16_t port = 0;
  bool Listen() {
    listener.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener.get(), 4) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      return false;
    }
    port = ntohs(a.sin_port);
    return true;
  }
  // The next PDU within ms; its command id, or 0.
  uint32_t Read(int ms, uint32_t* sequence = nullptr) {
    std::string in;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (in.size() < 16 || in.size() < Get32(in, 0)) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
      pollfd p = {peer.get(), POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) return 0;
      char buffer[512];
      ssize_t n = recv(peer.get(), buffer, in.size() < 16 ? 16 - in.size() : std::min<size_t>(sizeof buffer, Get32(in, 0) - in.size()), 0);
      if (n <= 0) return 0;
      in.append(buffer, size_t(n));
    }
    if (sequence) *sequence = Get32(in, 12);
    return Get32(in, 4);
  }
  void Send(const std::string& pdu) { ASSERT_EQ(send(peer.get(), pdu.data(), pdu.size(), MSG_NOSIGNAL), ssize_t(pdu.size())); }
  bool AcceptAndBind() {
    pollfd p = {listener.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    peer.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    uint32_t sequence = 0;
    if (Read(10000, &sequence) != 0x00000001) return false;
    Send(Pdu(0x80000001, 0, sequence, std::string("SIM\0", 4)));
    return true;
  }
};

class SmppReceiveWaitTest : public SmscTestHome {
 protected:
  void SetUp() override {
    SmscTestHome::SetUp();
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    LoadProtocolLibraries(QARPEER_LIBRARY_DIR, false);
  }
  void TearDown() override {
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    SmscTestHome::TearDown();
  }
  SettingsOverride settings{SettingsBlock{}};
};

TEST_F(SmppReceiveWaitTest, IdleReceiverSleepsAndServesWhatArrives) {
  ASSERT_TRUE(OutsideLibraries.peer.Loaded());
  Centre centre;
  ASSERT_TRUE(centre.Listen());
  std::string connection = "SMPP - 127.0.0.1:" + std::to_string(centre.port);
  // No keep-alive: nothing is due while idle.
  WriteConfig("[QARHUB]\nModem1=" + connection + "\n[" + connection + "]\nUserName=gw\nPassword=pw\nKeepAlive=0\n");
  ReceiveThreadBlock block;
  block.connection = connection;
  std::thread receiver([&] { ThreadProcessSMPPReceive(block); });
  ASSERT_TRUE(centre.AcceptAndBind());
  SleepUnlessShutdown(300, TickMs());
  uint64_t wakeUps = ReceiveWaits.wakeUps.load();
  // Nothing at all reaches the centre meanwhile.
  EXPECT_EQ(centre.Read(5000), 0u);
  // The old session called the library's yield every 200 ms (25 times).
  EXPECT_LT(ReceiveWaits.wakeUps.load() - wakeUps, 20u);

  struct Case {
    const char* name;
    uint32_t command, sequence, answer;
  } cases[] = {
      {"an enquire-link", 0x00000015, 7, 0x80000015},
      {"a second enquire-link", 0x00000015, 8, 0x80000015},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    centre.Send(Pdu(c.command, 0, c.sequence, ""));
    uint32_t sequence = 0;
    EXPECT_EQ(centre.Read(10000, &sequence), c.answer);
    EXPECT_EQ(sequence, c.sequence);
  }

  // The stop: the session unbinds and the thread ends at once.
  auto start = std::chrono::steady_clock::now();
  AnnounceShutdown();
  uint32_t sequence = 0;
  if (centre.Read(5000, &sequence) == 0x00000006) centre.Send(Pdu(0x80000006, 0, sequence, ""));
  receiver.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(block.ended.load());
}

}  // namespace
