// Joins the inbound workers and the modem sessions to the MMS side: a WAP push for port 2948
// (over SMS from a connection, or over IP with no connection) goes to the MMS push
// processing, and a modem session shares its modem with MMS retrieval when the packet-data
// library is loaded.
#pragma once

struct SmsMessageRecord;
struct InboundFileFacts;

// The inbound hand-over: true when the MMS side took the push; false keeps the inbound file.
bool HandInboundPushToMms(const SmsMessageRecord& m, const InboundFileFacts& f);

// Registers the hand-over with the inbound workers and the modem arbiter with the modem driver.
void InstallMmsHooks();
