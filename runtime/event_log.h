// Operational events an operator must see: syslog with the ident "QarSMS".
#pragma once

#include <string_view>

enum class EventKind { Information = 0, Error = 1, Warning = 2 };

// Writes the event unless DisableEventLog is Yes. An alert e-mail hook, when installed,
// runs first.
void ReportEvent(EventKind kind, std::string_view text);
// At most one report a day per marker file (in the private data directory).
void ReportEventOnceADay(std::string_view markerName, EventKind kind, std::string_view text);
// Installed by the alert e-mail code so that every event is also mailed.
using AlertMailHook = void (*)(EventKind kind, std::string_view text);
void SetAlertMailHook(AlertMailHook hook);
