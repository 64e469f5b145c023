#include "modem/modem_names.h"

#include "runtime/text_helpers.h"

namespace {

// "COMn:" -> "/dev/ttyS(n-1)", else "".
std::string ComPortPath(std::string_view name) {
  if (name.size() < 5 || !StartsWithNoCase(name, "COM") || name.back() != ':') return {};
  std::string_view digits = name.substr(3, name.size() - 4);
  if (digits.empty() || digits.size() > 4) return {};
  for (char c : digits) {
    if (c < '0' || c > '9') return {};
  }
  uint32_t n = ParseDecimal(digits);
  if (n == 0) return {};
  return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace

ModemName ParseModemName(std::string_view name) {
  ModemName m;
  if (StartsWithNoCase(name, kIpModemPrefix)) {
    m.kind = ModemNameKind::IpModem;
    std::string_view rest = name.substr(kIpModemPrefix.size());
    size_t colon = rest.find(':');
    m.host.assign(Trim(rest.substr(0, colon)));
    if (colon != std::string_view::npos) {
      std::string_view digits = Trim(rest.substr(colon + 1));
      uint32_t port = ParseDecimal(digits);
      bool numeric = !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
      m.port = numeric && port <= 65535 ? static_cast<uint16_t>(port) : 0;
    }
    return m;
  }
  // Device paths are taken as they are, also a link outside /dev (a udev alias, a test's pty).
  if (!name.empty() && name.front() == '/') {
    m.kind = ModemNameKind::SerialPort;
    m.path.assign(name);
    return m;
  }
  m.path = ComPortPath(name);
  m.kind = m.path.empty() ? ModemNameKind::Telephony : ModemNameKind::SerialPort;
  return m;
}

std::string HammerPortPath(std::string_view portName) {
  if (!portName.empty() && portName.front() == '/') return std::string(portName);
  std::string withColon(portName);
  if (!withColon.empty() && withColon.back() != ':') withColon.push_back(':');
  return ComPortPath(withColon);
}
