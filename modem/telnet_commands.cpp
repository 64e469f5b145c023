#include "modem/telnet_commands.h"

#include <array>

#include "runtime/str_printf.h"

namespace {

constexpr uint8_t kSe = 240, kSb = 250, kWill = 251, kWont = 252, kDo = 253, kDont = 254;
constexpr uint8_t kSuppressGoAhead = 3;
// A sub-negotiation longer than this without its end is dropped rather than held.
constexpr size_t kMaxSubNegotiation = 512;

constexpr std::array<const char*, 38> kOptionNames = {
    "Binary Transmission", "Echo", "Reconnection", "Suppress Go Ahead", "Approx Message Size Negotiation",
    "Status", "Timing Mark", "Remote Controlled Trans and Echo", "Output Line Width", "Output Page Size",
    "Output Carriage-Return Disposition", "Output Horizontal Tab Stops", "Output Horizontal Tab Disposition",
    "Output Formfeed Disposition", "Output Vertical Tabstops", "Output Vertical Tab Disposition",
    "Output Linefeed Disposition", "Extended ASCII", "Logout", "Byte Macro", "Data Entry Terminal", "SUPDUP",
    "SUPDUP Output", "Send Location", "Terminal Type", "End of Record", "TACACS User Identification",
    "Output Marking", "Terminal Location Number", "Telnet 3270 Regime", "X.3 PAD",
    "Negotiate About Window Size", "Terminal Speed", "Remote Flow Control", "Linemode", "X Display Location",
    "Telnet Environment Option", "Telnet Authentication Option"};

const char* TwoByteName(uint8_t c) {
  switch (c) {
    case 249: return "Go-Ahead";
    case 248: return "Erase-Line";
    case 247: return "Erase-Character";
    case 246: return "Are-You-There";
    case 245: return "Abort-Output";
    case 244: return "Suspend";
    case 243: return "Break";
    case 242: return "Data-Mark";
    case 241: return "NoOp";
    case 240: return "End-Sup-Negotiation";
    default: return nullptr;
  }
}

void Answer(TelnetDecoded& out, uint8_t verb, uint8_t option) {
  out.answers.push_back(static_cast<char>(kTelnetIac));
  out.answers.push_back(static_cast<char>(verb));
  out.answers.push_back(static_cast<char>(option));
}

// End of the sub-negotiation starting at i (IAC SB): index past IAC SE, or npos when cut;
// an IAC with anything but IAC or SE after it ends it early (before that IAC).
size_t SubNegotiationEnd(std::string_view b, size_t i, bool& cut) {
  cut = false;
  for (size_t j = i + 2; j < b.size(); ++j) {
    if (static_cast<uint8_t>(b[j]) != kTelnetIac) continue;
    if (j + 1 >= b.size()) break;
    uint8_t next = static_cast<uint8_t>(b[j + 1]);
    if (next == kSe) return j + 2;
    if (next == kTelnetIac) {
      ++j;
      continue;
    }
    return j;
  }
  cut = true;
  return std::string_view::npos;
}

}  // namespace

std::string TelnetOptionName(uint8_t option) {
  if (option < kOptionNames.size()) return kOptionNames[option];
  if (option == 39) return "Telnet Environment Option";
  return StrPrintf("Unknown Option %u (0x%02X)", static_cast<unsigned>(option), static_cast<unsigned>(option));
}

void DecodeTelnet(std::string& pending, std::string_view input, bool& sawDo, TelnetDecoded& out) {
  std::string buffer = std::move(pending);
  pending.clear();
  buffer.append(input);
  std::string_view b = buffer;
  size_t i = 0;
  while (i < b.size()) {
    size_t iac = b.find(static_cast<char>(kTelnetIac), i);
    if (iac == std::string_view::npos) {
      out.data.append(b.substr(i));
      break;
    }
    out.data.append(b.substr(i, iac - i));
    i = iac;
    if (i + 1 >= b.size()) {  // IAC alone: its command is still to come
      pending.assign(b.substr(i));
      return;
    }
    uint8_t cmd = static_cast<uint8_t>(b[i + 1]);
    if (cmd == kTelnetIac) {
      out.data.push_back(static_cast<char>(kTelnetIac));
      i += 2;
      continue;
    }
    if (cmd >= kWill) {  // WILL, WONT, DO, DONT take an option
      if (i + 2 >= b.size()) {
        pending.assign(b.substr(i));
        return;
      }
      uint8_t option = static_cast<uint8_t>(b[i + 2]);
      out.packets.emplace_back(b.substr(i, 3));
      std::string name = TelnetOptionName(option);
      if (cmd == kDo) {
        out.log.push_back("Telnet IN:  DO " + name);
        if (!sawDo) {
          sawDo = true;
          Answer(out, kDo, kSuppressGoAhead);
          out.log.push_back("Telnet OUT:  DO Supress Go Ahead");
          Answer(out, kWill, kSuppressGoAhead);
          out.log.push_back("Telnet OUT:  WILL Supress Go Ahead");
        }
        bool agree = option == kSuppressGoAhead;
        Answer(out, agree ? kWill : kWont, option);
        out.log.push_back(std::string("Telnet OUT:  ") + (agree ? "WILL " : "WONT ") + name);
      } else if (cmd == kDont) {
        out.log.push_back("Telnet IN:  DONT " + name);
        Answer(out, kWont, option);
        out.log.push_back("Telnet OUT:  WONT " + name);
      } else {
        out.log.push_back(std::string(cmd == kWill ? "Telnet IN:  WILL " : "Telnet IN:  WONT ") + name);
      }
      i += 3;
      continue;
    }
    if (cmd == kSb) {
      bool cut = false;
      size_t end = SubNegotiationEnd(b, i, cut);
      if (cut) {
        if (b.size() - i > kMaxSubNegotiation) {
          out.log.push_back("Telnet IN:  Sub-Negotiation too long, dropped");
          return;
        }
        pending.assign(b.substr(i));
        return;
      }
      out.packets.emplace_back(b.substr(i, end - i));
      std::string what = "Telnet IN:  Sub-Negotiation ";
      if (i + 2 < end) what += TelnetOptionName(static_cast<uint8_t>(b[i + 2]));
      out.log.push_back(std::move(what));
      i = end;
      continue;
    }
    out.packets.emplace_back(b.substr(i, 2));
    if (const char* name = TwoByteName(cmd)) {
      out.log.push_back(std::string("Telnet IN:  ") + name);
    } else {
      // Not a telnet command at all: dropped with its IAC rather than read again and again.
      out.log.push_back(StrPrintf("Telnet IN:  Unknown Command %u (0x%02X)", static_cast<unsigned>(cmd),
                                  static_cast<unsigned>(cmd)));
    }
    i += 2;
  }
}
