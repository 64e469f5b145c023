// libFuzzer target: any bytes from a peer go through the frame reader and the field
// decoders without over-reading, and whatever they accept re-encodes to a frame that
// decodes to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_frame.h"
#include "outside/qarkite/ucp_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string buffer(reinterpret_cast<const char*>(data), size);
  std::string content, dropped;
  for (int pieces = 0; pieces < 10000; ++pieces) {
    ucp::Cut cut = ucp::CutFrame(buffer, content, dropped);
    if (cut == ucp::Cut::NeedMore) break;
    if (cut != ucp::Cut::Frame) continue;
    if (content.size() > ucp::kMaxFrameChars) abort();
    ucp::Frame f;
    if (ucp::DecodeFrame(content, f) != ucp::FrameFault::None) continue;
    // A frame that decodes is one the encoder would write the same way.
    std::string again = ucp::EncodeFrame(f.trn, f.kind, f.ot, f.fields);
    ucp::Frame g;
    if (ucp::DecodeFrame(std::string_view(again).substr(1, again.size() - 2), g) != ucp::FrameFault::None ||
        g.fields != f.fields)
      abort();
    if (f.kind == 'R') {
      ucp::Result r;
      ucp::DecodeResult(f.ot, f.fields, r);
    } else {
      ucp::InboundMessage m;
      std::string why;
      if (f.fields.size() == ucp::kField5xCount) ucp::DecodeDelivery(f.ot == 53 ? 53 : 52, f.fields, m, why);
    }
    for (const std::string& field : f.fields) {
      std::string text;
      std::vector<ucp::XSerItem> items;
      ucp::DecodeAlphanumericAddress(field, text);
      ucp::ParseXSer(field, items);
    }
  }
  return 0;
}
