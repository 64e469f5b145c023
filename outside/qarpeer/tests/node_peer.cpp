#include "outside/qarpeer/tests/node_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

extern char** environ;

bool EnsureNodeSmpp(const std::string& npmDir) {
  // Test processes run in parallel: one installs under the lock, the others wait, and the
  // marker is written only after a complete install.
  std::string marker = npmDir + ".installed";
  struct stat st{};
  if (stat(marker.c_str(), &st) == 0) return true;
  std::string lockPath = npmDir + ".lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) close(lock);
    return false;
  }
  bool ok = stat(marker.c_str(), &st) == 0;
  if (!ok) {
    std::string command = "rm -rf '" + npmDir + "' && mkdir -p '" + npmDir + "' && timeout 300 npm install --prefix '" +
                          npmDir + "' smpp@0.5.1 >/dev/null 2>&1";
    ok = std::system(command.c_str()) == 0 && stat((npmDir + "/node_modules/smpp/package.json").c_str(), &st) == 0;
    if (ok) {
      int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
    }
  }
  close(lock);
  return ok;
}

NodePeer::~NodePeer() { Stop(); }

bool NodePeer::Start(const std::string& npmDir, const std::string& script, const std::vector<std::string>& args) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) return false;
  if (pipe2(fromChild, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> argv = {"node", script};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back("NODE_PATH=" + npmDir + "/node_modules");
  std::vector<char*> rawEnv;
  for (auto& e : env) rawEnv.push_back(e.data());
  rawEnv.push_back(nullptr);
  int rc = posix_spawnp(&pid_, "node", &actions, nullptr, raw.data(), rawEnv.data());
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  return true;
}

bool NodePeer::ReadLine(std::string& line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      lines_.push_back(line);
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

bool NodePeer::WaitFor(const std::string& prefix, std::string& line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (!ReadLine(line, int(left.count()))) return false;
    if (line.rfind(prefix, 0) == 0) return true;
  }
}

void NodePeer::Send(const std::string& line) {
  if (in_ < 0) return;
  std::string text = line + "\n";
  ssize_t ignored = write(in_, text.data(), text.size());
  (void)ignored;
}

void NodePeer::Stop() {
  if (in_ >= 0) close(in_);
  in_ = -1;
  if (pid_ > 0) {
    // Give the script a moment to leave on its own (stdin closed), then end it.
    for (int i = 0; i < 20; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      usleep(50000);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (out_ >= 0) close(out_);
  out_ = -1;
}
