#include "config/connections.h"

#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/str_printf.h"

std::vector<ConfiguredConnection> EnumerateConnections() {
  std::vector<ConfiguredConnection> out;
  for (uint32_t n = 1;; ++n) {
    std::string name = MainValue(StrPrintf("Modem%u", n));
    if (name.empty()) {
      if (n <= 200) continue;
      break;
    }
    out.push_back({n, name, ConnectionNumber(name, "TransmitterCount")});
  }
  return out;
}
