#include "service/mms_hooks.h"

#include <string>

#include "inbound/inbound_processing.h"
#include "mms/mms_data_call.h"
#include "mms/mms_inbound.h"
#include "runtime/hex_text.h"
#include "smsc/modem/modem_driver.h"
#include "store/message_file.h"

bool HandInboundPushToMms(const SmsMessageRecord& m, const InboundFileFacts&) {
  // Binary message files carry their octets as hex text (pushes over IP do so without the
  // Binary flag); anything else is handed over as it stands.
  std::string octets = IsHexText(m.Data) ? HexDecodeLeading(m.Data, m.Data.size() / 2) : m.Data;
  return ReceiveMMSPush(m.ModemName, m.PhoneNumber, octets);
}

void InstallMmsHooks() {
  SetInboundMmsHandler(HandInboundPushToMms);
  if (!QardialPresent()) return;
  ModemSharing sharing;
  sharing.wanted = MmsDataCallWantsModem;
  sharing.allocate = QardialModemAllocate;
  sharing.requested = QardialModemRequested;
  sharing.release = QardialModemRelease;
  SetModemSharing(sharing);
}
