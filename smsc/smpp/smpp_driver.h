// The SMPP driver of the connection worker.
#pragma once

#include <cstdint>
#include <string>

#include "outside/qarpeer/qarpeer.h"
#include "smsc/smsc_driver.h"

// One SMPP connection for one worker cycle: its receiver session and asynchronous receive
// threads run from here until the driver goes.
SmscDriver MakeSmppDriver(const std::string& connection, uint32_t instance);

// Takes a received message or report; false when it could not be stored.
using SmppReceiveHandler = bool (*)(const char* connectionName, const SMPPReceivedMessage* message);

// Start-up, after the TLS table is bound and before the workers start: registers the SMPP
// driver, routes the library's protocol trace into the debug log, gives it the TLS calls,
// and hands each received message to receive (the inbound side).
void InstallSmppDriver(SmppReceiveHandler receive);
