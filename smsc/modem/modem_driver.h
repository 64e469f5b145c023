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
