// Runs qarpdu against PDU coders that others wrote (python3-gammu and the 3GPP-derived coder
// in ../shared/peers/simlib), and checks the tool's command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

struct CommandRun {
  int exitCode = -1;
  std::string output;
};

CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

TEST(PeerCrossCheck, QarpduAgreesWithGammuAndSimlib) {
  const CommandRun run = RunCommand(std::string("/usr/bin/python3 '") + GSM_PEER_SCRIPT + "' '" + QARPDU_PATH + "' 2>&1");
  if (run.exitCode == 77) GTEST_SKIP() << "python3-gammu is not installed (apt-get install python3-gammu): " << run.output;
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("0 mismatches"), std::string::npos) << run.output;
}

TEST(PeerCrossCheck, ToolCommandLine) {
  const std::string tool = std::string("'") + QARPDU_PATH + "'";
  CommandRun help = RunCommand(tool + " --help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("qarpdu submit --to NUMBER"), std::string::npos);
  EXPECT_NE(help.output.find("AT+CMGS="), std::string::npos);

  CommandRun submit = RunCommand(tool + " submit --to +447700900123 --text hello");
  EXPECT_EQ(submit.exitCode, 0);
  EXPECT_EQ(submit.output, "0001010C91447700091032000005E8329BFD06\n18\n");

  CommandRun refused = RunCommand(tool + " submit --to Info --text hello 2>&1");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find("destination"), std::string::npos);

  CommandRun report = RunCommand(tool + " decode 0791447758100650062A0C91447700091032622170010350406221700113540A46");
  EXPECT_EQ(report.exitCode, 0);
  EXPECT_NE(report.output.find("Type: SMS-STATUS-REPORT\n"), std::string::npos);
  EXPECT_NE(report.output.find("Reference: 42\n"), std::string::npos);
  EXPECT_NE(report.output.find("Status: 46 (Error: Message Expired)\n"), std::string::npos);
  EXPECT_NE(report.output.find("Receipt: id:unknown sub:001 dlvrd:000 submit date:2612071030 done date:2612071031 "
                               "stat:REJECTD err:046\n"),
            std::string::npos);

  CommandRun shortPdu = RunCommand(tool + " decode 0791447758100650040C91447700 2>&1");
  EXPECT_EQ(shortPdu.exitCode, 1);
  EXPECT_NE(shortPdu.output.find("malformed PDU"), std::string::npos);

  CommandRun noArgs = RunCommand(tool + " 2>&1");
  EXPECT_EQ(noArgs.exitCode, 1);
  CommandRun unknown = RunCommand(tool + " frobnicate 2>&1");
  EXPECT_EQ(unknown.exitCode, 1);
}
