// Messages and delivery reports received by a GSM modem, handed on by the modem driver.
#pragma once

#include "smsc/modem/modem_session.h"

// Stores r through ProcessInboundSMS, then writes the SMS-IN log line and the "SMSIN"
// notice; true when stored or refused on purpose (the modem's copy may go), false when no
// file could be written (it stays in the modem).
bool ReceiveModemMessage(const ModemReceived& r);
