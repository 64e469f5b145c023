// The console's modem test against the modem simulator, over TCP and on a pseudo-terminal:
// what the operator reads, what the modem was sent, and what MODEMTEST.INI keeps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "console/tests/console_runner.h"
#include "modem/tests/modem_sim_peer.h"
#include "tests/support/sped_up_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {
struct ModemCase {
  const char* name;
  std::vector<std::string> simArgs;
  std::string failMode;  // members of the control's "fail", "" for none
  std::string pin;
  int code;
  std::string printed;
  std::string sent;      // in what the modem received
  std::string notSent;
};

void RunOverTcp(const ModemCase& c, const std::vector<std::string>& consoleEnv = {}) {
  SCOPED_TRACE(c.name);
  std::vector<std::string> args = {"--tcp", "127.0.0.1:0", "--control", "127.0.0.1:0", "--lifetime", "300"};
  args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
  ModemSimPeer sim(args);
  ASSERT_TRUE(sim.ready());
  if (!c.failMode.empty()) {
    ASSERT_TRUE(Has(sim.Control(R"({"cmd": "fail", )" + c.failMode + "}"), "\"ok\": true"));
  }
  ConsoleHome home;
  std::string modem = "IPModem - " + sim.Field("tcp");
  std::vector<std::string> cmd = {"modemtest", modem};
  if (!c.pin.empty()) cmd.push_back(c.pin);
  ConsoleOutcome o = home.Run(cmd, "", consoleEnv);
  EXPECT_EQ(o.code, c.code) << o.out;
  EXPECT_TRUE(Has(o.out, c.printed)) << o.out;
  std::string received = sim.Transcript("in");
  EXPECT_TRUE(Has(received, c.sent)) << received;
  if (!c.notSent.empty()) {
    EXPECT_FALSE(Has(received, c.notSent)) << received;
  }
  std::string result = ReadFileText(home.path() + "MODEMTEST.INI");
  std::string firstLine = c.printed.substr(0, c.printed.find_first_of("\r\n"));
  EXPECT_TRUE(Has(result, "[ModemTest]\r\nResult=" + firstLine)) << result;
}

TEST(ConsoleModemTest, OverTcpEachKindOfModemGetsItsVerdict) {
  const ModemCase cases[] = {
      {"PDU modem", {}, "", "", 0, "Modem successfully tested!\n", "AT+CMGS=86\r\x1b", "AT+CPIN"},
      {"modem with a PIN", {"--set", "pin=\"1234\""}, "", "1234", 0, "Modem successfully tested!",
       "AT+CPIN=\"1234\"\r", ""},
      {"PIN already given", {}, "", "1234", 0, "Modem successfully tested!", "AT+CPIN?\r", "AT+CPIN=\""},
      {"wrong PIN", {"--set", "pin=\"1234\""}, "", "4321", 1, "Invalid PIN --", "AT+CPIN=\"4321\"\r", "AT+CMGF"},
      {"text-only modem", {}, R"("text_only": true)", "", 0,
       "Modem successfully tested!\r\n\r\nModem supports text messages only.", "AT+CMGF=1\r", "AT+CMGS"},
      {"CMGS answered OK", {}, R"("cmgs_ok_no_prompt": true)", "", 1,
       "Modem does not properly support command for sending SMS (AT+CMGS)", "AT+CMGS=86\r", ""},
  };
  // The wake-up of a modem behind a terminal server pauses five seconds of the console's
  // clock, run three times faster; the shortest answer wait left is still over a second.
  for (const ModemCase& c : cases) RunOverTcp(c, SpedUpClockEnv(3));
}

// The open gives up on a modem that never answers, as the gateway's does. Its probing
// waits only for time-outs, which the console's clock, run ten times faster, passes sooner.
TEST(ConsoleModemTest, SilentModemIsNotTaken) {
  RunOverTcp({"silent modem", {}, R"("silent": true)", "", 1,
              "Unable to access modem, ensure that it is powered on and passes diagnostic tests.", "AT", "ATE0V1"},
             SpedUpClockEnv(10));
}

TEST(ConsoleModemTest, OnAPtyAndRefusedWhileAnotherProcessHoldsTheModem) {
  TempDir dir;
  std::string link = dir.path() + "ttyGSM";
  ModemSimPeer sim({"--pty", link, "--control", "127.0.0.1:0", "--lifetime", "300"});
  ASSERT_TRUE(sim.ready());
  char target[PATH_MAX];
  ASSERT_NE(realpath(link.c_str(), target), nullptr);
  std::string device = target;
  ConsoleHome home;

  ConsoleOutcome o = home.Run({"modemtest", device});
  EXPECT_EQ(o.code, 0) << o.out;
  EXPECT_TRUE(Has(o.out, "Modem successfully tested!")) << o.out;

  pid_t holder = HoldFileLock(device, false);
  ASSERT_GT(holder, 0);
  ConsoleOutcome busy = home.Run({"modemtest", device});
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(busy.code, 1) << busy.out;
  EXPECT_TRUE(Has(busy.out, "Modem is in use by the QarSMS service.\r\n\r\nPlease try again later.")) << busy.out;
  EXPECT_TRUE(Has(ReadFileText(home.path() + "MODEMTEST.INI"),
                  "Result=Modem is in use by the QarSMS service. Please try again later."));

  // The switch form tests the configured modem and records the outcome for its caller.
  home.WriteConfig({"Modem1=" + device});
  ConsoleOutcome sw = home.Run({"/MODEMTEST"});
  EXPECT_EQ(sw.code, 0);
  EXPECT_TRUE(Has(sw.out, "Modem successfully tested!")) << sw.out;
  EXPECT_TRUE(Has(ReadFileText(home.path() + "MODEMTEST.INI"), "Result=Modem successfully tested!\r\n"));
  ConsoleOutcome none = home.Run({"modemtest", dir.path() + "nosuchdevice"});
  EXPECT_EQ(none.code, 1);
  EXPECT_TRUE(Has(none.out, "Unable to access modem, ensure that it is powered on and passes diagnostic tests."))
      << none.out;
}
}  // namespace
