// libFuzzer target: arbitrary bytes arriving in arbitrary chunks through the pushed-message
// filter and the end conditions of the readers. Afterwards no whole pushed message is left
// in the buffer, the buffer stays within its size, and every PDU handed on is hex digits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "modem/modem_line.h"
#include "modem/pushed_scan.h"
#include "modem/reply_end.h"
#include "runtime/hex_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr size_t kCapacity = 2048;
  ModemDevice device;  // not open: acknowledgements go nowhere
  ModemLine line;
  line.acknowledgeMode = (data[0] & 1) != 0;
  PushedTaken taken = (data[0] & 32) ? PushedTaken::Held : (data[0] & 2) ? PushedTaken::Stored : PushedTaken::NotStored;
  line.pushed = [&](const PushedMessage& m) {
    if (m.kind == PushedKind::Pdu && (m.pdu.empty() || !std::all_of(m.pdu.begin(), m.pdu.end(), IsHexDigit))) abort();
    if (m.sender.size() > 49 || m.text.size() > 499) abort();
    return taken;
  };
  bool pending = false;
  bool* ackPending = (data[0] & 4) ? &pending : nullptr;
  std::string buffer;
  size_t i = 1;
  while (i < size) {
    size_t chunk = 1 + data[i++] % 64;
    std::string_view piece(reinterpret_cast<const char*>(data + i), std::min(chunk, size - i));
    i += piece.size();
    size_t room = kCapacity - 1 - std::min(buffer.size(), kCapacity - 1);
    buffer.append(piece.substr(0, room));
    for (char& c : buffer) {
      if (c == '\0') c = ' ';
    }
    int whole = FilterCMTandCDS(device, buffer, ackPending, line);
    PushedShape left = ScanPushed(buffer).shape;
    if (whole == 1 && left != PushedShape::None) abort();
    if (whole == 0 && left != PushedShape::Incomplete) abort();
    if (buffer.size() >= kCapacity) abort();
    (void)ReplyFinished(buffer, (data[0] & 8) != 0, (data[0] & 16) ? "+CMGS:" : "");
    (void)PromptSeen(buffer, "Username+++User name+++User+++Login");
  }
  return 0;
}
