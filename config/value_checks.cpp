#include "config/value_checks.h"

#include <cctype>

#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
bool AllDigits(std::string_view v) {
  if (v.empty()) return false;
  for (char c : v)
    if (c < '0' || c > '9') return false;
  return true;
}

// Decimal within max; leading zeros allowed, so the length alone does not decide.
bool DecimalAtMost(std::string_view v, uint64_t max) {
  if (!AllDigits(v)) return false;
  uint64_t n = 0;
  for (char c : v) {
    n = n * 10 + uint64_t(c - '0');
    if (n > max) return false;
  }
  return true;
}
}  // namespace

std::string CheckSettingValue(const SettingKey& k, std::string_view value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return "the value holds a control character";
  if (value.size() > k.maxLen) return StrPrintf("the value is longer than %u characters", unsigned(k.maxLen));
  switch (k.form) {
    case KeyForm::Flag:
      for (const char* v : {"Yes", "No", "True", "False", "On", "Off", "1", "0"})
        if (EqualsNoCase(value, v)) return {};
      return "expected Yes or No";
    case KeyForm::Number:
    case KeyForm::NonZero:
    case KeyForm::Limit:
      if (value.empty() || DecimalAtMost(value, 0xffffffffu)) return {};
      return "expected a number from 0 to 4294967295";
    case KeyForm::Port:
      if (value.empty() || DecimalAtMost(value, 65535)) return {};
      return "expected a port number from 0 to 65535";
    case KeyForm::HexByte:
      if (value.empty() || (value.size() <= 2 && isxdigit(static_cast<unsigned char>(value[0])) &&
                            isxdigit(static_cast<unsigned char>(value.back()))))
        return {};
      return "expected one or two hexadecimal digits";
    case KeyForm::Text:
    case KeyForm::List:
      return {};
  }
  return {};
}
