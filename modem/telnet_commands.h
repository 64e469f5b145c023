// Telnet commands from a terminal server in front of an IP modem: answered, logged and
// taken out of the byte stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint8_t kTelnetIac = 255;

struct TelnetDecoded {
  std::string data;                  // the stream without commands (IAC IAC gives 0xFF)
  std::string answers;               // to send back, in order
  std::vector<std::string> log;      // "Telnet IN:  ..." / "Telnet OUT:  ..." lines
  std::vector<std::string> packets;  // each command as received, for the hex dumps
};

// Decodes pending followed by input. A command cut at the end stays in pending for the
// next read; nothing after it is scanned until it is whole. sawDo: the first DO of a wait
// first offers suppress-go-ahead both ways.
void DecodeTelnet(std::string& pending, std::string_view input, bool& sawDo, TelnetDecoded& out);

// "Echo", "Suppress Go Ahead", ... or "Unknown Option %u (0x%02X)".
std::string TelnetOptionName(uint8_t option);
