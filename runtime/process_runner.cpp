#include "runtime/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "runtime/clock.h"
#include "runtime/unique_fd.h"

extern char** environ;

int RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.stdinPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.stdinPath.c_str(), O_RDONLY, 0);
  }
  if (options.stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, STDOUT_FILENO);
    if (options.stderrToStdout) posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, STDERR_FILENO);
  } else if (!options.stdoutPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0664);
    if (options.stderrToStdout) posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.ownProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return -1;

  uint64_t start = TickMs();
  int status = 0;
  // The child's pidfd becomes readable when it exits; without one (an old kernel) a short look.
  UniqueFd exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return -1;
    uint64_t spent = TickMs() - start;
    if (spent >= options.timeoutMs) {
      if (options.ownProcessGroup) killpg(pid, SIGKILL);
      else kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -2;
    }
    if (exited) {
      pollfd p = {exited.get(), POLLIN, 0};
      uint64_t left = options.timeoutMs - spent;
      poll(&p, 1, left > 60000 ? 60000 : static_cast<int>(left));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

std::string FindProgram(const std::string& directory, const std::string& name) {
  struct stat st;
  std::string local = directory + name;
  if (stat(local.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(local.c_str(), X_OK) == 0) return local;
  const char* path = getenv("PATH");
  if (path == nullptr) return {};
  std::string list(path);
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    std::string candidate = list.substr(begin, end - begin);
    if (!candidate.empty()) {
      candidate += "/" + name;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    begin = end + 1;
  }
  return {};
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> out;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) out.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) out.push_back(word);
  return out;
}
