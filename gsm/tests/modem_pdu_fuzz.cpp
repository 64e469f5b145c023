// libFuzzer target: any text handed over as a modem PDU decodes without over-reading.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gsm/modem_pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ModemPduOptions options;
  options.log = [](std::string_view) {};
  options.alphaSenderAddressBug = size > 0 && (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  DecodedModemPdu d = ParseModemPdu(text, options);
  (void)d;
  return 0;
}
