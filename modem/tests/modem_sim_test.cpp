// The line against the modem simulator: over a pty, over TCP with telnet and login, and
// behind ser2net; speeds, replies, pushed messages, the device lock and hang-ups.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "modem/modem_line.h"
#include "modem/tests/modem_sim_peer.h"
#include "runtime/debug_log.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

class ModemSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DebugSettings.Debug = true;
    DebugSettings.CopyToStderr = false;
    SetDebugLogDirectory(dir.path());
  }
  void TearDown() override {
    CloseDebugLog();
    DebugSettings.Debug = false;
    DebugSettings.CopyToStderr = true;
  }
  std::string Log() const { return ReadFileText(dir.path() + "SMSDEBUG.LOG"); }
  std::string Link() const { return dir.path() + "ttyGSM"; }
  // The simulator's link points at the pty under /dev (a name outside /dev is no port).
  std::string Pty() const {
    char target[PATH_MAX];
    return realpath(Link().c_str(), target) ? std::string(target) : std::string();
  }

  // A simulator on a pty and the line opened on it.
  bool StartPtyModem(std::unique_ptr<ModemSimPeer>& sim, ModemDevice& device) {
    sim = std::make_unique<ModemSimPeer>(std::vector<std::string>{"--pty", Link()});
    if (!sim->ready()) return false;
    device = OpenDevice(Pty(), line);
    if (!device.valid()) return false;
    SetModemReadTimeouts(line, device);
    return true;
  }

  // Sends command, reads the reply.
  std::string Exchange(ModemDevice& device, const std::string& command, ModemReadRequest r) {
    std::string reply;
    EXPECT_EQ(SendModemCommand(device, command, line), 1);
    ReceiveModemCommand(device, reply, r, line);
    return reply;
  }

  TempDir dir;
  ModemLine line;
};

TEST_F(ModemSimTest, PtyOpenFindsTheSpeedAndHoldsTheDevice) {
  std::unique_ptr<ModemSimPeer> sim;
  ModemDevice device;
  ASSERT_TRUE(StartPtyModem(sim, device)) << Log();
  EXPECT_EQ(device.transport, ModemTransport::Serial);
  EXPECT_TRUE(device.locked);
  EXPECT_NE(Log().find("Initialised modem at 115200 bps"), std::string::npos);
  // A pty has no modem lines: dropping and raising DTR is not refused.
  EXPECT_TRUE(SetModemDtr(device, false));
  EXPECT_TRUE(SetModemDtr(device, true));
  // A speed the line cannot take is no answer.
  EXPECT_EQ(TestModemSpeed(device, 12345, line), 0);
  EXPECT_NE(Log().find("BuildCommDCB failed error"), std::string::npos);

  // A second open of the same line is refused while the first holds it.
  ModemDevice second = OpenDevice(Pty(), line);
  EXPECT_FALSE(second.valid());
  EXPECT_EQ(second.failure, ModemOpenFailure::Busy);
  EXPECT_NE(Log().find("this device is already open by another application"), std::string::npos);
  // The last-resort probe does not take the line from its holder either.
  EXPECT_EQ(HammerNonResponsiveModem(Pty(), line), 0);
  EXPECT_NE(Log().find("Another application is already using this device."), std::string::npos);

  // Closing hands the line on: the simulator's pty stays, the next open works.
  CloseModemDevice(device);
  ModemDevice again = OpenDevice(Pty(), line);
  ASSERT_TRUE(again.valid());
  ModemReadRequest r;
  r.timeoutSeconds = 10;
  EXPECT_NE(Exchange(again, "AT\r", r).find("OK\r\n"), std::string::npos);
}

TEST_F(ModemSimTest, AnotherProgramHoldingTheDeviceKeepsUsOut) {
  auto sim = std::make_unique<ModemSimPeer>(std::vector<std::string>{"--pty", Link()});
  ASSERT_TRUE(sim->ready());
  std::string device = sim->Field("device");
  pid_t holder = StartProgram({"flock", device, "sleep", "60"});
  EXPECT_TRUE(WaitUntil(10000, [&] { return OpenDevice(Pty(), line).failure == ModemOpenFailure::Busy; }));
  StopProgram(holder);
  // flock's command is reaped by init, not by us: the lock goes when it has exited.
  ModemDevice d;
  EXPECT_TRUE(WaitUntil(10000, [&] {
    d = OpenDevice(Pty(), line);
    return d.valid() || d.failure != ModemOpenFailure::Busy;
  }));
  EXPECT_TRUE(d.valid());
}

TEST_F(ModemSimTest, RepliesEndOnTheirOwnTerms) {
  struct Command {
    const char* text;
    bool prompt;
    const char* expected;
    const char* shows;
  } commands[] = {
      {"AT\r", false, "", "OK\r"},
      {"AT+QARNOSUCH\r", false, "+CGMI", "\r\nERROR\r\n"},
      {"AT+CMGR=99\r", false, "+CMGR:", "+CMS ERROR: 321\r\n"},
      {"AT+CPIN=\"1234\"\r", false, "", "+CME ERROR: 3\r\n"},
      {"AT+CPMS?\r", false, "+CPMS:", "+CPMS: "},
      {"AT+CMGS=10\r", true, "", "> "},
      {"\x1b", false, "", "OK\r\n"},  // ESC leaves the prompt
  };
  const char* modes[] = {R"({"cmd": "fail", "clear": true})",
                         R"({"cmd": "fail", "slow_line": {"chunk": 1, "delay_ms": 3}})",
                         R"({"cmd": "fail", "delay_ms": 400})"};
  std::unique_ptr<ModemSimPeer> sim;
  ModemDevice device;
  ASSERT_TRUE(StartPtyModem(sim, device)) << Log();
  for (const char* mode : modes) {
    ASSERT_NE(sim->Control(mode).find("\"ok\": true"), std::string::npos);
    // The tail of the last mode's reply may still be on its way: its bytes are not this mode's.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    FlushInput(device);
    for (const Command& c : commands) {
      ModemReadRequest r;
      r.timeoutSeconds = 20;
      r.waitForPrompt = c.prompt;
      r.expected = c.expected;
      auto start = Clock::now();
      std::string reply = Exchange(device, c.text, r);
      // Each ended on what it got, long before its time-out.
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(12)) << mode << " " << c.text;
      EXPECT_NE(reply.find(c.shows), std::string::npos) << mode << " " << c.text << " got " << reply;
    }
  }
}

struct PushCase {
  const char* name;
  const char* mode;  // failure mode while the message arrives
  bool stored;
  enum { PduDeliver, TextDeliver, PduReport } kind = PduDeliver;
};

TEST_F(ModemSimTest, PushedMessagesReachTheSinkAndAreAcknowledgedWhenStored) {
  const std::string pdu = GammuDeliverPdu("+491701234567", "Hello from the line test");
  ASSERT_FALSE(pdu.empty());
  const PushCase cases[] = {
      {"whole", R"({"cmd": "fail", "clear": true})", true},
      {"byte by byte", R"({"cmd": "fail", "slow_line": {"chunk": 1, "delay_ms": 4}})", true},
      {"in pieces", R"({"cmd": "fail", "slow_line": {"chunk": 7, "delay_ms": 30}})", true},
      {"not stored", R"({"cmd": "fail", "clear": true})", false},
      {"not stored, in pieces", R"({"cmd": "fail", "slow_line": {"chunk": 5, "delay_ms": 10}})", false},
      {"text mode, in pieces", R"({"cmd": "fail", "slow_line": {"chunk": 3, "delay_ms": 5}})", true,
       PushCase::TextDeliver},
      {"status report", R"({"cmd": "fail", "slow_line": {"chunk": 9, "delay_ms": 5}})", true, PushCase::PduReport},
  };
  for (const PushCase& c : cases) {
    std::unique_ptr<ModemSimPeer> sim;
    ModemDevice device;
    ASSERT_TRUE(StartPtyModem(sim, device)) << c.name;
    std::vector<PushedMessage> got;
    line.pushed = [&](const PushedMessage& m) {
      got.push_back(m);
      return c.stored ? PushedTaken::Stored : PushedTaken::NotStored;
    };
    ModemReadRequest r;
    r.timeoutSeconds = 10;
    ASSERT_NE(Exchange(device, "AT+CSMS=1\r", r).find("OK"), std::string::npos);
    const bool text = c.kind == PushCase::TextDeliver;
    ASSERT_NE(Exchange(device, text ? "AT+CMGF=1\r" : "AT+CMGF=0\r", r).find("OK"), std::string::npos);
    ASSERT_NE(Exchange(device, "AT+CNMI=2,2,0,1,0\r", r).find("OK"), std::string::npos);
    line.acknowledgeMode = true;
    sim->Control(c.mode);
    std::string injected = sim->Control(
        c.kind == PushCase::TextDeliver ? R"({"cmd": "inject_sms", "sender": "+491709876543", "text": "Plain words"})"
        : c.kind == PushCase::PduReport ? R"({"cmd": "inject_report", "status": 0, "mr": 5, "recipient": "+4912345"})"
                                        : R"({"cmd": "inject_sms", "pdu": ")" + pdu + "\"}");
    ASSERT_NE(injected.find("\"ok\": true"), std::string::npos) << injected;
    std::string reply;
    r.timeoutSeconds = 2;
    ASSERT_TRUE(WaitUntil(20000, [&] {
      ReceiveModemCommand(device, reply, r, line);
      return !got.empty();
    })) << c.name;
    ASSERT_EQ(got.size(), 1u) << c.name;
    if (text) {
      EXPECT_EQ(got[0].kind, PushedKind::TextCmt);
      EXPECT_EQ(got[0].sender, "+491709876543");
      EXPECT_EQ(got[0].text, "Plain words");
    } else {
      EXPECT_EQ(got[0].kind, PushedKind::Pdu);
      EXPECT_EQ(got[0].statusReport, c.kind == PushCase::PduReport);
      // What the simulator sent, whole.
      EXPECT_EQ(got[0].pdu, c.kind == PushCase::PduReport ? JsonField(injected, "pdu") : pdu) << c.name;
    }
    EXPECT_EQ(reply.find("+CMT"), std::string::npos) << c.name;
    EXPECT_EQ(reply.find("+CDS"), std::string::npos) << c.name;
    WaitUntil(c.stored ? 5000 : 300, [&] { return sim->Transcript("in").find("AT+CNMA") != std::string::npos; });
    EXPECT_EQ(sim->Transcript("in").find("AT+CNMA") != std::string::npos, c.stored) << c.name;
  }
}

TEST_F(ModemSimTest, HangUpEndsTheSessionAndTheLineComesBack) {
  std::unique_ptr<ModemSimPeer> sim;
  ModemDevice device;
  ASSERT_TRUE(StartPtyModem(sim, device)) << Log();
  sim->Control(R"({"cmd": "drop"})");
  std::string reply;
  ModemReadRequest r;
  r.timeoutSeconds = 30;
  auto start = Clock::now();
  EXPECT_EQ(ReceiveModemCommand(device, reply, r, line), 0u);
  EXPECT_TRUE(device.failed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(SendModemCommand(device, "AT\r", line), 0);
  CloseModemDevice(device);
  // The simulator makes a new pair behind the same link.
  ModemDevice again;
  EXPECT_TRUE(WaitUntil(15000, [&] {
    again = OpenDevice(Pty(), line);
    return again.valid();
  }));
}

struct LoginCase {
  const char* name;
  std::string user, password;
  std::vector<std::pair<std::string, std::string>> init;
  bool opens;
};

TEST_F(ModemSimTest, IpModemTelnetLogin) {
  const LoginCase cases[] = {
      {"right", "gw", "secret", {}, true},
      {"by prompt and answer steps", "", "", {{"Username: ", "gw\\r"}, {"Password: ", "secret\\r"}}, true},
      {"wrong password", "gw", "wrong-pw", {}, false},
  };
  for (const LoginCase& c : cases) {
    ModemSimPeer sim({"--tcp", "127.0.0.1:0", "--telnet", "--login", "gw:secret", "--set", "login_attempts=1"});
    ASSERT_TRUE(sim.ready());
    line.settings.Username = c.user;
    line.settings.Password = c.password;
    line.settings.IPModemInit = c.init;
    ModemDevice device = OpenDevice("IPModem - " + sim.Field("tcp"), line);
    ASSERT_EQ(device.valid(), c.opens) << c.name;
    if (c.opens) {
      EXPECT_EQ(device.transport, ModemTransport::Socket);
      ModemReadRequest r;
      r.timeoutSeconds = 10;
      EXPECT_NE(Exchange(device, "AT+CGMI\r", r).find("PeerSim"), std::string::npos) << c.name;
      // The simulator's offers were answered: DO ECHO and DO NAWS refused.
      std::string status = sim.Control(R"({"cmd": "status"})");
      EXPECT_NE(status.find("WONT ECHO"), std::string::npos) << status;
      EXPECT_NE(status.find("WONT NAWS"), std::string::npos) << status;
    }
  }
  // The password went to the modem, never to the log.
  EXPECT_EQ(Log().find("secret"), std::string::npos);
  EXPECT_EQ(Log().find("wrong-pw"), std::string::npos);
  EXPECT_NE(Log().find("Telnet IN:  DO Echo"), std::string::npos);
}

TEST_F(ModemSimTest, BehindSer2net) {
  auto sim = std::make_unique<ModemSimPeer>(std::vector<std::string>{"--pty", Link()});
  ASSERT_TRUE(sim->ready());
  uint16_t port = FreeTcpPort();
  std::string yaml = "connection: &modem#  accepter: telnet,tcp,127.0.0.1," + std::to_string(port) +
                     "#  connector: serialdev," + sim->Field("device") + ",115200n81,local";
  pid_t server = StartProgram({"ser2net", "-n", "-u", "-P", dir.path() + "ser2net.pid", "-Y", yaml});
  ASSERT_TRUE(WaitUntil(10000, [&] { return PortAccepts(port); }));
  ModemDevice device = OpenDevice("IPModem - 127.0.0.1:" + std::to_string(port), line);
  ASSERT_TRUE(device.valid());
  ModemReadRequest r;
  r.timeoutSeconds = 10;
  EXPECT_NE(Exchange(device, "AT+CGMM\r", r).find("GSM Modem"), std::string::npos);
  CloseModemDevice(device);
  StopProgram(server);
}

}  // namespace

namespace {

// A modem that does not answer gets the escape sequence and a second try, and is no success.
TEST_F(ModemSimTest, SilentModemIsNoSpeed) {
  std::unique_ptr<ModemSimPeer> sim;
  ModemDevice device;
  ASSERT_TRUE(StartPtyModem(sim, device));
  sim->Control(R"({"cmd": "fail", "silent": true})");
  const size_t before = sim->Transcript("in").size();
  EXPECT_EQ(TestModemSpeed(device, 57600, line), 0);
  EXPECT_EQ(sim->Transcript("in").substr(before), "\r\rATE0V1\r+++ATH0\r\x1b\rATE0V1\r");
  EXPECT_EQ(Log().find("Initialised modem at 57600"), std::string::npos);
}

}  // namespace
