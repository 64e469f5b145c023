#include <cstdlib>

#include "accounting/accounting.h"
#include "runtime/str_printf.h"

int64_t ParseAmount(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t whole = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (whole > (INT64_MAX / 1000 - 9) / 10) break;  // stay representable in thousandths
    whole = whole * 10 + (text[i] - '0');
  }
  int64_t fraction = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    int64_t scale = 100;
    for (int digits = 0; digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9'; ++digits, ++i) {
      fraction += (text[i] - '0') * scale;
      scale /= 10;
    }
  }
  int64_t value = whole * 1000 + fraction;
  return negative ? -value : value;
}

std::string FormatAmount(int64_t thousandths) {
  bool negative = thousandths < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(thousandths) : static_cast<uint64_t>(thousandths);
  std::string out = StrPrintf("%s%llu", negative ? "-" : "", static_cast<unsigned long long>(magnitude / 1000));
  unsigned fraction = static_cast<unsigned>(magnitude % 1000);
  if (fraction != 0) {
    std::string digits = StrPrintf("%03u", fraction);
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    out += "." + digits;
  }
  return out;
}
