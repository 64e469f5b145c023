// libFuzzer target for the decoders of received PDU bodies.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "outside/qarpeer/message_content.h"
#include "outside/qarpeer/smpp_pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (smpp::CheckedCommandLength(bytes) == size) smpp::DecodePdu(bytes);
  smpp::ShortMessage m;
  if (smpp::DecodeShortMessage(bytes, m)) {
    peer::ReceivedMessage r;
    uint32_t status = 0;
    peer::DecodeReceived(smpp::kDeliverSm, 1, m, r, status);
  }
  smpp::DecodeDataSm(bytes, m);
  smpp::BindBody b;
  smpp::DecodeBind(bytes, b);
  std::string id;
  smpp::DecodeLeadingCString(bytes, 65, id);
  return 0;
}
