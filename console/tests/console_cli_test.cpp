// The console's command line seen from outside: what each switch and command prints,
// its exit code, and what it leaves in the configuration and with the service manager.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/admin_password.h"
#include "console/tests/console_runner.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_files.h"

namespace {
TEST(ConsoleSwitches, SystemdServiceControlInTheOrderOfTheSwitches) {
  ConsoleHome home;
  FakeSystemctl systemctl;
  std::string unit = systemctl.units.path() + "qarsms.service";
  struct Step {
    std::vector<std::string> args;
    int code;
    std::string printed;     // "" : nothing at all on standard output
    std::string call;        // a systemctl call this step makes
    bool unitAfter;
  } steps[] = {
      {{"status"}, 0, "QarSMS: Service is NOT Installed", "", false},
      // Quiet with install: installed, started, not a word.
      {{"/Q", "-INSTALLSERVICE"}, 0, "", "enable --now qarsms.service", true},
      {{"status"}, 0, "QarSMS: Service is Active", "is-active qarsms.service", true},
      {{"status"}, 0, "QarMMSC: Service is NOT Installed", "", true},
      // Stop comes before start in the switch order, wherever each stands.
      {{"/startservice", "-StopService"}, 0, "QarSMS: Service is NOT active", "stop --no-block qarsms.service", true},
      {{"--start-service"}, 0, "QarSMS: Service is Active", "start qarsms.service", true},
      {{"/R"}, 0, "Service successfully removed!", "disable qarsms.service", false},
      {{"/R"}, 0, "Service removal failed!", "", false},
      {{"/R", "--strict-exit"}, 1, "Service removal failed!", "", false},
      {{"/RESTARTSERVICE", "--strict-exit"}, 1, "Service is NOT Installed", "", false},
      {{"/STARTSERVICE", "--strict-exit"}, 1, "Service is NOT Installed", "", false},
      {{"/i"}, 0, "Service successfully installed!", "daemon-reload", true},
  };
  for (const Step& s : steps) {
    std::string before = systemctl.Calls();
    ConsoleOutcome o = home.Run(s.args, "", systemctl.Env());
    std::string label = s.args[0] + " " + (s.args.size() > 1 ? s.args[1] : "");
    EXPECT_EQ(o.code, s.code) << label << "\n" << o.out;
    if (s.printed.empty()) {
      EXPECT_EQ(o.out, "") << label;
    } else {
      EXPECT_TRUE(Has(o.out, s.printed)) << label << "\n" << o.out;
    }
    if (!s.call.empty()) {
      EXPECT_TRUE(Has(systemctl.Calls().substr(before.size()), s.call)) << label << "\n" << systemctl.Calls();
    }
    EXPECT_EQ(access(unit.c_str(), F_OK) == 0, s.unitAfter) << label;
  }
  std::string text = ReadFileText(unit);
  EXPECT_TRUE(Has(text, "Restart=always\n")) << text;
  EXPECT_TRUE(Has(text, "ExecStart=\"" + BinDirectory() + "qargate\"\n")) << text;
  EXPECT_TRUE(Has(text, "Environment=\"QARSMS_HOME=" + home.path().substr(0, home.path().size() - 1) + "\"\n")) << text;
}

// Where the unit folder is not the console's to write, the same switch runs again under
// "sudo -n" (a stand-in here that records its calls); without sudo rights, the rights text.
TEST(ConsoleSwitches, ElevationRerunsTheSameSwitchUnderSudo) {
  ConsoleHome home;
  FakeSystemctl systemctl;
  std::string sudo = systemctl.dir.path() + "sudo";
  WriteFileText(sudo,
                "#!/bin/sh\n"
                "d=\"$(dirname \"$0\")\"\n"
                "echo \"$*\" >> \"$d/sudo.log\"\n"
                "[ -e \"$d/deny\" ] && exit 1\n"
                "[ \"$2\" = true ] && exit 0\n"
                "shift 2\n"
                "exec \"$@\"\n");
  chmod(sudo.c_str(), 0755);
  std::vector<std::string> env = systemctl.Env();
  env.back() = "QARSMS_SYSTEMD_UNIT_DIR=" + systemctl.units.path() + "missing/";  // not writable here
  struct {
    bool deny;
    std::vector<std::string> args;
    std::string printed;
    std::string rerun;  // "" : no copy started
  } cases[] = {
      {true, {"/INSTALLSERVICE"}, "Administrator rights are required for service installation.\n", ""},
      {true, {"-r"}, "Administrator rights are required for service modification.\n", ""},
      {true, {"/STOPSERVICE"}, "Administrator rights are required for service installation or modification.\n", ""},
      {true, {"/Q", "/RESTARTSERVICE"}, "", ""},
      // The copy carries the same switch; it cannot write the unit either and says so.
      {false, {"/I"}, "Service installation failed!", "/INSTALLSERVICE --strict-exit\n"},
      {false, {"/Q", "/STARTSERVICE"}, "", "/STARTSERVICE --strict-exit /Q\n"},
  };
  for (const auto& c : cases) {
    std::string label = c.args.back();
    if (c.deny) {
      WriteFileText(systemctl.dir.path() + "deny", "");
    } else {
      unlink((systemctl.dir.path() + "deny").c_str());
    }
    std::string before = ReadFileText(systemctl.dir.path() + "sudo.log");
    ConsoleOutcome o = home.Run(c.args, "", env);
    std::string calls = ReadFileText(systemctl.dir.path() + "sudo.log").substr(before.size());
    EXPECT_EQ(o.code, 0) << label;
    if (c.printed.empty()) {
      EXPECT_EQ(o.out, "") << label;
    } else {
      EXPECT_TRUE(Has(o.out, c.printed)) << label << "\n" << o.out;
    }
    EXPECT_TRUE(Has(calls, "-n true\n")) << label << "\n" << calls;
    if (c.rerun.empty()) {
      EXPECT_EQ(calls, "-n true\n") << label;
    } else {
      EXPECT_TRUE(Has(calls, BinDirectory() + "qarconsole " + c.rerun)) << label << "\n" << calls;
    }
  }
}

TEST(ConsoleSwitches, WholeArgumentsOnlySoThatPathsTriggerNothing) {
  ConsoleHome home;
  FakeSystemctl systemctl;
  // The program run from a folder whose path holds "/I" and "/Q": still only a status.
  TempDir dir;
  std::string folder = dir.path() + "I/Q/";
  ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
  ASSERT_EQ(symlink((BinDirectory() + "qarconsole").c_str(), (folder + "qarconsole").c_str()), 0);
  ConsoleOutcome o = home.Run({"status"}, "", systemctl.Env(), folder + "qarconsole");
  EXPECT_EQ(o.code, 0);
  EXPECT_TRUE(Has(o.out, "QarSMS: Service is NOT Installed")) << o.out;
  EXPECT_EQ(systemctl.Calls(), "");  // nothing installed

  struct {
    std::vector<std::string> args;
    int code;
    std::string printed;
  } cases[] = {
      {{"/INSTALLSERVICEX"}, 2, "Unknown switch /INSTALLSERVICEX"},
      {{"/srv/qarsms"}, 2, "Unknown switch /srv/qarsms"},
      {{"frobnicate"}, 2, "Unknown command frobnicate"},
      {{"testmsg", "447700900123"}, 2, "Wrong number of arguments for testmsg"},
      {{"config", "put", "QARHUB", "WebPort"}, 2, "Usage: config get SECTION KEY"},
  };
  for (const auto& c : cases) {
    ConsoleOutcome r = home.Run(c.args, "", systemctl.Env());
    EXPECT_EQ(r.code, c.code) << c.args[0];
    EXPECT_TRUE(Has(r.out, c.printed)) << c.args[0] << "\n" << r.out;
  }
  EXPECT_EQ(systemctl.Calls(), "");
}

TEST(ConsoleCommands, HelpListsEverySwitchAndCommandWithAnExample) {
  ConsoleHome home;
  for (const char* help : {"--help", "/?", "-H"}) {
    ConsoleOutcome o = home.Run({help});
    EXPECT_EQ(o.code, 0) << help;
    for (const char* item : {"/QUIET", "/STOPSERVICE", "/STARTSERVICE", "/RESTARTSERVICE", "/INSTALLSERVICE",
                             "/REMOVESERVICE", "/DELETEDATADIR", "/MODEMTEST", "/WIZARD", "--strict-exit",
                             "qarconsole status", "qarconsole config get QARHUB WebPort",
                             "qarconsole config set QARHUB WebPort 8800", "qarconsole testmsg",
                             "qarconsole modemtest /dev/ttyUSB0"})
      EXPECT_TRUE(Has(o.out, item)) << help << ": " << item;
  }
}

TEST(ConsoleCommands, ConfigGetAndSetGoThroughTheRegistry) {
  ConsoleHome home;
  home.WriteConfig({"WebPort=8801"});
  struct {
    std::vector<std::string> args;
    int code;
    std::string printed;
  } cases[] = {
      {{"config", "get", "QARHUB", "WebPort"}, 0, "8801\n"},
      {{"config", "get", "qarhub", "smppport"}, 0, "0\n"},  // the registry's default
      {{"config", "set", "QARHUB", "WebPort", "8802"}, 0, ""},
      {{"config", "get", "QARHUB", "WebPort"}, 0, "8802\n"},
      {{"config", "set", "QARHUB", "WebPort", "70000"}, 1, "Invalid value for WebPort: expected a port number"},
      {{"config", "set", "QARHUB", "Debug", "maybe"}, 1, "Invalid value for Debug: expected Yes or No"},
      {{"config", "set", "QARHUB", "WebPrt", "1"}, 1, "Unknown key WebPrt in [QARHUB]; did you mean WebPort?"},
      {{"config", "get", "QARHUB", "Nonsense"}, 1, "Unknown key Nonsense in [QARHUB]"},
      // A connection's key in a connection's section, not in [QARHUB].
      {{"config", "set", "Modem - COM3:", "PIN", "1234"}, 0, ""},
      {{"config", "get", "Modem - COM3:", "PIN"}, 0, "1234\n"},
      {{"config", "set", "QARHUB", "PIN", "1234"}, 1, "Unknown key PIN in [QARHUB]"},
      {{"config", "set", "QARHUB", "AdminUser", "ops\x01"}, 1, "control character"},
      {{"config", "set", "MMSC", "ShortMMSNotification", "Yes"}, 0, ""},
      {{"config", "set", "QARHUB", "AdminPassword", "s3cret"}, 0, ""},
      {{"config", "get", "QARHUB", "AdminPassword"}, 0, "********\n"},
      {{"config", "set", "MMSC", "WebPort", "1"}, 1, "Unknown key WebPort in [MMSC]"},
  };
  for (const auto& c : cases) {
    ConsoleOutcome o = home.Run(c.args);
    std::string label = c.args[1] + " " + c.args[3];
    EXPECT_EQ(o.code, c.code) << label << "\n" << o.out;
    if (c.printed.empty()) {
      EXPECT_EQ(o.out, "") << label;
    } else {
      EXPECT_TRUE(Has(o.out, c.printed)) << label << "\n" << o.out;
    }
  }
  std::string ini = home.Config();
  EXPECT_TRUE(Has(ini, "WebPort=8802\r\n")) << ini;
  EXPECT_FALSE(Has(ini, "70000"));
  EXPECT_FALSE(Has(ini, "WebPrt"));
  EXPECT_TRUE(Has(ini, "[Modem - COM3:]\r\nPIN=1234\r\n")) << ini;
  EXPECT_TRUE(Has(ini, "AdminPassword=" + ScrambleAdminPassword("s3cret") + "\r\n")) << ini;
  EXPECT_FALSE(Has(ini, "s3cret"));
  EXPECT_TRUE(Has(ReadFileText(home.path() + "MMSC.INI"), "[MMSC]\r\nShortMMSNotification=Yes\r\n")) << ReadFileText(home.path() + "MMSC.INI");
}

TEST(ConsoleCommands, TestMessageIsQueuedForTheGateway) {
  ConsoleHome home;
  ConsoleOutcome o = home.Run({"testmsg", "447700900123", "Hello from the console"});
  EXPECT_EQ(o.code, 0) << o.out;
  EXPECT_TRUE(Has(o.out, "Test message queued for 447700900123")) << o.out;
  std::vector<std::string> files = FilesUnder(home.path() + "Q/");
  ASSERT_EQ(files.size(), 1u) << o.out;
  std::string file = ReadFileText(files[0]);
  EXPECT_TRUE(Has(file, "[SMS]\r\n")) << file;
  EXPECT_TRUE(Has(file, "PhoneNumber=447700900123\r\n")) << file;
  EXPECT_TRUE(Has(file, "Data=Hello from the console\r\n")) << file;

  ConsoleOutcome bad = home.Run({"testmsg", "", "Hello"});
  EXPECT_EQ(bad.code, 1) << bad.out;
  EXPECT_TRUE(Has(bad.out, "Test message not queued")) << bad.out;
  EXPECT_EQ(FilesUnder(home.path() + "Q/").size(), 1u);
}

TEST(ConsoleCommands, DeleteDataDirAsksFirst) {
  ConsoleHome home;
  std::string privateDir = home.path() + "PRIVATE/";
  ASSERT_EQ(system(("mkdir -p '" + privateDir + "'").c_str()), 0);
  WriteFileText(privateDir + "keep", "x");
  ConsoleOutcome no = home.Run({"/DELETEDATADIR"}, "n\n");
  EXPECT_TRUE(Has(no.out, "Delete Configuration files for QarSMS? (y/n)")) << no.out;
  EXPECT_TRUE(access((privateDir + "keep").c_str(), F_OK) == 0);
  ConsoleOutcome none = home.Run({"/DELETEDATADIR"}, "");  // no answer: nothing deleted
  EXPECT_TRUE(access((privateDir + "keep").c_str(), F_OK) == 0);
  ConsoleOutcome yes = home.Run({"-deletedatadir", "--strict-exit"}, "y\n");
  EXPECT_EQ(yes.code, 0) << yes.out;
  EXPECT_FALSE(access(privateDir.c_str(), F_OK) == 0);
}
}  // namespace

namespace {
// Without a command and with a modem configured: the status, and the offer to start.
TEST(ConsoleCommands, NoCommandShowsTheStatusAndOffersToStart) {
  ConsoleHome home;
  FakeSystemctl systemctl;
  home.WriteConfig({"Modem1=/dev/ttyUSB0"});
  ConsoleOutcome no = home.Run({}, "n\n", systemctl.Env());
  EXPECT_EQ(no.code, 0);
  EXPECT_TRUE(Has(no.out, "QarSMS: Service is NOT Installed\n")) << no.out;
  EXPECT_TRUE(Has(no.out, "Service is not active, do you wish to activate the service? (y/n)")) << no.out;
  EXPECT_EQ(systemctl.Calls(), "");
  ConsoleOutcome yes = home.Run({}, "y\n", systemctl.Env());
  EXPECT_TRUE(Has(yes.out, "Service successfully installed!")) << yes.out;
  EXPECT_TRUE(Has(systemctl.Calls(), "enable --now qarsms.service")) << systemctl.Calls();
  ConsoleOutcome running = home.Run({}, "", systemctl.Env());
  EXPECT_TRUE(Has(running.out, "QarSMS: Service is Active\n")) << running.out;
  EXPECT_FALSE(Has(running.out, "do you wish to activate")) << running.out;
}
}  // namespace

namespace {
// Where the MMS companion's program is installed beside the console, it is a service too.
TEST(ConsoleSwitches, TheMmsCompanionCountsWhereItsProgramIs) {
  ConsoleHome home;
  FakeSystemctl systemctl;
  TempDir programs;
  for (const char* file : {"qarconsole", "libqarvault.so"})
    ASSERT_EQ(system(("cp '" + BinDirectory() + file + "' '" + programs.path() + "'").c_str()), 0);
  for (const char* program : {"qarposthost", "qargate"}) {  // run by the stand-in systemd only
    WriteFileText(programs.path() + program, "#!/bin/sh\nexit 0\n");
    chmod((programs.path() + program).c_str(), 0755);
  }
  std::string console = programs.path() + "qarconsole";

  EXPECT_TRUE(Has(home.Run({"status"}, "", systemctl.Env(), console).out, "QarMMSC: Service is NOT Installed\n"));
  // A program that is not there is not registered.
  unlink((programs.path() + "qargate").c_str());
  ConsoleOutcome missing = home.Run({"/I"}, "", systemctl.Env(), console);
  EXPECT_TRUE(Has(missing.out, "Service installation failed!")) << missing.out;
  EXPECT_TRUE(Has(missing.out, programs.path() + "qargate not found")) << missing.out;
  EXPECT_FALSE(access((systemctl.units.path() + "qarsms.service").c_str(), F_OK) == 0);
  WriteFileText(programs.path() + "qargate", "#!/bin/sh\nexit 0\n");
  chmod((programs.path() + "qargate").c_str(), 0755);
  ConsoleOutcome install = home.Run({"/I"}, "", systemctl.Env(), console);
  EXPECT_TRUE(Has(install.out, "Service successfully installed!")) << install.out;
  EXPECT_TRUE(Has(systemctl.Calls(), "enable --now qarmmsc.service")) << systemctl.Calls();
  EXPECT_TRUE(Has(ReadFileText(systemctl.units.path() + "qarmmsc.service"),
                  "ExecStart=\"" + programs.path() + "qarposthost\"\n"));
  EXPECT_TRUE(Has(home.Run({"status"}, "", systemctl.Env(), console).out, "QarMMSC: Service is Active\n"));
  ConsoleOutcome stop = home.Run({"/STOPSERVICE"}, "", systemctl.Env(), console);
  EXPECT_TRUE(Has(stop.out, "QarMMSC: Service is NOT active\n")) << stop.out;
  EXPECT_TRUE(Has(systemctl.Calls(), "stop --no-block qarmmsc.service")) << systemctl.Calls();
  ConsoleOutcome remove = home.Run({"/R"}, "", systemctl.Env(), console);
  EXPECT_TRUE(Has(remove.out, "Service successfully removed!")) << remove.out;
  EXPECT_FALSE(access((systemctl.units.path() + "qarmmsc.service").c_str(), F_OK) == 0);
  // Without the program, the console's own folder has no companion (the other tests).
  EXPECT_TRUE(Has(home.Run({"status"}, "", systemctl.Env()).out, "QarMMSC: Service is NOT Installed\n"));
}
}  // namespace
