#include "runtime/names.h"

#include "runtime/text_helpers.h"

namespace {
bool IsControlByte(unsigned char c) { return c < 32 || c == 127; }
}  // namespace

bool IsSafePathName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c == '\\' || IsControlByte(c)) return false;
  }
  return true;
}

bool IsTempFileName(std::string_view name) { return name.substr(0, 2) == ".~" && EndsWithNoCase(name, ".tmp"); }

bool HasControlBytes(std::string_view value) {
  for (unsigned char c : value) {
    if (IsControlByte(c)) return true;
  }
  return false;
}

std::string StripControlBytes(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (!IsControlByte(c)) out.push_back(static_cast<char>(c));
  }
  return out;
}

void AppendKeyValueLine(std::string& out, std::string_view key, std::string_view value) {
  out.append(StripControlBytes(key));
  out.push_back('=');
  out.append(StripControlBytes(value));
  out.append("\r\n");
}
