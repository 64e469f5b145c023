#include "modem/ip_modem_open.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <string>

#include "httpclient/client_connect.h"
#include "modem/line_io.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {

constexpr const char* kLabel = "OpenDevice";
constexpr uint32_t kConnectTimeoutMs = 30000;

ModemDevice Failed(ModemOpenFailure why) {
  ModemDevice d;
  d.failure = why;
  return d;
}

bool WaitFor(ModemDevice& device, std::string_view prompts, uint32_t seconds, ModemLine& line) {
  std::string reply;
  return ReceiveModemCommandWaitForPrompt(device, reply, prompts, seconds, line) > 0;
}

// Login name and password, when configured.
bool LogIn(ModemDevice& device, ModemLine& line) {
  const ModemLineSettings& s = line.settings;
  if (!s.Username.empty()) {
    if (!WaitFor(device, "Username+++User name+++User+++Login", 10, line)) {
      WriteDebugLog(kLabel, "IP Modem connection failed, waiting for login/username prompt");
      return false;
    }
    SendModemCommand(device, s.Username + "\r", line);
  }
  if (!s.Password.empty()) {
    if (!WaitFor(device, "Password+++pass", 10, line)) {
      WriteDebugLog(kLabel, "IP Modem connection failed, waiting for password prompt");
      return false;
    }
    SendModemSecret(device, s.Password + "\r", line);
  }
  return true;
}

// The configured prompt and answer pairs of a terminal server.
bool RunInitSteps(ModemDevice& device, ModemLine& line) {
  unsigned n = 0;
  for (const auto& [waitFor, send] : line.settings.IPModemInit) {
    ++n;
    WriteDebugLogf(kLabel, "IPModemInitWaitFor%u=%s", n, waitFor.c_str());
    std::string prompt = UnescapeCrLf(waitFor);
    if (!WaitFor(device, prompt, 30, line)) {
      WriteDebugLogf(kLabel, "IP Modem connection failed, waiting for prompt:  %s", waitFor.c_str());
      return false;
    }
    if (!send.empty()) {
      // Answers to a terminal server's prompts are often passwords: their length only.
      WriteDebugLogf(kLabel, "IPModemInitSend%u=(%u characters)", n, static_cast<unsigned>(send.size()));
      SendModemSecret(device, UnescapeCrLf(send), line);
      PauseLine(1000, line);
    }
  }
  return true;
}

// Wakes the modem behind the server and checks that it answers.
bool WakeModem(ModemDevice& device, ModemLine& line) {
  PauseLine(3000, line);
  FlushInput(device);
  SendModemCommand(device, "\r", line);
  PauseLine(1000, line);
  SendModemCommand(device, "\r", line);
  PauseLine(1000, line);
  SendModemCommand(device, "ATE1\r", line);
  PauseLine(100, line);
  if (device.failed) return false;
  if (WaitFor(device, "OK", 30, line)) {
    WriteDebugLog(kLabel, "IP modem, got OK.  Trying another command");
  } else {
    WriteDebugLog(kLabel, "IP Modem connection failed, waiting for prompt:  OK");
    if (device.failed) return false;
    SendModemCommand(device, "AT+CFUN=1\r", line);
    if (!WaitFor(device, "OK", 30, line)) WriteDebugLog(kLabel, "IP Modem connection failed, waiting for prompt:  OK");
  }
  if (device.failed) return false;
  SendModemCommand(device, "AT\r", line);
  if (WaitFor(device, "OK", 30, line)) return true;
  WriteDebugLog(kLabel, "IP Modem connection failed, waiting for prompt:  OK");
  return false;
}

}  // namespace

ModemDevice OpenIpModem(const ModemName& name, ModemLine& line) {
  if (name.port == 0) {
    WriteDebugLogf(kLabel, "Cannot parse port number for IP Modem - %s", name.host.c_str());
    return Failed(ModemOpenFailure::Failed);
  }
  ConnectFailure failure = ConnectFailure::None;
  UniqueFd socket = ConnectTcp(name.host, name.port, kConnectTimeoutMs, failure);
  if (!socket) {
    if (failure == ConnectFailure::Socket) {
      WriteDebugLog(kLabel, "IP Modem Failure -- General Socket Error");
    } else {
      WriteDebugLogf(kLabel, "Cannot connect to IP Modem at %s:%u", name.host.c_str(), static_cast<unsigned>(name.port));
    }
    return Failed(ModemOpenFailure::Failed);
  }
  int flags = fcntl(socket.get(), F_GETFL);
  fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK);
  int zero = 0;
  setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &zero, sizeof zero);
  ModemDevice device;
  device.fd = std::move(socket);
  device.transport = ModemTransport::Socket;
  device.path = StrPrintf("%s:%u", name.host.c_str(), static_cast<unsigned>(name.port));
  device.readIntervalMs = 10;
  if (!LogIn(device, line) || !RunInitSteps(device, line) || !WakeModem(device, line)) {
    CloseModemDevice(device);
    return Failed(ModemOpenFailure::Failed);
  }
  return device;
}
