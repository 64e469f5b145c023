#include "console/tests/console_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/gateway_process.h"
#include "tests/support/test_files.h"

extern char** environ;

ConsoleHome::ConsoleHome() { WriteFileText(path() + "QARHUB.INI", "[QARHUB]\r\n"); }

void ConsoleHome::WriteConfig(const std::vector<std::string>& lines) const {
  std::string text = "[QARHUB]\r\n";
  for (const std::string& l : lines) text += l + "\r\n";
  WriteFileText(path() + "QARHUB.INI", text);
}

std::string ConsoleHome::Config() const { return ReadFileText(path() + "QARHUB.INI"); }

ConsoleOutcome ConsoleHome::Run(const std::vector<std::string>& args, const std::string& input,
                                const std::vector<std::string>& extraEnv, const std::string& program) const {
  TempDir io;
  std::string in = io.path() + "in", out = io.path() + "out";
  WriteFileText(in, input);
  std::string exe = program.empty() ? BinDirectory() + "qarconsole" : program;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("QARSMS_HOME", path().c_str(), 1);
    unsetenv("QARSMS_SERVICE_HOST");
    for (const std::string& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
    freopen(in.c_str(), "r", stdin);
    freopen(out.c_str(), "w", stdout);
    dup2(1, 2);
    std::vector<char*> argv = {const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  ConsoleOutcome o;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) o.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  o.out = ReadFileText(out);
  return o;
}

FakeSystemctl::FakeSystemctl() {
  std::string script =
      "#!/bin/sh\n"
      "d=\"$(dirname \"$0\")\"\n"
      "echo \"$*\" >> \"$d/calls.log\"\n"
      "for unit; do :; done\n"
      "case \"$1\" in\n"
      "  enable) [ \"$2\" = --now ] && touch \"$d/$unit.active\" ;;\n"
      "  start) touch \"$d/$unit.active\" ;;\n"
      "  stop) rm -f \"$d/$unit.active\" ;;\n"
      "  is-active) if [ -e \"$d/$unit.active\" ]; then echo active; exit 0; else echo inactive; exit 3; fi ;;\n"
      "esac\n"
      "exit 0\n";
  WriteFileText(dir.path() + "systemctl", script);
  chmod((dir.path() + "systemctl").c_str(), 0755);
}

std::vector<std::string> FakeSystemctl::Env() const {
  const char* path = getenv("PATH");
  return {"PATH=" + dir.path() + ":" + (path != nullptr ? path : "/usr/bin:/bin"), "QARSMS_SERVICE_HOST=systemd",
          "QARSMS_SYSTEMD_UNIT_DIR=" + units.path()};
}

std::string FakeSystemctl::Calls() const { return ReadFileText(dir.path() + "calls.log"); }

pid_t HoldFileLock(const std::string& path, bool ignoreTerm) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    if (ignoreTerm) signal(SIGTERM, SIG_IGN);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOCTTY, 0644);
    char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char ok = '0';
  (void)!read(ready[0], &ok, 1);
  close(ready[0]);
  return ok == '1' ? pid : -1;
}
