#include "console/modem_check.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "console/gateway_state.h"
#include "modem/modem_line.h"
#include "modem/modem_names.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/config_access.h"
#include "runtime/text_helpers.h"

namespace {
constexpr const char* kInUse = "Modem is in use by the QarSMS service.\r\n\r\nPlease try again later.";
constexpr const char* kNoAccess =
    "Unable to access modem, ensure that it is powered on and passes diagnostic tests.";

void Sleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool Positive(const std::string& reply) {
  return reply.find("\nOK") != std::string::npos || reply.find("\rOK") != std::string::npos;
}

struct Exchange {
  ModemDevice& device;
  ModemLine& line;
  std::string reply;

  bool Send(std::string_view text) { return SendModemCommand(device, text, line) == 1; }
  // Bytes read until "OK" or an error reply, or the limit; 0 when nothing came.
  size_t Read(uint32_t seconds, bool prompt = false) {
    ModemReadRequest r;
    r.timeoutSeconds = seconds;
    r.waitForPrompt = prompt;
    return ReceiveModemCommand(device, reply, r, line);
  }
  // Send and read; false when the send failed (reply then empty).
  bool Command(std::string_view text, uint32_t seconds) {
    reply.clear();
    if (!Send(text)) return false;
    Read(seconds);
    return true;
  }
};

// A "+NAME:" answer's first value, "" when the answer has none.
std::string FirstValue(const std::string& reply, std::string_view name) {
  size_t at = reply.find(name);
  if (at == std::string::npos) return {};
  size_t start = reply.find_first_not_of(' ', at + name.size());
  if (start == std::string::npos) return {};
  size_t end = reply.find_first_of(",\r\n", start);
  return reply.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void PowerOn(Exchange& x) {
  x.Command("AT+CFUN?\r", 10);
  if (x.reply.find("+CFUN:") == std::string::npos || FirstValue(x.reply, "+CFUN:") == "1") return;
  x.Command("AT+CFUN=1\r", 10);
  // Registration: an operator in the answer is a value followed by ",".
  for (int i = 0; i < 18; ++i) {
    x.Command("AT+COPS?\r", 10);
    size_t at = x.reply.find("+COPS:");
    if (at != std::string::npos && x.reply.find(',', at) != std::string::npos &&
        x.reply.find(',', at) < x.reply.find_first_of("\r\n", at)) {
      for (int j = 0; j < 10; ++j) {
        x.Command("AT+CPMS?\r", 10);
        if (x.reply.find("+CMS ERROR") == std::string::npos) break;
        Sleep(2000);
      }
      return;
    }
    Sleep(5000);
  }
}

ModemCheckResult Fail(std::string text) { return ModemCheckResult{false, false, std::move(text)}; }

// One pass of the two initialisation commands with their own texts.
std::string Initialise(Exchange& x, const char* sendFail, const char* waitFail, const char* negative) {
  x.reply.clear();
  if (!x.Send("ATE0V1\r")) return sendFail;
  if (x.Read(30) == 0) return waitFail;
  if (!Positive(x.reply)) return negative + x.reply;
  return {};
}

ModemCheckResult RunChecks(Exchange& x, const std::string& pin) {
  PowerOn(x);
  if (!pin.empty()) {
    x.Command("AT+CPIN?\r", 5);
    if (x.reply.find("READY") == std::string::npos) {
      x.Command("AT+CPIN=\"" + pin + "\"\r", 30);
      if (!Positive(x.reply)) return Fail("Invalid PIN --\r\n\r\n" + x.reply);
      x.Command("AT+CPIN?\r", 25);
    }
  }
  std::string error = Initialise(x, "Unable to send initialization command to modem",
                                 "Error waiting for initialization response from modem",
                                 "Error initializing modem --\r\n\r\n");
  if (error.empty())
    error = Initialise(x, "Unable to send initial command to modem", "Error waiting for initial response from modem",
                       "Error initialising modem --\r\n\r\n");
  if (!error.empty()) return Fail(error);

  // SMS service.
  const char* smsSendFail = "Unable to send SMS initialization command to modem";
  const char* smsWaitFail = "Error waiting for SMS initialization response from modem";
  x.reply.clear();
  if (!x.Send("AT+CSMS=0\r")) return Fail(smsSendFail);
  if (x.Read(30) == 0) return Fail(smsWaitFail);
  if (!Positive(x.reply)) {
    if (!x.Command("AT+CSMS=128\r", 30)) return Fail(smsSendFail);
    if (!Positive(x.reply)) {
      PowerOn(x);
      bool supported = false;
      for (int round = 0; round < 8 && !supported; ++round) {
        if (round > 0) Sleep(5000);
        for (const char* c : {"AT+CSMS=0\r", "AT+CSMS=128\r", "AT+CSMS?\r"}) {
          if (!x.Command(c, 30)) return Fail(smsSendFail);
          if (x.reply.find("+CSMS:") != std::string::npos) {
            supported = true;
            break;
          }
        }
      }
      if (!supported) return Fail("Modem does not support SMS --\r\n\r\n" + x.reply);
    }
  }

  // PDU mode, else text mode.
  x.reply.clear();
  if (!x.Send("AT+CMGF=0\r")) return Fail("Unable to send SMS PDU mode initialization command to modem");
  if (x.Read(30) == 0) return Fail("Error waiting for SMS PDU mode initialization response from modem");
  if (Positive(x.reply)) {
    x.reply.clear();
    if (!x.Send("AT+CMGS=86\r")) return Fail("Unable to send SMS message command to modem");
    x.Read(5, true);
    if (Positive(x.reply)) return Fail("Modem does not properly support command for sending SMS (AT+CMGS)");
    // Cancel the prompt and leave the modem at its command line.
    x.Send("\x1b");
    Sleep(100);
    x.Send("\r");
    Sleep(100);
    x.Command("AT\r", 2);
    return ModemCheckResult{true, false, "Modem successfully tested!"};
  }
  x.reply.clear();
  if (!x.Send("AT+CMGF=1\r")) return Fail("Unable to send SMS text mode initialization command to modem");
  if (x.Read(30) == 0) return Fail("Error waiting for SMS text mode initialization response from modem");
  if (Positive(x.reply))
    return ModemCheckResult{true, true, "Modem successfully tested!\r\n\r\nModem supports text messages only."};
  return Fail("Modem does not support SMS text or PDU mode commands --\r\n\r\n" + x.reply);
}

// A running gateway keeps every configured modem open; an IP modem's far end cannot say so.
bool GatewayHoldsModem(const std::string& modemName) {
  if (!LockHeld(PrivateDataDirectory() + "QAR_QARHUB.LCK")) return false;
  for (const auto& [key, value] : SMSIniSection(kMainSection)) {
    if (key.size() > 5 && EqualsNoCase(key.substr(0, 5), "Modem") &&
        key.find_first_not_of("0123456789", 5) == std::string::npos && EqualsNoCase(value, modemName))
      return true;
  }
  return false;
}

// One line: CR and LF runs become a single space.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else if (static_cast<unsigned char>(c) >= 0x20) {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}
}  // namespace

ModemCheckResult CheckModem(const std::string& modemName, const std::string& pin) {
  if (GatewayHoldsModem(modemName)) return Fail(kInUse);
  ModemLine line;
  line.settings = ReadModemLineSettings(modemName);
  line.connection = modemName;
  ModemDevice device = OpenDevice(modemName, line, pin);
  if (!device.valid()) return Fail(device.failure == ModemOpenFailure::Busy ? kInUse : kNoAccess);
  SetModemReadTimeouts(line, device);
  FlushInput(device);
  Exchange x{device, line, {}};
  ModemCheckResult r = RunChecks(x, pin);
  CloseModemDevice(device);
  return r;
}

bool WriteDataFolderIni(const std::string& fileName, const std::string& section, const std::string& key,
                        const std::string& value) {
  // The library writes the file bound as MMSC.INI: bind this one for the write.
  std::string dir = ProgramDataDirectory();
  MMSCIniSetFilename((dir + fileName).c_str());
  bool ok = MMSCIniWriteProfileString(section.c_str(), key.c_str(), value.c_str()) != 0;
  MMSCIniSetFilename((dir + "MMSC.INI").c_str());
  return ok;
}

bool RecordModemCheck(const ModemCheckResult& r) {
  return WriteDataFolderIni("MODEMTEST.INI", "ModemTest", "Result", OneLine(r.text));
}

bool ModemTestOfConfiguredModem(bool quiet) {
  std::string modem = SMSIniString(kMainSection, "Modem1");
  ModemCheckResult r;
  if (modem.empty()) {
    r.text = "No modem is configured (Modem1).";
  } else {
    std::string path = ParseModemName(modem).path;
    if (!path.empty() && access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK | W_OK) != 0)
      r.text = "Administrative rights are required for this test.";
    else
      r = CheckModem(modem, SMSIniString(ConnectionSectionName(modem), "PIN"));
  }
  RecordModemCheck(r);
  if (!quiet) printf("%s\n", OneLine(r.text).c_str());
  return r.passed;
}
