#include "outside/qarpeer/tests/node_peer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

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
  std::vector<std::string> argv = {"node", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return process_.Start(argv, {"NODE_PATH=" + npmDir + "/node_modules"});
}

bool NodePeer::ReadLine(std::string& line, int timeoutMs) {
  if (!process_.ReadLine(line, timeoutMs)) return false;
  lines_.push_back(line);
  return true;
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

void NodePeer::Send(const std::string& line) { process_.WriteLine(line); }

// The script leaves on its own once its input is closed; it gets a moment for that.
void NodePeer::Stop() { process_.Stop(1000); }
