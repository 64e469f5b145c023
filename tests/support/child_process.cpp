#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  int toChild[2], fromChild[2];
  if (argv.empty() || pipe2(toChild, O_CLOEXEC) != 0) return false;
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> args = argv;
  std::vector<char*> rawArgs;
  for (auto& a : args) rawArgs.push_back(a.data());
  rawArgs.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> rawEnv;
  for (auto& e : env) rawEnv.push_back(e.data());
  rawEnv.push_back(nullptr);
  int rc = posix_spawnp(&pid_, rawArgs[0], &actions, nullptr, rawArgs.data(), rawEnv.data());
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  if (rc != 0) pid_ = -1;
  return rc == 0;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, int(left.count())) <= 0) continue;
    char chunk[8192];
    ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, size_t(n));
  }
}

void ChildProcess::WriteLine(const std::string& line) {
  if (in_ < 0) return;
  std::string text = line + "\n";
  ssize_t ignored = write(in_, text.data(), text.size());
  (void)ignored;
}

void ChildProcess::Stop(int graceMs) {
  if (in_ >= 0) close(in_);
  in_ = -1;
  if (pid_ > 0) {
    // Only our own child, and only while it is not reaped (its number is not reused yet).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    bool reaped = false;
    for (;;) {
      pid_t r = waitpid(pid_, nullptr, WNOHANG);
      if (r == pid_ || r < 0) {
        reaped = true;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      usleep(20000);
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  if (out_ >= 0) close(out_);
  out_ = -1;
}
