// The systemd back end: a unit file per service, driven through systemctl.
#include <fcntl.h>
#include <unistd.h>

#include "console/service_host.h"
#include "console/temp_output.h"
#include "runtime/file_io.h"
#include "runtime/process_runner.h"

namespace {
int Systemctl(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<std::string> argv = {"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.timeoutMs = 180000;
  if (output == nullptr) return RunProcess(argv, options);
  TempOutput out;
  options.stdoutPath = out.path();
  int rc = RunProcess(argv, options);
  *output = out.Text();
  return rc;
}

std::string UnitPath(const ServiceSpec& spec) { return SystemdUnitDirectory() + spec.unit; }

bool WriteUnit(const ServiceSpec& spec) {
  std::string path = UnitPath(spec), temp = path + ".new";
  std::string text = SystemdUnitText(spec);
  {
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || WriteText(fd.get(), text) != text.size()) {
      unlink(temp.c_str());
      return false;
    }
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}
}  // namespace

ServiceHost SystemdHost() {
  ServiceHost h;
  h.name = "systemd";
  h.needsElevation = [] { return access(SystemdUnitDirectory().c_str(), W_OK) != 0; };
  h.install = [](const ServiceSpec& spec, std::string& error) {
    if (access(spec.program.c_str(), X_OK) != 0) {
      error = spec.program + " not found";
      return false;
    }
    if (!WriteUnit(spec)) {
      error = "cannot write " + UnitPath(spec);
      return false;
    }
    if (Systemctl({"daemon-reload"}) != 0) {
      error = "systemctl daemon-reload failed";
      return false;
    }
    int rc = Systemctl({"enable", "--now", spec.unit});
    if (rc != 0) error = "systemctl enable --now " + spec.unit + " failed";
    return rc == 0;
  };
  h.start = [](const ServiceSpec& spec, std::string& error) {
    int rc = Systemctl({"start", spec.unit});
    if (rc != 0) error = std::to_string(rc);
    return rc == 0;
  };
  h.sendStop = [](const ServiceSpec& spec) { Systemctl({"stop", "--no-block", spec.unit}); };
  h.remove = [](const ServiceSpec& spec) {
    Systemctl({"disable", spec.unit});
    bool removed = unlink(UnitPath(spec).c_str()) == 0;
    Systemctl({"daemon-reload"});
    return removed;
  };
  h.state = [](const ServiceSpec& spec) {
    if (!FileExists(UnitPath(spec))) return ServiceState::NotInstalled;
    std::string out;
    Systemctl({"is-active", spec.unit}, &out);
    // Starting and stopping count as running, as a pending state did.
    for (const char* s : {"active", "activating", "deactivating", "reloading"})
      if (out.rfind(s, 0) == 0) return ServiceState::Running;
    return ServiceState::Stopped;
  };
  return h;
}
