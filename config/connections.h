// The SMSC connections configured as Modem1, Modem2, ... in [QARHUB].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConfiguredConnection {
  uint32_t number;           // N of ModemN (1-based)
  std::string displayName;   // the value of ModemN
  uint32_t transmitterCount;  // TransmitterCount of the connection's section, at least 1
};

// Empty values are skipped up to N = 200; from N = 201 on the enumeration ends at the first
// empty value.
std::vector<ConfiguredConnection> EnumerateConnections();
