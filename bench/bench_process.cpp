#include "bench/bench_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

bool BenchProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> args = argv, env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> rawArgs, rawEnv;
  for (auto& a : args) rawArgs.push_back(a.data());
  rawArgs.push_back(nullptr);
  for (auto& e : env) rawEnv.push_back(e.data());
  rawEnv.push_back(nullptr);
  int rc = posix_spawnp(&pid, rawArgs[0], &actions, nullptr, rawArgs.data(), rawEnv.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) pid = -1;
  return rc == 0;
}

namespace {
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  unsigned long long user = 0, system = 0;
  fields >> user >> system;
  double own = double(user + system) / double(sysconf(_SC_CLK_TCK));
  // A program started through a wrapper (perf stat) is its child.
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (pid_t child; children >> child;) own += ProcessCpuSeconds(child);
  return own;
}
}  // namespace

double BenchProcess::CpuSeconds() const { return pid <= 0 ? 0 : ProcessCpuSeconds(pid); }

void BenchProcess::SampleRunQueueWait(std::map<pid_t, double>& waits) const {
  if (pid <= 0) return;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  DIR* d = opendir(tasks.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(tasks + e->d_name + "/schedstat");
    unsigned long long running = 0, waiting = 0;
    if (f >> running >> waiting) waits[pid_t(atoi(e->d_name))] = double(waiting) / 1e9;
  }
  closedir(d);
}

void BenchProcess::Stop() {
  if (pid <= 0) return;
  // A wrapper (perf stat) ends with its program and reports then: the program is stopped.
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  bool wrapped = false;
  for (pid_t child; children >> child;) {
    kill(child, SIGTERM);
    wrapped = true;
  }
  if (!wrapped) kill(pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    usleep(100000);
  }
  std::ifstream left("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (pid_t child; left >> child;) kill(child, SIGKILL);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

uint64_t BenchNowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

uint16_t BenchFreePort() {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

UniqueFd BenchConnect(uint16_t port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  int one = 1;
  setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

bool BenchWaitForPort(uint16_t port, int ms) {
  for (int waited = 0; waited < ms; waited += 100) {
    if (BenchConnect(port)) return true;
    usleep(100000);
  }
  return false;
}
