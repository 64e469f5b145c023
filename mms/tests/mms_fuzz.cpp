// libFuzzer target: any bytes as a message and a notification are decoded without
// over-reading (the header text holds no control byte but its CR LF line ends), and as a
// packer header file no accepted part leaves the header file's folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mms/mms_headers.h"
#include "mms/mms_store.h"
#include "mms/packer/packer.h"
#include "push/wsp_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string text = MmsHeaderLines(bytes.substr(0, size % 5), bytes, bytes);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n' && i > 0 && text[i - 1] == '\r') continue;
    if (c < 0x20 || c == 0x7F) abort();
  }
  WspReader r{bytes};
  WspField f;
  std::string name;
  while (ReadHeaderField(r, f, &name)) {
    if (f.value.data() < bytes.data() || f.value.data() + f.value.size() > bytes.data() + bytes.size()) abort();
    MmsFieldLine(f);
  }
  WspReader c{bytes};
  MmsContentType type;
  DecodeMmsContentType(c, type);
  if (c.pos > bytes.size()) abort();
  // The packer's header reader: a part it accepts never leaves the header file's folder.
  PackerMessage message;
  std::string error;
  if (ReadPackerHeader(bytes, message, error)) {
    for (const PackerPart& p : message.parts)
      if (p.path.starts_with("/") || p.path.find("../") == 0 || p.path.find("/../") != std::string::npos) abort();
  }
  return 0;
}
