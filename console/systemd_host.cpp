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

std::string UnitPath(const ServiceInfo& service) { return SystemdUnitDirectory() + service.unit; }

bool WriteUnit(const ServiceInfo& service) {
  std::string path = UnitPath(service), temp = path + ".new";
  std::string text = SystemdUnitText(service);
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
  h.install = [](const ServiceInfo& service, std::string& error) {
    if (access(service.program.c_str(), X_OK) != 0) {
      error = service.program + " not found";
      return false;
    }
    if (!WriteUnit(service)) {
      error = "cannot write " + UnitPath(service);
      return false;
    }
    if (Systemctl({"daemon-reload"}) != 0) {
      error = "systemctl daemon-reload failed";
      return false;
    }
    int rc = Systemctl({"enable", "--now", service.unit});
    if (rc != 0) error = "systemctl enable --now " + service.unit + " failed";
    return rc == 0;
  };
  h.start = [](const ServiceInfo& service, std::string& error) {
    int rc = Systemctl({"start", service.unit});
    if (rc != 0) error = std::to_string(rc);
    return rc == 0;
  };
  h.sendStop = [](const ServiceInfo& service) { Systemctl({"stop", "--no-block", service.unit}); };
  h.remove = [](const ServiceInfo& service) {
    Systemctl({"disable", service.unit});
    bool removed = unlink(UnitPath(service).c_str()) == 0;
    Systemctl({"daemon-reload"});
    return removed;
  };
  h.state = [](const ServiceInfo& service) {
    if (!FileExists(UnitPath(service))) return ServiceState::NotInstalled;
    std::string out;
    Systemctl({"is-active", service.unit}, &out);
    // Starting and stopping count as running, as a pending state did.
    for (const char* s : {"active", "activating", "deactivating", "reloading"})
      if (out.rfind(s, 0) == 0) return ServiceState::Running;
    return ServiceState::Stopped;
  };
  return h;
}
