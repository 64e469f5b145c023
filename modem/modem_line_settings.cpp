#include <string>

#include "config/settings_registry.h"
#include "modem/modem_line.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

ModemLineSettings ReadModemLineSettings(std::string_view connectionName) {
  const std::string connection = ConnectionSectionName(connectionName);
  ModemLineSettings s;
  s.ModemSendDelay = MainNumber("ModemSendDelay");
  s.ModemMaxBytesPerSend = MainNumber("ModemMaxBytesPerSend");
  s.IPModemMaxBytes = MainNumber("IPModemMaxBytes");
  s.OldModemHandler = MainFlag("OldModemHandler");
  s.Debug = MainFlag("Debug");
  s.Debug2 = MainFlag("Debug2");
  s.OldPollingLogic = ConnectionFlag(connection, "OldPollingLogic");
  s.MinimumReadDelay = ConnectionNumber(connection, "MinimumReadDelay");
  s.Username = ConnectionValue(connection, "UserName");
  s.Password = ConnectionValue(connection, "Password");
  for (unsigned n = 1; n <= 999; ++n) {
    std::string waitFor = ConnectionValue(connection, StrPrintf("IPModemInitWaitFor%u", n));
    if (waitFor.empty()) break;
    s.IPModemInit.emplace_back(std::move(waitFor), ConnectionValue(connection, StrPrintf("IPModemInitSend%u", n)));
  }
  return s;
}
