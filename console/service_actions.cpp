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

bool IsRunning(const ServiceHost& host, const ServiceSpec& spec) { return host.state(spec) == ServiceState::Running; }

// One round of a stop: asks the gateway through its status block when it runs, then waits
// up to a second, less when its locks are let go sooner.
void StopRound(const ServiceSpec& spec, bool setStopByte) {
  uint64_t start = TickMs();
  if (setStopByte && LockHeld(spec.instanceLock)) WriteStatusByte(spec.statusBlock, kStopByte, 1);
  if (!spec.instanceLock.empty()) WaitLockFree(spec.instanceLock, 1000);
  uint64_t spent = TickMs() - start;
  if (spent < 1000) WaitLockFree(spec.hostLock, static_cast<unsigned>(1000 - spent));
}

// Waits while either service runs, one round at a time; true when none runs.
bool WaitStopped(const ServiceHost& host, const std::vector<ServiceSpec>& specs, unsigned rounds,
                 bool setStopByte) {
  for (unsigned i = 0; i < rounds; ++i) {
    bool running = false;
    for (const ServiceSpec& s : specs) running = running || IsRunning(host, s);
    if (!running) return true;
    uint64_t start = TickMs();
    StopRound(specs.front(), setStopByte);
    uint64_t spent = TickMs() - start;
    // A host that still reports the service as stopping gets its full second.
    bool still = false;
    for (const ServiceSpec& s : specs) still = still || IsRunning(host, s);
    if (still && spent < 1000) Sleep(static_cast<unsigned>(1000 - spent));
  }
  for (const ServiceSpec& s : specs)
    if (IsRunning(host, s)) return false;
  return true;
}

std::vector<ServiceSpec> Services() {
  std::vector<ServiceSpec> specs = {GatewayService()};
  if (MmsServicePresent()) specs.push_back(MmsService());
  return specs;
}

std::string StateText(const ServiceHost& host, const ServiceSpec& spec, bool gateway) {
  if (!gateway && !MmsServicePresent()) return "Service is NOT Installed";
  switch (host.state(spec)) {
    case ServiceState::NotInstalled:
      return "Service is NOT Installed";
    case ServiceState::Stopped:
      return "Service is NOT active";
    case ServiceState::Running:
      break;
  }
  if (ReadStatusByte(spec.statusBlock, kFirstPortError) != 0)
    return gateway ? "ERROR:  Web Port already in use" : "ERROR:  MM7 Port already in use";
  if (ReadStatusByte(spec.statusBlock, kSecondPortError) != 0)
    return gateway ? "ERROR:  SMPP Server Port already in use" : "ERROR:  SMPP Port already in use";
  return "Service is Active";
}

void RunFirewallHelper(const ServiceSpec& spec) {
  std::string helper = RealProgramDirectory() + "qarfirewall";
  if (access(helper.c_str(), X_OK) != 0) return;
  ProcessOptions options;
  options.stdoutPath = "/dev/null";
  options.stderrToStdout = true;
  options.timeoutMs = 60000;
  RunProcess({helper, spec.program, spec.displayName}, options);
}
}  // namespace

bool MmsServicePresent() { return access(MmsService().program.c_str(), X_OK) == 0; }

bool EitherServiceRunning(const ServiceHost& host) {
  for (const ServiceSpec& s : Services())
    if (IsRunning(host, s)) return true;
  return false;
}

std::vector<std::string> ServiceStatusLines(const ServiceHost& host) {
  ServiceSpec gateway = GatewayService(), mms = MmsService();
  return {gateway.name + ": " + StateText(host, gateway, true), mms.name + ": " + StateText(host, mms, false)};
}

bool StopServices(const ServiceHost& host, const ServiceActionOptions& o) {
  std::vector<ServiceSpec> specs = Services();
  for (const ServiceSpec& s : specs)
    if (host.state(s) != ServiceState::NotInstalled) host.sendStop(s);
  if (!WaitStopped(host, specs, o.stopRounds, true)) {
    Say(o, StrPrintf("The service did not stop within %u seconds.", o.stopRounds));
    return false;
  }
  return true;
}

bool StartServices(const ServiceHost& host, const ServiceActionOptions& o) {
  std::vector<ServiceSpec> specs = Services();
  bool ok = true;
  for (const ServiceSpec& s : specs) {
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
  const ServiceSpec& gateway = specs.front();
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
  for (const ServiceSpec& s : Services()) {
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
  ServiceSpec gateway = GatewayService();
  bool removed = false;
  if (host.state(gateway) != ServiceState::NotInstalled) {
    host.sendStop(gateway);
    bool stopped = WaitStopped(host, {gateway}, o.stopRounds, true);
    if (!stopped) fprintf(stderr, "qarconsole: %s did not stop within %u seconds\n", gateway.name.c_str(), o.stopRounds);
    removed = host.remove(gateway);
    if (MmsServicePresent()) {
      ServiceSpec mms = MmsService();
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
