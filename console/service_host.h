// Service control behind one small interface with two back ends: systemd where it runs,
// else our supervisor qargatesvc started detached with a pid file and a lock in the data
// folder. Which one an installation uses is recorded when it is installed.
#pragma once

#include <functional>
#include <string>

struct ServiceInfo {
  std::string name;          // "QarSMS", "QarMMSC"
  std::string displayName;   // "Qar SMS Gateway Lite Edition"
  std::string unit;          // "qarsms.service"
  std::string program;       // full path of the service program
  std::string instanceLock;  // held by the program while it runs ("" when it has none)
  std::string statusBlock;   // its status block file ("" when it has none)
  std::string pidFile, hostLock;  // the supervisor's, in the private data folder
};

enum class ServiceState { NotInstalled, Stopped, Running };

struct ServiceHost {
  std::string name;  // "systemd" or "supervisor"
  // True when changing the services needs rights this process lacks.
  std::function<bool()> needsElevation;
  std::function<bool(const ServiceInfo&, std::string& error)> install;  // register, enabled
  std::function<bool(const ServiceInfo&, std::string& error)> start;
  std::function<void(const ServiceInfo&)> sendStop;   // ask it to stop; does not wait
  std::function<bool(const ServiceInfo&)> remove;     // unregister (after a stop)
  std::function<ServiceState(const ServiceInfo&)> state;
};

ServiceHost SystemdHost();
ServiceHost SupervisorHost();
// The recorded back end, else QARSMS_SERVICE_HOST ("systemd"/"supervisor"), else systemd
// when it runs on this machine and systemctl is found, else the supervisor.
ServiceHost ChooseServiceHost();
// Records the back end an install used; forgets it on removal.
bool RecordServiceHost(const std::string& name);
void ForgetServiceHost();

// The gateway and the MMS companion of this installation.
ServiceInfo GatewayService();
ServiceInfo MmsService();
// The systemd unit text for a service.
std::string SystemdUnitText(const ServiceInfo& service);
// Where unit files go: QARSMS_SYSTEMD_UNIT_DIR, else /etc/systemd/system/ (ends in "/").
std::string SystemdUnitDirectory();
