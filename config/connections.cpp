#include "config/connections.h"

#include "runtime/config_access.h"
#include "runtime/str_printf.h"

std::vector<ConfiguredConnection> EnumerateConnections() {
  std::vector<ConfiguredConnection> out;
  for (uint32_t n = 1;; ++n) {
    std::string name = SMSIniString(kMainSection, StrPrintf("Modem%u", n), "", 255);
    if (name.empty()) {
      if (n <= 200) continue;
      break;
    }
    uint32_t count = SMSIniNumber(name, "TransmitterCount", 1);
    out.push_back({n, name, count == 0 ? 1 : count});
  }
  return out;
}
