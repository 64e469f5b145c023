// The SMSC connection worker: one thread per configured connection instance, which
// connects and logs in, runs queue passes, supervises the link and reconnects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Thread body. parameter: N of ModemN in the low 16 bits (0 = the SDKLink virtual SMSC),
// the instance number 1..TransmitterCount in the high 16. Returns when the gateway stops
// or the connection name is empty.
void ThreadProcessModem(uint32_t parameter);

// Start-up, after the TLS table is bound: routes the SMPP library's protocol trace into
// the debug log and gives it the TLS calls.
void InstallSmppLibraryHooks();
