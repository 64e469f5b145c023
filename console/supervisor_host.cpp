// The supervisor back end: qargatesvc started detached, its pid in a file and an exclusive
// flock held for its life (and its child's), so that a crash never leaves it "running".
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "console/gateway_state.h"
#include "console/service_host.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"

namespace {
std::string RecordedHost() {
  std::string text;
  ReadWholeFile(PrivateDataDirectory() + "SERVICEHOST", text, 100);
  return text.substr(0, text.find('\n'));
}

bool Installed(const ServiceInfo& service) {
  return RecordedHost() == "supervisor" && access(service.program.c_str(), X_OK) == 0;
}

bool Running(const ServiceInfo& service) {
  return LockHeld(service.hostLock) || (!service.instanceLock.empty() && LockHeld(service.instanceLock));
}

// In the first child: takes the lock, starts the supervisor in a second child that keeps
// the lock, writes its pid, and leaves (the supervisor is then nobody's child but init's).
// The pid is written only once the second child runs the supervisor: a stop that came before
// would find the console's image there, be refused as another program's, and never arrive.
[[noreturn]] void DetachSupervisor(const ServiceInfo& service, const std::string& supervisor) {
  setsid();
  int lock = open(service.hostLock.c_str(), O_RDWR | O_CREAT, 0644);  // inherited on purpose
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) _exit(3);
  std::string log = LogDirectory() + "QARGATESVC.LOG";
  CreatePathDirectories(log);
  int started[2];
  if (pipe2(started, O_CLOEXEC) != 0) _exit(4);
  pid_t pid = fork();
  if (pid < 0) _exit(4);
  if (pid == 0) {
    close(started[0]);
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(supervisor.c_str(), supervisor.c_str(), "--program", service.program.c_str(), static_cast<char*>(nullptr));
    int error = errno;
    (void)!write(started[1], &error, sizeof error);
    _exit(127);
  }
  // The exec closes the pipe; a failed exec writes its errno first.
  close(started[1]);
  int error = 0;
  ssize_t got;
  do {
    got = read(started[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  if (got > 0) _exit(6);
  std::string text = std::to_string(pid) + "\n";
  int fd = open(service.pidFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || WriteText(fd, text) != text.size()) _exit(5);
  close(fd);
  _exit(0);
}

pid_t RecordedPid(const ServiceInfo& service) {
  std::string text;
  if (!ReadWholeFile(service.pidFile, text, 64)) return -1;
  long pid = strtol(text.c_str(), nullptr, 10);
  return pid > 1 ? static_cast<pid_t>(pid) : -1;
}
bool IsSupervisor(pid_t pid) {
  std::error_code ec;
  std::string exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
  return !ec && exe == RealProgramDirectory() + "qargatesvc";
}
}  // namespace

ServiceHost SupervisorHost() {
  ServiceHost h;
  h.name = "supervisor";
  h.needsElevation = [] { return false; };  // the data folder is the operator's
  h.install = [](const ServiceInfo& service, std::string& error) {
    if (access(service.program.c_str(), X_OK) != 0) {
      error = service.program + " not found";
      return false;
    }
    if (!RecordServiceHost("supervisor")) {
      error = "cannot write the service record in " + PrivateDataDirectory();
      return false;
    }
    return true;
  };
  h.start = [](const ServiceInfo& service, std::string& error) {
    if (Running(service)) return true;
    std::string supervisor = RealProgramDirectory() + "qargatesvc";
    if (access(supervisor.c_str(), X_OK) != 0) {
      error = supervisor + " not found";
      return false;
    }
    CreatePathDirectories(service.hostLock);
    pid_t pid = fork();
    if (pid < 0) {
      error = "fork failed";
      return false;
    }
    if (pid == 0) DetachSupervisor(service, supervisor);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok) error = "the supervisor could not be started";
    return ok;
  };
  h.sendStop = [](const ServiceInfo& service) {
    pid_t pid = RecordedPid(service);
    // Only our supervisor: after a crash of it the pid may name another program.
    if (pid > 0 && LockHeld(service.hostLock) && IsSupervisor(pid)) kill(pid, SIGTERM);
  };
  h.remove = [](const ServiceInfo& service) {
    if (!Installed(service)) return false;
    unlink(service.pidFile.c_str());
    return true;
  };
  h.state = [](const ServiceInfo& service) {
    if (Running(service)) return ServiceState::Running;
    return Installed(service) ? ServiceState::Stopped : ServiceState::NotInstalled;
  };
  return h;
}
