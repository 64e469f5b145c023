#include "mms/packer/wsp_encode.h"

void AppendUintvar(std::string& out, uint32_t value) {
  char octets[5];
  int n = 0;
  do {
    octets[n++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value);
  while (n > 0) {
    --n;
    out += static_cast<char>(octets[n] | (n > 0 ? 0x80 : 0));
  }
}

void AppendLongInteger(std::string& out, uint64_t value) {
  std::string octets;
  do {
    octets.insert(octets.begin(), static_cast<char>(value & 0xFF));
    value >>= 8;
  } while (value);
  out += static_cast<char>(octets.size());
  out += octets;
}

void AppendInteger(std::string& out, uint64_t value) {
  if (value < 0x80)
    out += static_cast<char>(0x80 | value);
  else
    AppendLongInteger(out, value);
}

void AppendText(std::string& out, std::string_view text) {
  if (!text.empty() && static_cast<unsigned char>(text[0]) >= 0x80) out += '\x7F';
  out.append(text.substr(0, text.find('\0')));
  out += '\0';
}

void AppendValueLength(std::string& out, size_t length) {
  if (length < 31) {
    out += static_cast<char>(length);
  } else {
    out += '\x1F';
    AppendUintvar(out, static_cast<uint32_t>(length));
  }
}
