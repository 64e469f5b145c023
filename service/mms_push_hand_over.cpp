#include "service/mms_push_hand_over.h"

#include <string>

#include "inbound/inbound_processing.h"
#include "mms/mms_inbound.h"
#include "runtime/hex_text.h"
#include "store/message_file.h"

bool HandInboundPushToMms(const SmsMessageRecord& m, const InboundFileFacts&) {
  // Binary message files carry their octets as hex text (pushes over IP do so without the
  // Binary flag); anything else is handed over as it stands.
  std::string octets = IsHexText(m.Data) ? HexDecodeLeading(m.Data, m.Data.size() / 2) : m.Data;
  return ReceiveMMSPush(m.ModemName, m.PhoneNumber, octets);
}

void InstallMmsPushHandOver() { SetInboundMmsHandler(HandInboundPushToMms); }
