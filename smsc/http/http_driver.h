// The HTTP SMS centre driver: each message one GET request built from the connection's
// URL template, judged by its status and the configured answer texts. Connections named
// "SDKLink - " (and the virtual SMSC of worker 0) send to the address [SDKLink] gives for
// the recipient.
#pragma once

#include <cstdint>
#include <string>

#include "smsc/smsc_driver.h"

SmscDriver MakeHttpDriver(const std::string& connection, uint32_t instance);

// Start-up, before the workers: registers the driver for "HTTP - " and "SDKLink - ".
void InstallHttpDriver();
