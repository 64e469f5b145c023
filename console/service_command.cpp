#include "console/service_command.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "console/service_actions.h"
#include "runtime/process_runner.h"

namespace {
constexpr const char* kElevatedMark = "QARCONSOLE_ELEVATED";
std::string OwnPath() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

const char* AdminRightsText(ConsoleAction action) {
  switch (action) {
    case ConsoleAction::InstallService:
      return "Administrator rights are required for service installation.";
    case ConsoleAction::RemoveService:
      return "Administrator rights are required for service modification.";
    default:
      return "Administrator rights are required for service installation or modification.";
  }
}

// Runs the same switch in a copy of this program under "sudo -n"; the copy prints its own
// texts. Nothing when sudo would need a password: then the rights text.
bool RunElevated(ConsoleAction action, bool quiet, bool& ok) {
  ProcessOptions probe;
  probe.stdoutPath = "/dev/null";
  probe.stderrToStdout = true;
  probe.timeoutMs = 10000;
  if (RunProcess({"sudo", "-n", "true"}, probe) != 0) return false;
  // The copy never asks again: whatever it lacks, it reports.
  setenv(kElevatedMark, "1", 1);
  std::vector<std::string> argv = {
      "sudo", "-n", "--preserve-env=QARSMS_HOME,QARSMS_SERVICE_HOST,QARSMS_SYSTEMD_UNIT_DIR," + std::string(kElevatedMark),
      OwnPath(), SwitchOf(action), "--strict-exit"};
  if (quiet) argv.push_back("/Q");
  ProcessOptions options;
  options.timeoutMs = 400000;
  ok = RunProcess(argv, options) == 0;
  return true;
}

}  // namespace

bool RunServiceCommand(ConsoleAction action, bool quiet) {
  ServiceHost host = ChooseServiceHost();
  if (host.needsElevation() && getenv(kElevatedMark) == nullptr) {
    bool ok = false;
    if (RunElevated(action, quiet, ok)) return ok;
    if (!quiet) printf("%s\n", AdminRightsText(action));
    return false;
  }
  ServiceActionOptions o;
  o.quiet = quiet;
  switch (action) {
    case ConsoleAction::StopService: {
      bool ok = StopServices(host, o);
      if (ok && !quiet)
        for (const std::string& line : ServiceStatusLines(host)) printf("%s\n", line.c_str());
      return ok;
    }
    case ConsoleAction::StartService:
    case ConsoleAction::RestartService: {
      bool ok = action == ConsoleAction::StartService ? StartServices(host, o) : RestartServices(host, o);
      if (ok && !quiet)
        for (const std::string& line : ServiceStatusLines(host)) printf("%s\n", line.c_str());
      return ok;
    }
    case ConsoleAction::InstallService:
      return InstallServices(host, o);
    case ConsoleAction::RemoveService:
      return RemoveServices(host, o);
    default:
      return false;
  }
}

