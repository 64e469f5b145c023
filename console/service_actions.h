// The console's service actions over a back end: install, start, stop, restart, remove and
// the status lines. Each prints its texts on standard output unless quiet and returns
// whether it succeeded.
#pragma once

#include <string>
#include <vector>

#include "console/service_host.h"

struct ServiceActionOptions {
  bool quiet = false;
  unsigned stopRounds = 120;  // one-second rounds a stop waits at most
};

bool InstallServices(const ServiceHost& host, const ServiceActionOptions& o);
bool StartServices(const ServiceHost& host, const ServiceActionOptions& o);
bool StopServices(const ServiceHost& host, const ServiceActionOptions& o);
bool RestartServices(const ServiceHost& host, const ServiceActionOptions& o);
bool RemoveServices(const ServiceHost& host, const ServiceActionOptions& o);
// "QarSMS: Service is Active" and the MMS service's line.
std::vector<std::string> ServiceStatusLines(const ServiceHost& host);
bool EitherServiceRunning(const ServiceHost& host);
// The MMS companion counts only where its program is installed.
bool MmsServicePresent();
