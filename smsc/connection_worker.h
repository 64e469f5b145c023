// The SMSC connection worker: one thread per configured connection instance, which runs
// the life cycle every kind shares (backup waiting, reconnect delays, change checks, the
// error file, events, queue passes) over the driver of the connection's kind.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// Thread body. parameter: N of ModemN in the low 16 bits (0 = the SDKLink virtual SMSC),
// the instance number 1..TransmitterCount in the high 16. Returns when the gateway stops
// or the connection name is empty.
void ThreadProcessModem(uint32_t parameter);

// Returns of the waits of backup connections that are not needed yet (a target's error
// file written or removed; the configuration's change notice, or its own look).
struct BackupWaitCounts {
  std::atomic<uint64_t> errorFiles{0};  // an error file was written or removed
  std::atomic<uint64_t> looks{0};       // the configuration look (or the stop)
};
extern BackupWaitCounts BackupWaits;

// How the reconnect waits ended, since the start.
struct ReconnectWaitCounts {
  std::atomic<uint64_t> looks{0};       // the configuration was looked at (told, or on its own)
  std::atomic<uint64_t> errorFiles{0};  // an error file was written or removed
};
extern ReconnectWaitCounts ReconnectWaits;
