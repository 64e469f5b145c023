#include "modem/tests/modem_sim_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "runtime/process_runner.h"
#include "runtime/text_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {

// Reads up to the first LF (without it), waiting at most ms.
std::string ReadLine(int fd, int ms) {
  std::string line;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, ms) > 0) {
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return {};
}

UniqueFd ConnectLoopback(const std::string& hostPort) {
  size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return UniqueFd();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(ParseDecimal(hostPort.substr(colon + 1))));
  inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &a.sin_addr);
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  return fd;
}

// A child in a process group of its own, standard output to outFd (-1: /dev/null).
pid_t Spawn(const std::vector<std::string>& argv, int outFd) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(outFd >= 0 ? outFd : devnull, 1);
    dup2(devnull, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

pid_t StartProgram(const std::vector<std::string>& argv) { return Spawn(argv, -1); }

void StopProgram(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);  // its children too (flock's command holds the lock as well)
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return;
    usleep(50000);
  }
  kill(-pid, SIGKILL);
  waitpid(pid, &status, 0);
}

ModemSimPeer::ModemSimPeer(const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return;
  std::vector<std::string> argv = {"python3", MODEM_SIM_PATH, "--control", "127.0.0.1:0", "--lifetime", "300"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = Spawn(argv, out[1]);
  close(out[1]);
  UniqueFd reader(out[0]);
  readyLine_ = ReadLine(reader.get(), 30000);
  if (readyLine_.find("\"ready\": true") == std::string::npos) {
    readyLine_.clear();
    return;
  }
  control_ = ConnectLoopback(Field("control"));
  if (!control_) readyLine_.clear();
}

ModemSimPeer::~ModemSimPeer() { StopProgram(pid_); }

std::string ModemSimPeer::Field(std::string_view key) const { return JsonField(readyLine_, key); }

std::string ModemSimPeer::Control(const std::string& json) {
  std::string line = json + "\n";
  if (!control_ || write(control_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
  return ReadLine(control_.get(), 130000);
}

std::string ModemSimPeer::Transcript(std::string_view dir) {
  std::string answer = Control("{\"cmd\": \"transcript\"}");
  std::string all;
  std::string wanted = "\"dir\": \"" + std::string(dir) + "\"";
  for (size_t at = answer.find(wanted); at != std::string::npos; at = answer.find(wanted, at + 1)) {
    size_t end = answer.find('}', at);
    all += JsonField(answer.substr(at, end - at + 1), "data");
  }
  return all;
}

std::string JsonField(std::string_view json, std::string_view key) {
  std::string quoted = "\"" + std::string(key) + "\":";
  size_t at = json.find(quoted);
  if (at == std::string_view::npos) return {};
  at += quoted.size();
  while (at < json.size() && json[at] == ' ') ++at;
  if (at >= json.size()) return {};
  if (json[at] != '"') {
    size_t end = json.find_first_of(",}", at);
    return std::string(json.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
  }
  std::string out;
  for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 >= json.size()) {
      out.push_back(json[i]);
      continue;
    }
    char e = json[++i];
    if (e == 'r') out.push_back('\r');
    else if (e == 'n') out.push_back('\n');
    else if (e == 't') out.push_back('\t');
    else if (e == 'u' && i + 4 < json.size()) {
      out.push_back(static_cast<char>(std::strtoul(std::string(json.substr(i + 1, 4)).c_str(), nullptr, 16)));
      i += 4;
    } else {
      out.push_back(e);
    }
  }
  return out;
}

std::string GammuDeliverPdu(const std::string& sender, const std::string& text) {
  TempDir dir;
  const char* script =
      "import gammu, sys\n"
      "sms = {'Number': sys.argv[1], 'Text': sys.argv[2], 'SMSC': {'Number': '+12345678901'},\n"
      "       'Coding': 'Default_No_Compression', 'Class': -1, 'Folder': 1, 'Location': 0,\n"
      "       'InboxFolder': 1, 'State': 'UnRead', 'Type': 'Deliver'}\n"
      "print(gammu.EncodePDU(sms, 'Deliver').hex().upper())\n";
  ProcessOptions o;
  o.stdoutPath = dir.path() + "pdu.txt";
  o.timeoutMs = 30000;
  if (RunProcess({"/usr/bin/python3", "-c", script, sender, text}, o) != 0) return {};
  return std::string(Trim(ReadFileText(o.stdoutPath)));
}
