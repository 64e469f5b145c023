// libFuzzer target: any byte stream goes through the packet reader, the parse, the
// decoders of deliveries and text, and the encoder without over-reading; what parses
// encodes and parses back to the same packet, and encodable text decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "outside/qarbolt/cimd_message.h"
#include "outside/qarbolt/cimd_packet.h"
#include "outside/qarbolt/cimd_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string buffer(input);
  size_t junk = 0;
  for (int i = 0; i < 64; ++i) {
    std::string bytes;
    if (cimd::TakePacket(buffer, bytes, junk) != cimd::FrameResult::Packet) break;
    (void)cimd::TraceText(bytes);
    cimd::Packet packet;
    if (!cimd::ParsePacket(bytes, packet).ok) continue;
    cimd::Packet again;
    if (!cimd::ParsePacket(cimd::EncodePacket(packet), again).ok || again.params.size() != packet.params.size() ||
        again.op != packet.op || again.number != packet.number) {
      __builtin_trap();
    }
    for (const cimd::Parameter& p : packet.params) {
      if (p.code == cimd::kUserData || p.code == cimd::kAlphaOriginator) (void)cimd::DecodeText(p.value);
    }
    cimd::ReceivedMessage m;
    std::string why;
    (void)cimd::DecodeDelivery(packet, m, why);
  }
  std::string encoded;
  size_t septets = 0;
  if (cimd::EncodeText(input, encoded, septets) && cimd::DecodeText(encoded) != input) __builtin_trap();
  return 0;
}
