#include "tests/support/gateway_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

bool HostHasIpv6() {
  int s = socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(s);
  return ok;
}

bool Ipv6LoopbackAccepts(uint16_t port) {
  int s = socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = in6addr_loopback;
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(s);
  return ok;
}

std::string BinDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  path[n > 0 ? n : 0] = '\0';
  std::string s(path);
  return s.substr(0, s.rfind('/') + 1);
}

std::string Curl(const std::vector<std::string>& args) {
  GatewayHome scratch;
  std::string out = scratch.path() + "curl.out";
  std::string command = "curl -s -m 10 -w '\\n%{http_code}' -o - ";
  for (const std::string& a : args) command += "'" + a + "' ";
  command += "> " + out + " 2>/dev/null";
  if (system(command.c_str()) == -1) return {};
  return ReadFileText(out);
}

std::string CurlStatus(const std::string& curlOutput) { return curlOutput.substr(curlOutput.rfind('\n') + 1); }

void GatewayHome::WriteConfig(const std::vector<std::string>& qarhubLines, const std::string& extra) {
  std::string text = "[QARHUB]\r\n";
  for (const std::string& line : qarhubLines) text += line + "\r\n";
  WriteFileText(path() + "QARHUB.INI", text + extra);
}

void GatewayHome::DropQueueFile(const std::string& name, const std::string& body) const {
  DropFileText(path() + "Q/" + name, "[SMS]\r\n" + body);
}

std::string GatewayHome::OutboundLog() const {
  std::string all;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(path() + "LOGS", ec)) {
    if (e.path().filename().string().rfind("SMSOUT", 0) == 0) all += ReadFileText(e.path().string());
  }
  return all;
}

GatewayProcess::GatewayProcess(const GatewayHome& home, const std::string& program,
                               const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  std::string binary = program.find('/') == std::string::npos ? BinDirectory() + program : program;
  outputPath_ = home.path() + binary.substr(binary.rfind('/') + 1) + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(this)) + ".out";
  std::vector<std::string> env = extraEnv;
  env.push_back("QARSMS_HOME=" + home.path());
  // getenv takes the first entry of a name: ours replace the inherited ones.
  const size_t ours = env.size();
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (size_t i = 0; i < ours && !replaced; ++i) replaced = env[i].compare(0, name.size(), name) == 0;
    if (!replaced) env.push_back(std::move(entry));
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore{binary};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

GatewayProcess::~GatewayProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool GatewayProcess::WaitExit(unsigned ms, int& code) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!reaped_) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  code = code_;
  return true;
}

bool GatewayProcess::Running() {
  int code;
  return pid_ > 0 && !WaitExit(0, code);
}

void GatewayProcess::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool GatewayProcess::WaitForOutput(const std::string& text, unsigned ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

void WebGateway::Configure(std::vector<std::string> lines, const std::string& extra) {
  lines.insert(lines.begin(), {"Debug=Yes", "WebPort=" + std::to_string(port)});
  home.WriteConfig(lines, extra);
}

bool WaitReady(GatewayProcess& p, uint16_t port) {
  return p.WaitForOutput("Web server started on port number", 20000) &&
         WaitUntil(10000, [&] { return PortAccepts(port); });
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> WebGateway::TakeQueued() const {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(home.path() + "Q", ec)) {
    if (e.is_regular_file() && e.path().extension() == ".req") paths.push_back(e.path().string());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> out;
  for (const std::string& p : paths) {
    out.push_back(ReadFileText(p));
    std::filesystem::remove(p, ec);
  }
  return out;
}

pid_t FirstChildOf(pid_t parent) {
  std::istringstream in(ReadFileText("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                                     "/children"));
  pid_t child = -1;
  in >> child;
  return child;
}
