// The UCP/EMI and CIMD2 driver of the connection worker: one driver for both kinds over
// the table of their library calls, with the receive callbacks of both libraries.
#pragma once

#include <cstdint>
#include <string>

#include "smsc/smsc_driver.h"
#include "smsc/ucpcimd/link_calls.h"

// A message or report as a UCP or CIMD callback hands it over (strings never null).
struct CentreMessage {
  const char* connection;
  const char* sender;
  const char* recipient;
  const char* udhHex;
  const char* data;  // UTF-8 text, or hexadecimal when binary
  int pid, dcs;
  int flags;  // 0x02, 0x40; a report 0x04 with 0x08, 0x10 or 0x20
  int binary;
  const char* receiptMessageId;  // the centre's id of the reported submission
  const char* extraParams;
  bool older;  // the older CIMD callback: no flags, receipt id or extra parameters
};
// Stores a received message; false when it could not be stored (the centre must send it
// again). label: the callback's name, for its debug line.
using CentreReceiveHandler = bool (*)(const char* label, const CentreMessage& message);

SmscDriver MakeUcpDriver(const std::string& connection, uint32_t instance);
SmscDriver MakeCimdDriver(const std::string& connection, uint32_t instance);

// Start-up, after the protocol libraries are loaded and before the workers: registers both
// kinds, routes the libraries' trace into the debug log and their received messages to
// receive (the inbound side).
void InstallUcpCimdDrivers(CentreReceiveHandler receive);
