#include "inbound/udh_facts.h"

#include <charconv>

#include "runtime/hex_text.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
constexpr size_t kUdhOctetsMax = 399;

bool ParseUnsigned(std::string_view text, int base, unsigned& out) {
  if (text.empty() || text.size() > 8) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}
}  // namespace

UdhFacts ReadUdh(std::string_view udhHex) {
  UdhFacts f;
  if (udhHex.size() < 2 || !IsHexText(udhHex)) return f;
  std::string octets = HexDecodeLeading(udhHex, kUdhOctetsMax);
  if (octets.empty()) return f;
  auto at = [&](size_t i) { return unsigned(uint8_t(octets[i])); };
  size_t end = std::min<size_t>(octets.size(), size_t(at(0)) + 1);
  std::string others;
  bool seenConcat = false;
  for (size_t i = 1; i + 1 < end;) {
    unsigned id = at(i), length = at(i + 1);
    size_t value = i + 2;
    if (value + length > end) break;
    bool concat = false;
    unsigned reference = 0, total = 0, number = 0;
    if (id == 0x05 && length >= 2) f.destinationPort = int(at(value) << 8 | at(value + 1));
    if (id == 0x00 && length >= 3) {
      concat = true;
      reference = at(value);
      total = at(value + 1);
      number = at(value + 2);
    }
    if (id == 0x08 && length >= 4) {
      concat = true;
      reference = at(value) << 8 | at(value + 1);
      total = at(value + 2);
      number = at(value + 3);
    }
    if (concat) {
      seenConcat = true;
      // A count of 0 or a number outside 1..count would make a message that never completes.
      bool usable = total > 0 && number > 0 && number <= total;
      f.concatenated = usable;
      f.reference = usable ? reference : 0;
      f.total = usable ? total : 0;
      f.number = usable ? number : 0;
    } else {
      others.append(octets, i, 2 + length);
    }
    i = value + length;
  }
  if (seenConcat && !others.empty() && others.size() < 256) {
    std::string header(1, char(others.size()));
    f.otherElementsHex = HexEncode(header + others);
  } else if (!seenConcat) {
    f.otherElementsHex = std::string(udhHex.substr(0, std::min(udhHex.size(), end * 2)));
  }
  return f;
}

std::string SarFileName(std::string_view sender, unsigned reference, unsigned total, unsigned number) {
  std::string safe;
  for (char c : sender.substr(0, 100)) {
    uint8_t b = uint8_t(c);
    bool mapped = b < 32 || b == 127 || c == '-' || c == '/' || c == '\\' || c == '?' || c == '*' || c == ':' ||
                  c == '|';
    safe.push_back(mapped ? '_' : c);
  }
  if (safe.empty() || safe == "." || safe == "..") safe = std::string(safe.size() ? safe.size() : 1, '_');
  return StrPrintf("%s-%x-%u-%u.SAR", safe.c_str(), reference, total, number);
}

bool ParseSarFileName(std::string_view name, SarName& out) {
  if (name.size() < 4 || !EqualsNoCase(name.substr(name.size() - 4), ".SAR")) return false;
  std::string_view stem = name.substr(0, name.size() - 4);
  size_t third = stem.rfind('-');
  if (third == std::string_view::npos) return false;
  size_t second = stem.rfind('-', third ? third - 1 : 0);
  if (second == std::string_view::npos || second == third) return false;
  size_t first = stem.rfind('-', second ? second - 1 : 0);
  if (first == std::string_view::npos || first == second || first == 0) return false;
  SarName n;
  n.sender = std::string(stem.substr(0, first));
  if (!ParseUnsigned(stem.substr(first + 1, second - first - 1), 16, n.reference) ||
      !ParseUnsigned(stem.substr(second + 1, third - second - 1), 10, n.total) ||
      !ParseUnsigned(stem.substr(third + 1), 10, n.number))
    return false;
  if (n.total == 0 || n.total > 255 || n.number == 0 || n.number > n.total || n.reference > 0x10000) return false;
  out = std::move(n);
  return true;
}
