// qargatesvc: keeps the gateway running where no systemd does. Starts qargate from its own
// directory, starts it again whenever it exits (a stop or a configuration restart ends the
// gateway's process by design), and on SIGTERM, SIGINT or SIGHUP stops it and exits.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/clock.h"

extern char** environ;

namespace {
void Usage() {
  fprintf(stderr,
          "Usage: qargatesvc [--program PATH] [--restart-delay SECONDS]\n"
          "Runs the gateway (qargate beside this program unless --program names another)\n"
          "and starts it again whenever it exits. SIGTERM, SIGINT or SIGHUP stop the gateway\n"
          "(it gets SIGTERM and up to 120 seconds for its ordered shutdown) and then this\n"
          "program. A gateway that exits within 10 seconds of its start is restarted after\n"
          "the delay (default 5 seconds), otherwise at once.\n");
}

std::string OwnDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = '\0';
  std::string s(path);
  return s.substr(0, s.rfind('/') + 1);
}

pid_t Start(const std::string& program) {
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    fprintf(stderr, "qargatesvc: cannot start %s: %s\n", program.c_str(), strerror(rc));
    return -1;
  }
  fprintf(stderr, "qargatesvc: started %s (pid %d)\n", program.c_str(), static_cast<int>(pid));
  return pid;
}

// Waits up to ms for one of the (blocked) signals; true when one came.
bool WaitForSignal(const sigset_t& signals, unsigned ms) {
  struct timespec timeout = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  int sig = sigtimedwait(&signals, nullptr, &timeout);
  return sig > 0;
}

bool Reaped(pid_t child, int& status) {
  pid_t r = waitpid(child, &status, WNOHANG);
  if (r < 0 && errno == ECHILD) status = 0;  // reaped by someone else: gone all the same
  return r == child || (r < 0 && errno == ECHILD);
}

// SIGCHLD is blocked: each wait ends when the child exits, not at a poll.
void StopChild(pid_t child) {
  kill(child, SIGTERM);
  sigset_t exited;
  sigemptyset(&exited);
  sigaddset(&exited, SIGCHLD);
  uint64_t start = TickMs();
  int status = 0;
  for (;;) {
    if (Reaped(child, status)) return;
    uint64_t spent = TickMs() - start;
    if (spent >= 120000) break;
    WaitForSignal(exited, static_cast<unsigned>(120000 - spent));
  }
  fprintf(stderr, "qargatesvc: gateway did not stop within 120 seconds; killing it\n");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}
}  // namespace

int main(int argc, char** argv) {
  std::string program = OwnDirectory() + "qargate";
  unsigned delaySeconds = 5;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else if (arg == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (arg == "--restart-delay" && i + 1 < argc) {
      char* end = nullptr;
      unsigned long value = strtoul(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0' || value > 3600) {
        fprintf(stderr, "qargatesvc: --restart-delay takes 0 to 3600 seconds\n");
        return 2;
      }
      delaySeconds = static_cast<unsigned>(value);
    } else {
      fprintf(stderr, "qargatesvc: unknown argument %s\n", arg.c_str());
      Usage();
      return 2;
    }
  }

  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigset_t waited = stops;
  sigaddset(&waited, SIGCHLD);
  signal(SIGCHLD, SIG_DFL);  // an inherited SIG_IGN would reap the gateway before we could
  sigprocmask(SIG_BLOCK, &waited, nullptr);

  for (;;) {
    uint64_t started = TickMs();
    pid_t child = Start(program);
    if (child > 0) {
      for (;;) {
        int status = 0;
        if (Reaped(child, status)) {
          int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          fprintf(stderr, "qargatesvc: gateway exited with code %d\n", code);
          break;
        }
        int sig = sigwaitinfo(&waited, nullptr);
        if (sig > 0 && sig != SIGCHLD) {
          StopChild(child);
          fprintf(stderr, "qargatesvc: stopped\n");
          return 0;
        }
      }
    }
    unsigned delayMs = TickMs() - started < 10000 ? delaySeconds * 1000 : 0;
    if (delayMs != 0 && WaitForSignal(stops, delayMs)) {
      fprintf(stderr, "qargatesvc: stopped\n");
      return 0;
    }
  }
}
