// The readers: the full reader, the simple one and the wait for a login prompt.
#include <algorithm>
#include <cerrno>
#include <string>

#include "modem/line_io.h"
#include "modem/modem_line.h"
#include "modem/reply_end.h"
#include "modem/telnet_commands.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/str_printf.h"

namespace {

constexpr uint32_t kCompletionGraceMs = 5000;

// Room left for more bytes; one byte of the caller's size stays for the terminator it had.
size_t Room(const std::string& reply, size_t capacity) {
  size_t usable = capacity > 0 ? capacity - 1 : 0;
  return reply.size() < usable ? usable - reply.size() : 0;
}

void NulsToSpaces(std::string& reply, size_t from) {
  std::replace(reply.begin() + static_cast<std::ptrdiff_t>(from), reply.end(), '\0', ' ');
}

void NoteNewMessage(const std::string& reply, const ModemReadRequest& request) {
  if (!request.newMessage) return;
  if (reply.find("+CMTI:") == std::string::npos && reply.find("+CDSI:") == std::string::npos) return;
  *request.newMessage = true;
  WriteDebugLog("ReceiveModemCommand", "Received New Message Notification");
}

// The clock of one read call, extended once while a pushed message completes.
struct ReadClock {
  uint64_t start = TickMs();
  uint64_t timeoutMs;
  bool extended = false;

  uint64_t Left() const {
    uint64_t spent = TickMs() - start;
    return spent < timeoutMs ? timeoutMs - spent : 0;
  }
  void ExtendForPushed(const char* label) {
    if (extended || Left() >= kCompletionGraceMs) return;
    extended = true;
    start = TickMs();
    timeoutMs = std::max<uint64_t>(timeoutMs, kCompletionGraceMs);
    WriteDebugLog(label, "Adjusting timeout to wait for +CMT to complete");
  }
};

void LogReturn(const ModemLine& line, bool timedOut, const std::string& reply) {
  if (!line.settings.Debug2) return;
  WriteDebugLogAlways("ReceiveModemCommand",
                      StrPrintf(timedOut ? "Timeout Returning %u bytes:  " : "Returning %u bytes:  ",
                                static_cast<unsigned>(reply.size())) +
                          MaskLineSecrets(line, reply));
}

size_t SimpleReader(ModemDevice& device, std::string& reply, const ModemReadRequest& request, ModemLine& line) {
  uint32_t waitMs = request.timeoutSeconds * 1000;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (LineStopping(line)) break;
    long n = ReadSome(device, reply, Room(reply, request.capacity), waitMs, &line);
    if (n < 0) {
      WriteDebugLogf("ReceiveModemCommand", "Error - %X", static_cast<unsigned>(errno));
      return 0;
    }
    if (n > 0) {
      line.lastReceived = NowSeconds();
      NulsToSpaces(reply, 0);
      FilterCMTandCDS(device, reply, request.acknowledgePending, line);
      if (!reply.empty()) return reply.size();
    }
    WriteDebugLog("ReceiveModemCommand", "trying again...");
  }
  return reply.size();
}

// Lines of 8 bytes, hexadecimal then the characters, under Debug.
void DumpPacket(const char* label, std::string_view bytes, const ModemLine& line) {
  if (!line.settings.Debug) return;
  WriteDebugLogf(label, "Packet Length is %u bytes", static_cast<unsigned>(bytes.size()));
  for (size_t i = 0; i < bytes.size(); i += 8) {
    std::string_view row = bytes.substr(i, 8);
    std::string hex, chars;
    for (char c : row) {
      AppendHexOctet(hex, static_cast<uint8_t>(c));
      hex.push_back(' ');
      unsigned char u = static_cast<unsigned char>(c);
      chars.push_back(u >= 32 && u < 127 ? c : '.');
    }
    WriteDebugLog(label, hex);
    WriteDebugLog(label, chars);
  }
}

}  // namespace

size_t ReceiveModemCommand(ModemDevice& device, std::string& reply, const ModemReadRequest& request, ModemLine& line) {
  reply.clear();
  if (line.settings.OldModemHandler) return SimpleReader(device, reply, request, line);
  ReadClock clock;
  clock.timeoutMs = static_cast<uint64_t>(request.timeoutSeconds) * 1000;
  bool finished = false;
  // Each read is looked at as it comes: a finished reply needs no wait for a gap after it,
  // an unfinished one reads on. A configured minimum delay, and the extra CR sent after each
  // read, still take whole bursts.
  const bool burst = line.settings.MinimumReadDelay != 0 || request.extraCr;
  // Set when a reply looked finished but its last line end or prompt was cut by the read
  // ("\r" without "\n", ">" without its space), or ended with the awaited prompt: what
  // follows within the read interval belongs to it, not to the next reply.
  bool tail = false;
  while (!LineStopping(line) && clock.Left() > 0) {
    size_t room = Room(reply, request.capacity);
    if (room == 0) break;  // a full buffer ends the read: nothing more fits
    uint32_t waitMs = tail ? device.readIntervalMs : request.extraCr ? 1000 : static_cast<uint32_t>(clock.Left());
    size_t before = reply.size();
    long n = ReadSome(device, reply, room, std::min<uint64_t>(waitMs, clock.Left()), &line, burst || tail);
    if (n < 0) {
      WriteDebugLogf("ReceiveModemCommand", "Error - %X", static_cast<unsigned>(errno));
      return 0;
    }
    if (n > 0) {
      line.lastReceived = NowSeconds();
      NulsToSpaces(reply, before);
      NoteNewMessage(reply, request);
    }
    if (FilterCMTandCDS(device, reply, request.acknowledgePending, line) == 0) {
      tail = false;
      clock.ExtendForPushed("ReceiveModemCommand");
    } else if (ReplyFinished(reply, request.waitForPrompt, request.expected)) {
      bool cut = !reply.empty() && reply.back() != '\n' && !reply.ends_with("> ");
      // In acknowledge mode a message pushed right behind the prompt has to be
      // acknowledged before the message goes: the read interval after a prompt is taken
      // too. Otherwise the answer's read takes it, and the prompt needs no wait.
      bool prompt = line.acknowledgeMode && request.waitForPrompt && reply.ends_with("> ");
      if (burst || tail || !(cut || prompt)) {
        finished = true;
        break;
      }
      tail = true;
      continue;
    }
    tail = false;
    if (request.extraCr) {
      WriteDebugLog("ReceiveModemCommand", "Sending extra CR");
      SendModemCommand(device, "\r", line);
    }
  }
  LogReturn(line, !finished, reply);
  return reply.size();
}

size_t ReceiveModemCommandWaitForPrompt(ModemDevice& device, std::string& reply, std::string_view prompts,
                                        uint32_t timeoutSeconds, ModemLine& line, size_t capacity) {
  static constexpr const char* kLabel = "ReceiveModemCommandWaitForPrompt";
  reply.clear();
  ReadClock clock;
  clock.timeoutMs = static_cast<uint64_t>(timeoutSeconds) * 1000;
  bool sawDo = false;
  while (!LineStopping(line) && clock.Left() > 0) {
    size_t room = Room(reply, capacity);
    if (room == 0) break;
    std::string raw;
    long n = ReadSome(device, raw, room, static_cast<uint32_t>(clock.Left()), &line);
    if (n < 0) {
      WriteDebugLogf(kLabel, "Error - %X", static_cast<unsigned>(errno));
      return 0;
    }
    if (n > 0) line.lastReceived = NowSeconds();
    TelnetDecoded telnet;
    DecodeTelnet(device.telnetPending, raw, sawDo, telnet);
    for (const std::string& packet : telnet.packets) DumpPacket(kLabel, packet, line);
    for (const std::string& text : telnet.log) WriteDebugLog(kLabel, text);
    if (!telnet.answers.empty()) SendModemCommand(device, telnet.answers, line);
    size_t before = reply.size();
    reply.append(telnet.data);
    NulsToSpaces(reply, before);
    if (FilterCMTandCDS(device, reply, nullptr, line) == 0) {
      clock.ExtendForPushed(kLabel);
      continue;
    }
    if (PromptSeen(reply, prompts)) {
      std::string shown = MaskLineSecrets(line, reply);
      WriteDebugLog(kLabel, shown);
      DumpPacket(kLabel, shown, line);
      return reply.size();
    }
  }
  WriteDebugLog(kLabel, MaskLineSecrets(line, reply));
  return 0;
}
