#include "config/value_checks.h"

#include <arpa/inet.h>

#include <cctype>

#include <string>

#include "runtime/names.h"
#include "runtime/text_helpers.h"

namespace {
bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char ch : text)
    if (ch < '0' || ch > '9') return false;
  return true;
}

bool IsPatternPart(std::string_view part) {
  if (part == "*") return true;
  return AllDigits(part) && part.size() <= 3 && std::stoul(std::string(part)) <= 255;
}
}  // namespace

bool IsIniSafeValue(std::string_view value) {
  for (char ch : value) {
    unsigned char u = static_cast<unsigned char>(ch);
    if (u < 32 || u == 127 || ch == '=' || ch == '[' || ch == ']') return false;
  }
  return true;
}

bool IsSafeAccountName(std::string_view name) {
  return !name.empty() && IsIniSafeValue(name) && IsSafePathName(name) && name.front() != ';' &&
         name.front() != ' ' && name.back() != ' ';
}

bool IsPhoneNumberKey(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  return number.size() <= 20 && AllDigits(number);
}

bool IsIpAddress(std::string_view address) {
  if (address.empty() || address.size() > 45) return false;
  std::string text(address);
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool IsDottedIPv4(std::string_view text, struct in_addr* out) {
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789.") != std::string_view::npos) return false;
  struct in_addr a;
  if (inet_pton(AF_INET, std::string(text).c_str(), &a) != 1) return false;
  if (out) *out = a;
  return true;
}

bool IsPortNumber(std::string_view port) {
  if (!AllDigits(port) || port.size() > 5) return false;
  unsigned long value = std::stoul(std::string(port));
  return value >= 1 && value <= 65535;
}

bool IsDecimalNumber(std::string_view text) {
  return AllDigits(text) && text.size() <= 10 && std::stoull(std::string(text)) <= 0xFFFFFFFFull;
}

bool IsCreditAmount(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  if (!AllDigits(whole) || whole.size() > 15) return false;
  if (dot == std::string_view::npos) return true;
  std::string_view fraction = text.substr(dot + 1);
  return AllDigits(fraction) && fraction.size() <= 3;
}

bool IsAddressPatternList(std::string_view list) {
  std::vector<std::string> entries = SplitList(list, ",;");
  if (entries.empty()) return false;
  for (const std::string& entry : entries) {
    std::string_view rest = entry;
    int parts = 0;
    while (true) {
      size_t dot = rest.find('.');
      if (!IsPatternPart(rest.substr(0, dot)) || ++parts > 4) return false;
      if (dot == std::string_view::npos) break;
      rest.remove_prefix(dot + 1);
    }
  }
  return true;
}

std::string CheckSettingValue(const SettingKey& k, std::string_view value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return "the value holds a control character";
  if (value.size() > k.maxLen) return "the value is longer than " + std::to_string(k.maxLen) + " characters";
  switch (k.form) {
    case KeyForm::Flag:
      for (const char* v : {"Yes", "No", "True", "False", "On", "Off", "1", "0"})
        if (EqualsNoCase(value, v)) return {};
      return "expected Yes or No";
    case KeyForm::Number:
    case KeyForm::NonZero:
    case KeyForm::Limit:
      if (value.empty() || IsDecimalNumber(value)) return {};
      return "expected a number from 0 to 4294967295";
    case KeyForm::Port:
      // 0 turns a listener off.
      if (value.empty() || value == "0" || IsPortNumber(value)) return {};
      return "expected a port number from 0 to 65535";
    case KeyForm::HexByte:
      if (value.empty() || (value.size() <= 2 && isxdigit(static_cast<unsigned char>(value.front())) &&
                            isxdigit(static_cast<unsigned char>(value.back()))))
        return {};
      return "expected one or two hexadecimal digits";
    case KeyForm::Text:
    case KeyForm::List:
      return {};
  }
  return {};
}
