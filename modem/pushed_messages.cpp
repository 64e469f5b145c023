// FilterCMTandCDS: pushed messages out of a reply, into the caller's sink.
#include <string>

#include "modem/line_io.h"
#include "modem/modem_line.h"
#include "modem/pushed_scan.h"
#include "runtime/debug_log.h"

namespace {

void Acknowledge(ModemDevice& device, PushedTaken taken, bool* acknowledgePending, ModemLine& line) {
  if (!line.acknowledgeMode || taken == PushedTaken::Held) return;
  if (taken == PushedTaken::NotStored) {
    // Without AT+CNMA the network keeps the message and delivers it again.
    WriteDebugLog("FilterCMTandCDS", "Message not stored, not acknowledged");
    return;
  }
  if (acknowledgePending) {
    *acknowledgePending = true;
    return;
  }
  SendModemCommand(device, "AT+CNMA\r", line);
  WriteDebugLog("FilterCMTandCDS", "OUT: AT+CNMA");
}

PushedTaken Hand(const PushedMessage& message, ModemLine& line) {
  return line.pushed ? line.pushed(message) : PushedTaken::Stored;
}

}  // namespace

int FilterCMTandCDS(ModemDevice& device, std::string& buffer, bool* acknowledgePending, ModemLine& line) {
  size_t from = 0;
  for (;;) {
    PushedScan scan = ScanPushed(buffer, from);
    if (scan.shape == PushedShape::None) return 1;
    WriteDebugLog("ReceiveModemCommand", "Processing +CMT: Message");
    WriteDebugLog("ReceiveModemCommand", MaskLineSecrets(line, buffer));
    switch (scan.shape) {
      case PushedShape::None:
        return 1;
      case PushedShape::Incomplete:
        WriteDebugLog("FilterCMT", "Incomplete +CMT: or +CDS: Message");
        return 0;
      case PushedShape::Malformed:
        WriteDebugLog("FilterCMT", "Malformed +CMT: or +CDS: Message, header dropped");
        break;
      case PushedShape::Pdu: {
        PushedMessage m;
        m.kind = PushedKind::Pdu;
        m.statusReport = scan.statusReport;
        m.pdu.assign(scan.pdu);
        Acknowledge(device, Hand(m, line), acknowledgePending, line);
        break;
      }
      case PushedShape::TextCmt: {
        PushedMessage m;
        m.kind = PushedKind::TextCmt;
        m.sender.assign(scan.sender);
        m.text.assign(scan.text);
        Acknowledge(device, Hand(m, line), acknowledgePending, line);
        break;
      }
      case PushedShape::TextCds:
        Acknowledge(device, PushedTaken::Stored, acknowledgePending, line);
        break;
    }
    buffer.erase(scan.begin, scan.end - scan.begin);
    // The text on both sides now meets: a marker may span the join.
    from = scan.begin >= 4 ? scan.begin - 4 : 0;
  }
}
