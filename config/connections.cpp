#include "config/connections.h"

#include "config/settings_registry.h"
#include "runtime/config_access.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

std::vector<ConfiguredConnection> EnumerateConnections() {
  std::vector<ConfiguredConnection> out;
  for (uint32_t n = 1;; ++n) {
    std::string name = MainValue(StrPrintf("Modem%u", n));
    if (name.empty()) {
      if (n <= 200) continue;
      break;
    }
    // The connection's own section, as every other setting of it is read.
    out.push_back({n, name, ConnectionNumber(ConnectionSectionName(name), "TransmitterCount")});
  }
  return out;
}
