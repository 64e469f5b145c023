// The supervisor back end end to end: the console installs and starts the real gateway
// under qargatesvc, tells whether it runs and why not, stops it and removes it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "console/tests/console_runner.h"
#include "runtime/unique_fd.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/sped_up_clock.h"
#include "tests/support/test_files.h"

namespace {
const std::vector<std::string> kSupervisor = {"QARSMS_SERVICE_HOST=supervisor"};

TEST(ConsoleSupervisor, InstallStatusStopRemove) {
  ConsoleHome home;
  uint16_t port = FreeTcpPort();
  home.WriteConfig({"WebPort=" + std::to_string(port), "Modem1=IPModem - 127.0.0.1:1"});

  ConsoleOutcome install = home.Run({"/INSTALLSERVICE", "--strict-exit"}, "", kSupervisor);
  ASSERT_EQ(install.code, 0) << install.out << ReadFileText(home.path() + "LOGS/QARGATESVC.LOG");
  EXPECT_TRUE(Has(install.out, "Service successfully installed!")) << install.out;
  ASSERT_TRUE(WaitUntil(60000, [&] { return PortAccepts(port); })) << ReadFileText(home.path() + "LOGS/QARGATESVC.LOG");
  // The record of the back end: later calls need no hint.
  ConsoleOutcome status = home.Run({"status"});
  EXPECT_TRUE(Has(status.out, "QarSMS: Service is Active\n")) << status.out;
  EXPECT_TRUE(Has(status.out, "QarMMSC: Service is NOT Installed\n")) << status.out;
  // The gateway keeps its modems open: the test refuses one it has, whatever the line says.
  ConsoleOutcome busy = home.Run({"modemtest", "IPModem - 127.0.0.1:1"});
  EXPECT_EQ(busy.code, 1);
  EXPECT_TRUE(Has(busy.out, "Modem is in use by the QarSMS service.")) << busy.out;
  std::string answer = Curl({"-s", "-o", "/dev/null", "-w", "%{http_code}", "http://127.0.0.1:" + std::to_string(port) + "/"});
  EXPECT_FALSE(answer.empty());

  auto start = std::chrono::steady_clock::now();
  ConsoleOutcome stop = home.Run({"-STOPSERVICE", "--strict-exit"});
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(stop.code, 0) << stop.out;
  EXPECT_LT(seconds, 120);
  EXPECT_TRUE(Has(stop.out, "QarSMS: Service is NOT active")) << stop.out;
  EXPECT_FALSE(PortAccepts(port));

  ConsoleOutcome start2 = home.Run({"/STARTSERVICE", "--strict-exit"});
  EXPECT_EQ(start2.code, 0) << start2.out;
  ASSERT_TRUE(WaitUntil(60000, [&] { return PortAccepts(port); }));

  ConsoleOutcome remove = home.Run({"/REMOVESERVICE", "--strict-exit"});
  EXPECT_EQ(remove.code, 0) << remove.out;
  EXPECT_TRUE(Has(remove.out, "Service successfully removed!")) << remove.out;
  EXPECT_FALSE(PortAccepts(port));
  EXPECT_TRUE(Has(home.Run({"status"}).out, "QarSMS: Service is NOT Installed")) << home.Run({"status"}).out;
}

TEST(ConsoleSupervisor, StatusComesFromTheLockAndTheStatusBlock) {
  ConsoleHome home;
  ASSERT_EQ(system(("mkdir -p '" + home.path() + "PRIVATE'").c_str()), 0);
  // What a crashed gateway leaves: the lock file and a block saying "web port in use".
  std::string block(512, '\0');
  block[2] = 1;
  WriteFileText(home.path() + "PRIVATE/QAR_QARHUB_ShMem", block);
  WriteFileText(home.path() + "PRIVATE/QAR_QARHUB.LCK", "");
  WriteFileText(home.path() + "PRIVATE/SERVICEHOST", "supervisor\n");
  EXPECT_TRUE(Has(home.Run({"status"}).out, "QarSMS: Service is NOT active\n"));

  // A gateway whose web port is taken runs on and says so in its block.
  uint16_t port = FreeTcpPort();
  UniqueFd taken = HoldTcpPort(port);
  ASSERT_TRUE(taken.valid());
  home.WriteConfig({"WebPort=" + std::to_string(port)});
  ASSERT_EQ(home.Run({"/STARTSERVICE", "--strict-exit"}).code, 0);
  std::string out;
  EXPECT_TRUE(WaitUntil(30000, [&] {
    out = home.Run({"status"}).out;
    return Has(out, "QarSMS: ERROR:  Web Port already in use\n");
  })) << out;
  ConsoleOutcome stop = home.Run({"/STOPSERVICE", "--strict-exit"});
  EXPECT_EQ(stop.code, 0) << stop.out;
  EXPECT_TRUE(Has(home.Run({"status"}).out, "QarSMS: Service is NOT active\n"));

  // The SMPP server's port taken: the gateway serves the web and says so.
  uint16_t web = FreeTcpPort();
  home.WriteConfig({"WebPort=" + std::to_string(web), "SMPPPort=" + std::to_string(port)});
  ASSERT_EQ(home.Run({"/STARTSERVICE", "--strict-exit"}).code, 0);
  EXPECT_TRUE(WaitUntil(30000, [&] {
    out = home.Run({"status"}).out;
    return Has(out, "QarSMS: ERROR:  SMPP Server Port already in use\n");
  })) << out;
  EXPECT_TRUE(PortAccepts(web));
  EXPECT_EQ(home.Run({"/STOPSERVICE", "--strict-exit"}).code, 0);
}

// A stop that follows the start at once reaches the supervisor: the recorded pid already
// runs qargatesvc, and the gateway, waiting out a taken web port, ends at once.
TEST(ConsoleSupervisor, StopRightAfterStartStops) {
  ConsoleHome home;
  ASSERT_EQ(system(("mkdir -p '" + home.path() + "PRIVATE'").c_str()), 0);
  WriteFileText(home.path() + "PRIVATE/SERVICEHOST", "supervisor\n");
  uint16_t port = FreeTcpPort();
  UniqueFd taken = HoldTcpPort(port);
  ASSERT_TRUE(taken.valid());
  home.WriteConfig({"WebPort=" + std::to_string(port)});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(home.Run({"/STARTSERVICE", "--strict-exit"}).code, 0);
    std::string pid = ReadFileText(home.path() + "PRIVATE/QARGATESVC.PID");
    char exe[4096] = {0};
    ssize_t n = readlink(("/proc/" + pid.substr(0, pid.find('\n')) + "/exe").c_str(), exe, sizeof exe - 1);
    EXPECT_GT(n, 0);
    EXPECT_TRUE(std::string(exe).ends_with("/qargatesvc")) << exe;
    auto start = std::chrono::steady_clock::now();
    ConsoleOutcome stop = home.Run({"/STOPSERVICE", "--strict-exit"});
    EXPECT_EQ(stop.code, 0) << stop.out << ReadFileText(home.path() + "LOGS/QARGATESVC.LOG");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(Has(home.Run({"status"}).out, "QarSMS: Service is NOT active\n"));
  }
}

TEST(ConsoleSupervisor, StopOfAGatewayThatIgnoresItEndsWithinTheLimit) {
  ConsoleHome home;
  ASSERT_EQ(system(("mkdir -p '" + home.path() + "PRIVATE'").c_str()), 0);
  WriteFileText(home.path() + "PRIVATE/SERVICEHOST", "supervisor\n");
  WriteFileText(home.path() + "PRIVATE/QAR_QARHUB_ShMem", std::string(512, '\0'));
  // Holds the instance lock like a gateway that ignores every stop request.
  pid_t gateway = HoldFileLock(home.path() + "PRIVATE/QAR_QARHUB.LCK", true);
  ASSERT_GT(gateway, 0);
  EXPECT_TRUE(Has(home.Run({"status"}).out, "QarSMS: Service is Active\n"));
  // The two minutes pass on the console's clock, run faster where libfaketime is installed.
  std::vector<std::string> fast = SpedUpClockEnv(10);
  const long long factor = fast.empty() ? 1 : 10;
  auto start = std::chrono::steady_clock::now();
  ConsoleOutcome stop = home.Run({"/STOPSERVICE", "--strict-exit"}, "", fast);
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  kill(gateway, SIGKILL);
  waitpid(gateway, nullptr, 0);
  EXPECT_EQ(stop.code, 1) << stop.out;
  EXPECT_TRUE(Has(stop.out, "The service did not stop within 120 seconds.")) << stop.out;
  EXPECT_GE(ms * factor, 115000);
  EXPECT_LE(ms, 130000 / factor + 20000);  // a loaded machine adds real time to every round
  EXPECT_EQ(ReadFileText(home.path() + "PRIVATE/QAR_QARHUB_ShMem")[0], '\1');  // asked through the block
}

// The wizard stops a running service first and offers to start it at the end.
TEST(ConsoleSupervisor, WizardStopsTheServiceAndStartsItAgainWhenAsked) {
  ConsoleHome home;
  uint16_t port = FreeTcpPort();
  home.WriteConfig({"WebPort=" + std::to_string(port)});
  ASSERT_EQ(home.Run({"/I", "--strict-exit"}, "", kSupervisor).code, 0);
  ASSERT_TRUE(WaitUntil(60000, [&] { return PortAccepts(port); }));
  std::string answers = "/dev/nosuchmodem\n\ny\n" + std::to_string(port) + "\n0\n\npw\npw\n\ny\n";
  ConsoleOutcome o = home.Run({"/WIZARD"}, answers);
  EXPECT_EQ(o.code, 0) << o.out;
  EXPECT_TRUE(Has(o.out, "Please wait...\nStopping Services...\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "Service is not active, do you wish to activate the service? (y/n)")) << o.out;
  EXPECT_TRUE(Has(o.out, "Service successfully installed!")) << o.out;
  EXPECT_TRUE(WaitUntil(60000, [&] { return PortAccepts(port); }));
  EXPECT_TRUE(Has(home.Run({"status"}).out, "QarSMS: Service is Active\n"));
  EXPECT_EQ(home.Run({"/R", "--strict-exit"}).code, 0);
}
}  // namespace
