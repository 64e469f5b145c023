#include "console/service_actions.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "console/gateway_state.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/process_runner.h"
#include "runtime/str_printf.h"

namespace {
constexpr size_t kStopByte = 0, kFirstPortError = 2, kSecondPortError = 4;

void Say(const ServiceActionOptions& o, const std::string& text) {
  if (!o.quiet) printf("%s\n", text.c_str());
}

void Sleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool IsRunning(const ServiceHost& host, const ServiceInfo& service) { return host.state(service) == ServiceState::Running; }

// One round of a stop: asks the gateway through its status block when it runs, then waits
// up to a second, less when its locks are let go sooner.
void StopRound(const ServiceInfo& service, bool setStopByte) {
  uint64_t start = TickMs();
  if (setStopByte && LockHeld(service.instanceLock)) WriteStatusByte(service.statusBlock, kStopByte, 1);
  if (!service.instanceLock.empty()) WaitLockFree(service.instanceLock, 1000);
  uint64_t spent = TickMs() - start;
  if (spent < 1000) WaitLockFree(service.hostLock, static_cast<unsigned>(1000 - spent));
}

// Waits while either service runs, one round at a time; true when none runs.
bool WaitStopped(const ServiceHost& host, const std::vector<ServiceInfo>& services, unsigned rounds,
                 bool setStopByte) {
  for (unsigned i = 0; i < rounds; ++i) {
    bool running = false;
    for (const ServiceInfo& s : services) running = running || IsRunning(host, s);
    if (!running) return true;
    uint64_t start = TickMs();
    StopRound(services.front(), setStopByte);
    uint64_t spent = TickMs() - start;
    // A host that still reports the service as stopping gets its full second.
    bool still = false;
    for (const ServiceInfo& s : services) still = still || IsRunning(host, s);
    if (still && spent < 1000) Sleep(static_cast<unsigned>(1000 - spent));
  }
  for (const ServiceInfo& s : services)
    if (IsRunning(host, s)) return false;
  return true;
}

std::vector<ServiceInfo> Services() {
  std::vector<ServiceInfo> services = {GatewayService()};
  if (MmsServicePresent()) services.push_back(MmsService());
  return services;
}

std::string StateText(const ServiceHost& host, const ServiceInfo& service, bool gateway) {
  if (!gateway && !MmsServicePresent()) return "Service is NOT Installed";
  switch (host.state(service)) {
    case ServiceState::NotInstalled:
      return "Service is NOT Installed";
    case ServiceState::Stopped:
      return "Service is NOT active";
    case ServiceState::Running:
      break;
  }
  if (ReadStatusByte(service.statusBlock, kFirstPortError) != 0)
    return gateway ? "ERROR:  Web Port already in use" : "ERROR:  MM7 Port already in use";
  if (ReadStatusByte(service.statusBlock, kSecondPortError) != 0)
    return gateway ? "ERROR:  SMPP Server Port already in use" : "ERROR:  SMPP Port already in use";
  return "Service is Active";
}

void RunFirewallHelper(const ServiceInfo& service) {
  std::string helper = RealProgramDirectory() + "qarfirewall";
  if (access(helper.c_str(), X_OK) != 0) return;
  ProcessOptions options;
  options.stdoutPath = "/dev/null";
  options.stderrToStdout = true;
  options.timeoutMs = 60000;
  RunProcess({helper, service.program, service.displayName}, options);
}
}  // namespace

bool MmsServicePresent() { return access(MmsService().program.c_str(), X_OK) == 0; }

bool EitherServiceRunning(const ServiceHost& host) {
  for (const ServiceInfo& s : Services())
    if (IsRunning(host, s)) return true;
  return false;
}

std::vector<std::string> ServiceStatusLines(const ServiceHost& host) {
  ServiceInfo gateway = GatewayService(), mms = MmsService();
  return {gateway.name + ": " + StateText(host, gateway, true), mms.name + ": " + StateText(host, mms, false)};
}

bool StopServices(const ServiceHost& host, const ServiceActionOptions& o) {
  std::vector<ServiceInfo> services = Services();
  for (const ServiceInfo& s : services)
    if (host.state(s) != ServiceState::NotInstalled) host.sendStop(s);
  if (!WaitStopped(host, services, o.stopRounds, true)) {
    Say(o, StrPrintf("The service did not stop within %u seconds.", o.stopRounds));
    return false;
  }
  return true;
}

bool StartServices(const ServiceHost& host, const ServiceActionOptions& o) {
  std::vector<ServiceInfo> services = Services();
  bool ok = true;
  for (const ServiceInfo& s : services) {
    if (host.state(s) == ServiceState::Running) continue;
    if (host.state(s) == ServiceState::NotInstalled) {
      Say(o, "Service is NOT Installed");
      ok = false;
      continue;
    }
    std::string error;
    if (!host.start(s, error)) {
      Say(o, "Error " + (error.empty() ? std::string("1") : error) + " starting service");
      if (!error.empty()) fprintf(stderr, "qarconsole: %s: %s\n", s.name.c_str(), error.c_str());
      ok = false;
    }
  }
  if (!ok) return false;
  // Polled as the service manager was, each second for up to two minutes.
  const ServiceInfo& gateway = services.front();
  for (unsigned i = 0; i < 120; ++i) {
    if (IsRunning(host, gateway)) return true;
    Sleep(1000);
  }
  Say(o, "The service did not start within 120 seconds.");
  return false;
}

bool RestartServices(const ServiceHost& host, const ServiceActionOptions& o) {
  if (host.state(GatewayService()) == ServiceState::NotInstalled) {
    Say(o, "Service is NOT Installed");
    return false;
  }
  if (!StopServices(host, o)) return false;
  Sleep(2000);
  return StartServices(host, o);
}

bool InstallServices(const ServiceHost& host, const ServiceActionOptions& o) {
  bool ok = true;
  for (const ServiceInfo& s : Services()) {
    RunFirewallHelper(s);
    std::string error;
    if (!host.install(s, error)) {
      fprintf(stderr, "qarconsole: %s: %s\n", s.name.c_str(), error.c_str());
      ok = false;
      break;
    }
  }
  if (ok) ok = RecordServiceHost(host.name);
  if (ok) ok = StartServices(host, ServiceActionOptions{true, o.stopRounds});
  Say(o, ok ? "Service successfully installed!" : "Service installation failed!");
  return ok;
}

bool RemoveServices(const ServiceHost& host, const ServiceActionOptions& o) {
  ServiceInfo gateway = GatewayService();
  bool removed = false;
  if (host.state(gateway) != ServiceState::NotInstalled) {
    host.sendStop(gateway);
    bool stopped = WaitStopped(host, {gateway}, o.stopRounds, true);
    if (!stopped) fprintf(stderr, "qarconsole: %s did not stop within %u seconds\n", gateway.name.c_str(), o.stopRounds);
    removed = host.remove(gateway);
    if (MmsServicePresent()) {
      ServiceInfo mms = MmsService();
      if (host.state(mms) != ServiceState::NotInstalled) {
        host.sendStop(mms);
        WaitStopped(host, {mms}, o.stopRounds, false);
        removed = host.remove(mms) || removed;
      }
    }
  }
  if (removed) ForgetServiceHost();
  Say(o, removed ? "Service successfully removed!" : "Service removal failed!");
  return removed;
}
