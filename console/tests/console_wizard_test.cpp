// The setup wizard driven as a person would: answers on standard input (piped, and typed
// into a terminal under tmux), the screen it shows and the keys it writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "config/admin_password.h"
#include "console/tests/console_runner.h"
#include "modem/tests/modem_sim_peer.h"
#include "runtime/process_runner.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_files.h"

namespace {
TEST(ConsoleWizard, PipedAnswersConfigureModemServerAndTestMessage) {
  ModemSimPeer sim({"--tcp", "127.0.0.1:0", "--control", "127.0.0.1:0", "--lifetime", "300"});
  ASSERT_TRUE(sim.ready());
  ASSERT_TRUE(Has(sim.Control(R"({"cmd": "fail", "text_only": true})"), "\"ok\": true"));
  ConsoleHome home;
  std::string address = sim.Field("tcp");
  // No Modem1: the wizard runs without being asked for; the modem is typed by its name.
  std::string answers = std::string("IPModem - ") + address + "\n"  // modem by name
                        "\n"                                          // no PIN
                        "99999\n"                                     // web port refused
                        "8805\n"
                        "0\n"                                         // no SMPP server
                        "operator\n"                                  // admin user
                        "secret1\nsecret2\n"                          // passwords differ
                        "secret1\nsecret1\n"
                        "447700900123\n"                              // test message
                        "\n"                                          // default text
                        "n\n";                                        // do not activate
  ConsoleOutcome o = home.Run({}, answers, {"QARSMS_SERVICE_HOST=supervisor"});
  EXPECT_EQ(o.code, 0) << o.out;
  for (const char* page : {"QarSMS Lite Setup Wizard:  Select Modem", "QarSMS Lite Setup Wizard:  Modem Settings",
                           "QarSMS Lite Setup Wizard:  Server Settings",
                           "QarSMS Lite Setup Wizard:  Configuration Complete",
                           "QarSMS Lite Setup Wizard:  Send Test Message",
                           "Modem successfully tested!\r\n\r\nModem supports text messages only.",
                           "Invalid value: expected a port number", "The passwords differ.",
                           "Service is not active, do you wish to activate the service? (y/n)"})
    EXPECT_TRUE(Has(o.out, page)) << page << "\n" << o.out;
  std::string ini = home.Config();
  for (const std::string& line : std::vector<std::string>{"Debug=Yes\r\n", "Modem1=IPModem - " + address + "\r\n", "WebPort=8805\r\n",
                                  "SMPPPort=0\r\n", "AdminUser=operator\r\n",
                                  "AdminPassword=" + ScrambleAdminPassword("secret1") + "\r\n",
                                  "[IPModem - " + address + "]\r\nModemTextMode=Yes\r\n"})
    EXPECT_TRUE(Has(ini, line)) << line << "\n" << ini;
  EXPECT_FALSE(Has(ini, "99999"));
  EXPECT_FALSE(Has(ini, "secret"));
  EXPECT_TRUE(Has(ReadFileText(home.path() + "MMSC.INI"), "[MMSC]\r\nDebug=Yes\r\n"));
  EXPECT_TRUE(Has(ReadFileText(home.path() + "QARDIAL.INI"), "[QARDIAL]\r\nDebug=Yes\r\n"));
  std::vector<std::string> queued = FilesUnder(home.path() + "Q/");
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_TRUE(Has(ReadFileText(queued[0]), "PhoneNumber=447700900123\r\n"));
  EXPECT_FALSE(Has(home.Run({"status"}).out, "Service is Active"));  // "n": nothing started
}

TEST(ConsoleWizard, EndOfInputCancelsAndLeavesTheModemUnset) {
  ConsoleHome home;
  ConsoleOutcome o = home.Run({"/WIZARD", "--strict-exit"}, "");
  EXPECT_EQ(o.code, 1) << o.out;
  EXPECT_TRUE(Has(o.out, "QarSMS Lite Setup Wizard:  Select Modem")) << o.out;
  EXPECT_FALSE(Has(home.Config(), "Modem1="));
  EXPECT_FALSE(Has(o.out, "Server Settings"));

  // A modem that fails its test is offered back; declined, the choice starts again.
  ConsoleOutcome failed = home.Run({"/WIZARD"}, home.path() + "nosuchdevice\n\nn\n");
  EXPECT_EQ(failed.code, 0);
  EXPECT_TRUE(Has(failed.out, "Unable to access modem, ensure that it is powered on and passes diagnostic tests."))
      << failed.out;
  EXPECT_TRUE(Has(failed.out, "Use this modem anyway? (y/n)")) << failed.out;
  size_t first = failed.out.find("Select Modem");
  EXPECT_NE(failed.out.find("Select Modem", first + 1), std::string::npos) << failed.out;
  EXPECT_FALSE(Has(home.Config(), "Modem1="));
  EXPECT_TRUE(Has(ReadFileText(home.path() + "MODEMTEST.INI"), "Result=Unable to access modem"));
}

// tmux runs the console in a terminal; keys are typed and the screen is read back.
TEST(ConsoleWizard, TypedIntoATerminal) {
  if (FindProgram("", "tmux").empty()) GTEST_SKIP() << "tmux is not installed";
  TempDir pty;
  std::string link = pty.path() + "ttyGSM";
  ModemSimPeer sim({"--pty", link, "--control", "127.0.0.1:0", "--lifetime", "300"});
  ASSERT_TRUE(sim.ready());
  char target[PATH_MAX];
  ASSERT_NE(realpath(link.c_str(), target), nullptr);
  ConsoleHome home;
  std::string session = "qarwiz" + std::to_string(getpid());
  std::string socket = pty.path() + "tmux.sock";
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-S", socket});
    ProcessOptions o;
    o.stdoutPath = pty.path() + "tmux.out";
    o.stderrToStdout = true;
    o.timeoutMs = 20000;
    RunProcess(args, o);
    return ReadFileText(pty.path() + "tmux.out");
  };
  tmux({"new-session", "-d", "-s", session, "-x", "200", "-y", "50", "env", "QARSMS_HOME=" + home.path(),
        "QARSMS_SERVICE_HOST=supervisor", BinDirectory() + "qarconsole", "/wizard"});
  auto screen = [&] { return tmux({"capture-pane", "-p", "-t", session, "-S", "-200"}); };
  auto typeWhen = [&](const std::string& shown, const std::string& keys) {
    bool seen = WaitUntil(60000, [&] { return Has(screen(), shown); });
    tmux({"send-keys", "-t", session, "-l", keys});
    tmux({"send-keys", "-t", session, "Enter"});
    return seen;
  };
  EXPECT_TRUE(typeWhen("Modem (number, or a device path):", target));
  EXPECT_TRUE(typeWhen("SIM PIN (empty for none):", ""));
  EXPECT_TRUE(typeWhen("Web port [8800]:", ""));
  EXPECT_TRUE(typeWhen("SMPP server port (0 for none) [0]:", "2775"));
  EXPECT_TRUE(typeWhen("Administrator user name [admin]:", ""));
  EXPECT_TRUE(typeWhen("Administrator password:", "tmuxpw1"));
  EXPECT_TRUE(typeWhen("The password again:", "tmuxpw1"));
  EXPECT_TRUE(typeWhen("Phone number for a test message (empty to skip):", ""));
  EXPECT_TRUE(WaitUntil(60000, [&] { return Has(screen(), "do you wish to activate the service? (y/n):"); }));
  std::string shown = screen();
  EXPECT_TRUE(typeWhen("do you wish to activate the service? (y/n):", "n"));
  // The session ends with the console.
  EXPECT_TRUE(WaitUntil(20000, [&] { return !Has(tmux({"ls"}), session); }));
  tmux({"kill-server"});
  EXPECT_TRUE(Has(shown, "Modem successfully tested!")) << shown;
  EXPECT_FALSE(Has(shown, "tmuxpw1")) << shown;  // typed without echo
  std::string ini = home.Config();
  for (const std::string& line : std::vector<std::string>{"Modem1=" + std::string(target) + "\r\n", "WebPort=8800\r\n", "SMPPPort=2775\r\n",
                                  "AdminUser=admin\r\n", "ModemTextMode=No\r\n",
                                  "AdminPassword=" + ScrambleAdminPassword("tmuxpw1") + "\r\n"})
    EXPECT_TRUE(Has(ini, line)) << line << "\n" << ini;
}
}  // namespace
