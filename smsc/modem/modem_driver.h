// The GSM modem driver of the connection worker.
#pragma once

#include <cstdint>
#include <string>

#include "smsc/modem/modem_session.h"
#include "smsc/smsc_driver.h"

// One modem connection for one worker cycle.
SmscDriver MakeModemDriver(const std::string& connection, uint32_t instance);
// Start-up, before the workers: registers the modem driver; received messages and reports
// go to receive (the inbound side).
void InstallModemDriver(ModemReceiveHandler receive);

// The modem's sharing with MMS retrieval (the packet-data library's arbiter), set at start-up
// when the library is loaded: a session holds the modem from its start to its end.
struct ModemSharing {
  // True when MMS retrieval may want this modem; a modem it never wants is not shared.
  bool (*wanted)(const std::string& modem) = nullptr;
  // Waits up to timeoutSeconds (the service's stop ends the wait); null when not had.
  void* (*allocate)(const std::string& modem, int timeoutSeconds) = nullptr;
  bool (*requested)(void* handle) = nullptr;  // the other side waits for it
  void (*release)(void* handle) = nullptr;
};
void SetModemSharing(const ModemSharing& sharing);
