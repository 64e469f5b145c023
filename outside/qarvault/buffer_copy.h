// Copies between std::string and the fixed caller buffers of the C interface.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// Copies text zero-terminated into buf, cut to size - 1 bytes; returns the bytes copied.
inline uint32_t CopyToBuffer(std::string_view text, char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n > 0) std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return static_cast<uint32_t>(n);
}

// A text field of a fixed-size record, which need not be zero-terminated.
inline std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// A null C string reads as "".
inline std::string_view TextOrEmpty(const char* text) {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// Consecutive zero-terminated strings with an extra zero at the end. When they do not
// fit, the last one is cut and followed by two zeros and size - 2 is returned. Returns
// the bytes copied without the last zero.
inline uint32_t CopyMultiString(const std::vector<std::string>& list, char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  if (size < 2) {
    buf[0] = '\0';
    return 0;
  }
  size_t pos = 0;
  for (const std::string& s : list) {
    if (pos + s.size() + 1 > size - 1) {
      size_t n = size - 2 - pos;
      std::memcpy(buf + pos, s.data(), n);
      buf[size - 2] = '\0';
      buf[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buf + pos, s.data(), s.size());
    pos += s.size();
    buf[pos++] = '\0';
  }
  buf[pos] = '\0';
  if (pos == 0) buf[1] = '\0';
  return static_cast<uint32_t>(pos);
}
