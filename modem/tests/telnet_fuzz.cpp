// libFuzzer target: a telnet stream cut into arbitrary reads decodes as it does in one read
// (for streams short enough that no sub-negotiation is cut off for its length), and what
// is held back for a cut command stays small.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "modem/telnet_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte seeds the cut points; the rest is the stream.
  uint8_t seed = data[0];
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string pending;
  bool sawDo = false;
  TelnetDecoded cut;
  size_t at = 0;
  unsigned step = seed;
  while (at < stream.size()) {
    step = step * 73 + 11;
    size_t n = 1 + step % 9;
    DecodeTelnet(pending, stream.substr(at, n), sawDo, cut);
    if (pending.size() > 600) abort();
    at += n;
  }
  if (stream.size() < 500) {
    std::string pendingWhole;
    bool sawWhole = false;
    TelnetDecoded whole;
    DecodeTelnet(pendingWhole, stream, sawWhole, whole);
    if (whole.data != cut.data || whole.answers != cut.answers || whole.log != cut.log) abort();
    if (pendingWhole != pending) abort();
  }
  return 0;
}
