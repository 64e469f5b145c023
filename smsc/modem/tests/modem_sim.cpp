#include "smsc/modem/tests/modem_sim.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "runtime/process_runner.h"
#include "tests/support/gateway_process.h"
#include "tests/support/test_files.h"

extern char** environ;

namespace {
std::atomic<int> g_count{0};
const std::string kPeers = QAR_PEERS_DIR;
const std::string kQuery = MODEM_SIM_QUERY;
}  // namespace

bool ModemSim::Start(const std::vector<std::string>& args) {
  link_ = dir_.path() + "ttyGSM" + std::to_string(g_count++);
  std::string out = dir_.path() + "sim.out";
  std::vector<std::string> argv = {kPeers + "/modem-sim", "--pty", link_, "--control", "127.0.0.1:0",
                                   "--lifetime", "600", "--log", dir_.path() + "sim.log"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (std::string& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = posix_spawn(&pid_, cargs[0], &actions, nullptr, cargs.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  std::string ready;
  if (!WaitUntil(20000, [&] {
        ready = ReadFileText(out);
        return ready.find("\"control\"") != std::string::npos;
      })) {
    return false;
  }
  size_t at = ready.find("\"control\": \"127.0.0.1:");
  if (at == std::string::npos) return false;
  control_ = uint16_t(atoi(ready.c_str() + at + 22));
  return control_ != 0;
}

ModemSim::~ModemSim() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

std::string ModemSim::Ask(const std::string& request, const std::string& expr) const {
  std::string out = dir_.path() + "ask-" + std::to_string(g_count++) + ".out";
  ProcessOptions options;
  options.stdoutPath = out;
  options.timeoutMs = 150000;
  std::vector<std::string> argv = {"/usr/bin/python3", kQuery, std::to_string(control_), request};
  if (!expr.empty()) argv.push_back(expr);
  RunProcess(argv, options);
  std::string text = ReadFileText(out);
  unlink(out.c_str());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

long ModemSim::AskNumber(const std::string& request, const std::string& expr) const {
  std::string text = Ask(request, expr);
  return text.empty() ? -1 : strtol(text.c_str(), nullptr, 10);
}

long ModemSim::AcceptedSubmits() const {
  return AskNumber(R"({"cmd":"submits"})", "len([s for s in a['submits'] if s['result']=='OK'])");
}

std::string ModemSim::Received() const {
  return Ask(R"({"cmd":"transcript"})", "''.join(e['data'] for e in a['entries'] if e['dir']=='in')"
                                        ".replace('\\r','<CR>').replace('\\x1a','<SUB>').replace('\\x1b','<ESC>')");
}

bool ModemSim::WaitFor(const std::string& request, const std::string& expr, const std::string& want,
                       unsigned ms) const {
  // Each question starts a program: asked a few times a second, not in the 50 ms steps.
  for (unsigned waited = 0;; waited += 250) {
    if (Ask(request, expr) == want) return true;
    if (waited >= ms) return false;
    usleep(250000);
  }
}
