// Where a retrieved MMS goes instead of the MMS inbound folder, by the connection's
// MMSRouting: "localuser:<account>" mails it to that account's address (a mail file in
// MMSCOUT for the mail sender), a VASP name queues it as "*.MMS" in VASPOUT/<name>/.
#pragma once

#include <string_view>

// True when the message was handed on; false when the value routes nothing (empty, an unknown
// account or VASP, a name that is not a safe folder name) or the file could not be written.
bool RouteInboundMMS(std::string_view routing, std::string_view message);
