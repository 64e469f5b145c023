// What a modem connection's name says about its transport.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class ModemNameKind { IpModem, SerialPort, Telephony };

struct ModemName {
  ModemNameKind kind = ModemNameKind::Telephony;
  std::string path;      // SerialPort: the device
  std::string host;      // IpModem
  uint16_t port = 0;     // IpModem: 0 when missing or unreadable
};

inline constexpr std::string_view kIpModemPrefix = "IPModem - ";

// "IPModem - host:port"; "COMn:" (n from 1) is /dev/ttyS(n-1); "/dev/..." as it is; any
// other name is a telephony modem.
ModemName ParseModemName(std::string_view name);
// The port a last-resort probe opens: as ParseModemName, with "COMn" taken as "COMn:".
// "" when the name is no port.
std::string HammerPortPath(std::string_view portName);
