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

bool NodeSmsc::Start(const std::string& npmDir, const std::string& scriptsDir, const std::string& options) {
  if (!node.Start(npmDir, scriptsDir + "/smsc_server.js", {options})) return false;
  std::string line;
  if (!node.WaitFor("LISTENING ", line, 10000)) return false;
  port = unsigned(std::stoul(line.substr(10)));
  return true;
}

int NodeSmsc::Deliver(const std::string& json) {
  node.Send("deliver " + json);
  std::string line;
  // The answer follows the flush of the stored message, which a loaded disk can hold up for
  // seconds.
  if (!node.WaitFor("DELIVER_RESP ", line, 30000)) return -1;
  return std::stoi(line.substr(13));
}

bool NodeSmsc::WaitSubmit(const std::string& text, std::string& pdu, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !node.WaitFor("PDU submit_sm ", pdu, int(left.count()))) return false;
    if (pdu.find(text) != std::string::npos) return true;
  }
}

size_t NodeSmsc::CountSubmits(const std::string& text) const {
  size_t n = 0;
  for (const std::string& l : node.lines()) {
    if (l.rfind("PDU submit_sm ", 0) == 0 && l.find(text) != std::string::npos) ++n;
  }
  return n;
}
