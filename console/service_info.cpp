// The two services of an installation and the record of which back end runs them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "console/service_host.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "runtime/process_runner.h"

namespace {
std::string HostRecordPath() { return PrivateDataDirectory() + "SERVICEHOST"; }

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

bool SystemdRuns() { return access("/run/systemd/system", F_OK) == 0 && !FindProgram("", "systemctl").empty(); }
}  // namespace

ServiceInfo GatewayService() {
  ServiceInfo s;
  s.name = "QarSMS";
  s.displayName = "Qar SMS Gateway Lite Edition";
  s.unit = "qarsms.service";
  s.program = RealProgramDirectory() + "qargate";
  s.instanceLock = PrivateDataDirectory() + "QAR_QARHUB.LCK";
  s.statusBlock = PrivateDataDirectory() + "QAR_QARHUB_ShMem";
  s.pidFile = PrivateDataDirectory() + "QARGATESVC.PID";
  s.hostLock = PrivateDataDirectory() + "QARGATESVC.LCK";
  return s;
}

ServiceInfo MmsService() {
  ServiceInfo s;
  s.name = "QarMMSC";
  s.displayName = "Qar MMS Gateway Lite Edition";
  s.unit = "qarmmsc.service";
  s.program = RealProgramDirectory() + "qarposthost";
  s.statusBlock = PrivateDataDirectory() + "QAR_MMSC_ShMem";
  s.pidFile = PrivateDataDirectory() + "QARPOSTHOST.PID";
  s.hostLock = PrivateDataDirectory() + "QARPOSTHOST.LCK";
  return s;
}

std::string SystemdUnitDirectory() {
  const char* dir = getenv("QARSMS_SYSTEMD_UNIT_DIR");
  std::string d = dir != nullptr && *dir != '\0' ? dir : "/etc/systemd/system/";
  if (d.back() != '/') d += '/';
  return d;
}

std::string SystemdUnitText(const ServiceInfo& service) {
  std::string home = ProgramDataDirectory();
  if (home.size() > 1 && home.back() == '/') home.pop_back();
  return "[Unit]\n"
         "Description=" + service.displayName + "\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "Environment=\"QARSMS_HOME=" + home + "\"\n"
         "ExecStart=\"" + service.program + "\"\n"
         "# A stop or a configuration restart ends the process; systemd starts it again.\n"
         "Restart=always\n"
         "RestartSec=2\n"
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=180\n"
         "LimitNOFILE=65536\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool RecordServiceHost(const std::string& name) {
  std::string path = HostRecordPath();
  CreatePathDirectories(path);
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  return fd && WriteText(fd.get(), name + "\n") == name.size() + 1;
}

void ForgetServiceHost() { unlink(HostRecordPath().c_str()); }

ServiceHost ChooseServiceHost() {
  std::string recorded;
  if (ReadWholeFile(HostRecordPath(), recorded, 100)) {
    recorded = Trimmed(recorded);
    if (recorded == "systemd") return SystemdHost();
    if (recorded == "supervisor") return SupervisorHost();
  }
  const char* wanted = getenv("QARSMS_SERVICE_HOST");
  if (wanted != nullptr && std::string(wanted) == "systemd") return SystemdHost();
  if (wanted != nullptr && std::string(wanted) == "supervisor") return SupervisorHost();
  return SystemdRuns() ? SystemdHost() : SupervisorHost();
}
