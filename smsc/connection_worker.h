// The SMSC connection worker: one thread per configured connection instance, which runs
// the life cycle every kind shares (backup waiting, reconnect delays, change checks, the
// error file, events, queue passes) over the driver of the connection's kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Thread body. parameter: N of ModemN in the low 16 bits (0 = the SDKLink virtual SMSC),
// the instance number 1..TransmitterCount in the high 16. Returns when the gateway stops
// or the connection name is empty.
void ThreadProcessModem(uint32_t parameter);
