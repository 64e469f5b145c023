#include "smsc/modem/modem_session.h"

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"

namespace {

constexpr const char* kLabel = "ThreadProcessModem";

bool Stopping() { return ShutdownRequested.load() != 0; }

size_t Read(ModemSession& s, std::string& reply, uint32_t timeoutSeconds) {
  ModemReadRequest request;
  request.timeoutSeconds = timeoutSeconds;
  return ReceiveModemCommand(s.device, reply, request, s.line);
}

// "Modem Failure -- ..." of a step that must answer OK.
bool StepOk(ModemSession& s, std::string_view command, const char* cannotSend, const char* noReply, const char* refused,
            std::string& failure) {
  std::string reply;
  switch (ModemCommand(s, command, 30, reply)) {
    case ModemReply::WriteFailed: failure = cannotSend; return false;
    case ModemReply::NoReply: failure = noReply; return false;
    case ModemReply::Reply: break;
  }
  if (ReplyOk(reply)) return true;
  failure = refused;
  return false;
}

// The message service: acknowledge mode with AllowPhase2Plus when the modem takes it.
bool MessageService(ModemSession& s, std::string& failure) {
  s.line.acknowledgeMode = false;
  auto attempt = [&](bool& noReply, bool& writeFailed) {
    std::string reply;
    if (s.settings.allowPhase2Plus) {
      ModemReply r = ModemCommand(s, "AT+CSMS=1\r", 30, reply);
      if (r == ModemReply::Reply && ReplyOk(reply)) {
        s.line.acknowledgeMode = true;
        return true;
      }
      writeFailed |= r == ModemReply::WriteFailed;
      noReply |= r == ModemReply::NoReply;
    }
    for (const char* c : {"AT+CSMS=0\r", "AT+CSMS=128\r"}) {
      ModemReply r = ModemCommand(s, c, 30, reply);
      if (r == ModemReply::Reply && ReplyOk(reply)) return true;
      writeFailed |= r == ModemReply::WriteFailed;
      noReply |= r == ModemReply::NoReply;
    }
    return false;
  };
  bool noReply = false, writeFailed = false;
  if (attempt(noReply, writeFailed)) return true;
  std::string reply;
  ModemReply r = ModemCommand(s, "AT+CSMS?\r", 30, reply);
  if (r == ModemReply::Reply && ReplyOk(reply) && reply.find("+CSMS:") != std::string::npos) {
    if (s.settings.allowPhase2Plus && CsmsPhase2Plus(reply)) s.line.acknowledgeMode = true;
    return true;
  }
  if (r == ModemReply::WriteFailed) {
    failure = "Modem Failure -- Unable to send SMS initialization command to modem";
    return false;
  }
  if (r == ModemReply::NoReply) {
    failure = "Modem Failure -- Error waiting for SMS initialization response from modem";
    return false;
  }
  if (ModemPowerUp(s)) ModemWaitForPowerUp(s);
  for (int round = 0; round < 8 && !Stopping(); ++round) {
    ModemPause(5000);
    noReply = writeFailed = false;
    if (attempt(noReply, writeFailed)) return true;
  }
  failure = "Modem Failure -- Modem does not support SMS";
  return false;
}

bool MessageFormat(ModemSession& s, std::string& failure) {
  std::string reply;
  s.textMode = false;
  bool anyReply = false;
  if (!s.settings.textMode) {
    ModemReply r = ModemCommand(s, "AT+CMGF=0\r", 30, reply);
    if (r == ModemReply::WriteFailed) {
      failure = "Modem Failure -- Unable to send SMS PDU mode initialization command to modem";
      return false;
    }
    if (r == ModemReply::Reply && ReplyOk(reply)) return true;
    anyReply |= r == ModemReply::Reply;
  }
  ModemReply r = ModemCommand(s, "AT+CMGF=1\r", 30, reply);
  if (r == ModemReply::WriteFailed) {
    failure = "Modem Failure -- Unable to send SMS text mode initialization command to modem";
    return false;
  }
  if (r == ModemReply::Reply && ReplyOk(reply)) {
    s.textMode = true;
    return true;
  }
  anyReply |= r == ModemReply::Reply;
  if (!anyReply) {
    failure = "Modem Failure -- Error waiting for SMS PDU mode initialization response from modem";
    return false;
  }
  r = ModemCommand(s, "AT+CSMS?\r", 30, reply);
  if (r == ModemReply::Reply && ReplyOk(reply) && reply.find("+CSMS:") != std::string::npos) {
    if (s.settings.allowPhase2Plus && CsmsPhase2Plus(reply)) s.line.acknowledgeMode = true;
    s.textMode = true;
    return true;
  }
  failure = "Modem Failure -- modem does not support text or PDU mode for SMS";
  return false;
}

void LoggedCommand(ModemSession& s, std::string_view command, uint32_t timeout) {
  std::string reply;
  ModemCommand(s, command, timeout, reply);
}

// Indications and the storage polled for received messages.
void SetUpReceiving(ModemSession& s) {
  std::string reply;
  LoggedCommand(s, "AT+CPMS?\r", 30);
  if (s.settings.direct) {
    for (const char* c : {"AT+CNMI=2,2,2,1,0\r", "AT+CNMI=2,2\r", "AT+CNMI=2\r"}) {
      if (ModemCommandOk(s, c, 5)) break;
    }
  } else {
    LoggedCommand(s, "AT+CNMI=2,0\r", 5);
  }
  if (ModemCommand(s, "AT+CNMI?\r", 5, reply) == ModemReply::Reply) {
    std::string value = CnmiWithIndications(CnmiValue(reply));
    if (!value.empty()) LoggedCommand(s, "AT+CNMI=" + value + "\r", 5);
  }
  if (ModemCommand(s, "AT+CNMI?\r", 5, reply) == ModemReply::Reply) {
    std::string value = CnmiValue(reply);
    std::string withReports = CnmiWithReports(value, '1');
    if (!withReports.empty() && !ModemCommandOk(s, "AT+CNMI=" + withReports + "\r", 5)) {
      LoggedCommand(s, "AT+CNMI=" + CnmiWithReports(value, '2') + "\r", 5);
    }
  }
  s.offer = CpmsOffer{};
  if (ModemCommand(s, "AT+CPMS=?\r", 10, reply) == ModemReply::Reply) s.offer = ParseCpmsOffer(reply);
  s.storage.clear();
  if (!s.settings.direct) {
    const std::string& wanted = s.settings.receiveTo;
    if (wanted.empty()) {
      s.storage = s.offer.sm ? "SM" : "ME";
    } else if (wanted == "ME" && !s.offer.me) {
      s.storage = s.offer.sm ? "SM" : "";
    } else {
      s.storage = wanted;
    }
  }
  if (!s.storage.empty()) {
    std::string q = "\"" + s.storage + "\"";
    if (ModemCommandOk(s, "AT+CPMS=" + q + "," + q + "," + q + "\r", 10) ||
        ModemCommandOk(s, "AT+CPMS=" + q + "," + q + "\r", 10) || ModemCommandOk(s, "AT+CPMS=" + q + "\r", 10)) {
      s.currentStorage = s.storage;
    }
    LoggedCommand(s, "AT+CPMS?\r", 10);
  }
  s.receiving = true;
}

}  // namespace

bool ModemSend(ModemSession& s, std::string_view text) {
  WriteDebugLog(kLabel, "OUT: " + ReplyForText(text));
  return SendModemCommand(s.device, text, s.line) == 1;
}

// The numbered extra commands; failures are logged and do not stop the sequence.
void RunExtraCommands(ModemSession& s, const std::vector<std::pair<std::string, std::string>>& commands) {
  for (const auto& [key, command] : commands) {
    WriteDebugLog(kLabel, key + ": " + command);
    std::string reply;
    ModemReply r = ModemCommand(s, command + "\r", 30, reply);
    if (r == ModemReply::WriteFailed) WriteDebugLogf(kLabel, "Error sending command: %s", key.c_str());
    if (r == ModemReply::NoReply) WriteDebugLogf(kLabel, "Error waiting for response to command: %s", key.c_str());
  }
}

void ModemDrain(ModemSession& s, int reads, const char* label) {
  std::string reply;
  for (int i = 0; i < reads && !s.device.failed && Read(s, reply, 1) > 0; ++i) {
    WriteDebugLog(label, "IN: " + ReplyForText(reply));
  }
}

void ModemPause(uint32_t ms) { SleepUnlessShutdown(ms, TickMs()); }

ModemReply ModemCommand(ModemSession& s, std::string_view command, uint32_t timeoutSeconds, std::string& reply) {
  reply.clear();
  if (!ModemSend(s, command)) return ModemReply::WriteFailed;
  if (Read(s, reply, timeoutSeconds) == 0) return ModemReply::NoReply;
  WriteDebugLog(kLabel, "IN: " + ReplyForText(reply));
  return ModemReply::Reply;
}

bool ModemCommandOk(ModemSession& s, std::string_view command, uint32_t timeoutSeconds, std::string* out) {
  std::string reply;
  bool ok = ModemCommand(s, command, timeoutSeconds, reply) == ModemReply::Reply && ReplyOk(reply);
  if (out) *out = reply;
  return ok;
}

bool ModemPowerUp(ModemSession& s) {
  std::string reply;
  if (ModemCommand(s, "AT+CFUN?\r", 10, reply) != ModemReply::Reply || !CfunNotFull(reply)) return false;
  if (!ModemCommandOk(s, "AT+CFUN=1\r", 10)) return false;
  WriteDebugLog(kLabel, "Powering Up Modem");
  return true;
}

bool ModemWaitForPowerUp(ModemSession& s) {
  constexpr const char* kWaitLabel = "ModemWaitForPowerUp";
  ModemPowerUp(s);
  for (int i = 0; i < 18 && !Stopping(); ++i) {
    std::string reply;
    WriteDebugLog(kWaitLabel, "AT+COPS?");
    if (ModemCommand(s, "AT+COPS?\r", 10, reply) != ModemReply::Reply) break;
    WriteDebugLog(kWaitLabel, ReplyForText(reply));
    if (CopsSelected(reply)) break;
    if (reply.find("+COPS:") != std::string::npos) ModemPause(5000);
  }
  for (int i = 0; i < 10 && !Stopping(); ++i) {
    std::string reply;
    if (ModemCommand(s, "AT+CPMS?\r", 10, reply) == ModemReply::Reply && reply.find("+CMS ERROR") == std::string::npos) {
      WriteDebugLog(kWaitLabel, "Modem Ready");
      return true;
    }
    ModemPause(2000);
  }
  WriteDebugLog(kWaitLabel, "Modem not ready");
  return false;
}

bool ModemHardReset(ModemSession& s) {
  constexpr const char* kResetLabel = "ModemHardReset";
  std::string reply;
  if (ModemCommand(s, "AT+CFUN=?\r", 10, reply) == ModemReply::Reply && CfunResetSupported(reply)) {
    WriteDebugLog(kResetLabel, "Hard reset technique #1");
    if (ModemCommandOk(s, "AT+CFUN=1,1\r", 10)) {
      WriteDebugLog(kResetLabel, "Hard reset ok");
      return true;
    }
  } else if (ModemCommandOk(s, "AT*E2RESET=?\r", 10)) {
    WriteDebugLog(kResetLabel, "Hard reset technique #2");
    if (ModemCommandOk(s, "AT*E2RESET\r", 10)) {
      WriteDebugLog(kResetLabel, "Hard reset ok");
      return true;
    }
  } else if (ModemCommandOk(s, "AT!RESET\r", 10)) {
    WriteDebugLog(kResetLabel, "Hard reset technique #3");
    WriteDebugLog(kResetLabel, "Hard reset ok");
    return true;
  } else if (ModemCommandOk(s, "AT+CFUN=1,1\r", 10)) {
    WriteDebugLog(kResetLabel, "Hard reset technique #4");
    WriteDebugLog(kResetLabel, "Hard reset ok");
    return true;
  }
  WriteDebugLog(kResetLabel, "Fall back to soft reset");
  if (ModemCommandOk(s, "AT+CFUN=1\r", 10)) {
    WriteDebugLog(kResetLabel, "Soft reset ok");
    return true;
  }
  return false;
}

bool ModemTest(ModemSession& s, bool full) {
  constexpr const char* kTestLabel = "ModemTest";
  s.lastTestTick = TickMs();
  bool passed = ModemCommandOk(s, "ATE0V1\r", 10);
  if (!passed && !s.device.failed) {
    ModemSend(s, "\x1b");
    ModemPause(100);
    ModemSend(s, "\r");
    ModemSend(s, "AT\r");
    ModemDrain(s, 10, kTestLabel);
    passed = ModemCommandOk(s, "ATE0V1\r", 10);
  }
  if (!passed && !s.device.failed && s.device.transport == ModemTransport::Serial) {
    SetModemDtr(s.device, false);
    ModemPause(5000);
    SetModemDtr(s.device, true);
    ModemPause(5000);
    passed = ModemCommandOk(s, "ATE0V1\r", 10);
  }
  std::string reply;
  if (passed && ModemCommand(s, "AT+CREG?\r", 10, reply) == ModemReply::Reply && CregNotRegistered(reply)) {
    WriteDebugLog(kTestLabel, "AT+CREG?");
    WriteDebugLog(kTestLabel, ReplyForText(reply));
    passed = false;
  }
  if (passed && full) {
    std::string a, b;
    passed = ModemCommand(s, "AT+CPMS=?\r", 10, a) == ModemReply::Reply && a.find("+CPMS:") != std::string::npos &&
             ModemCommand(s, "AT+CPMS?\r", 10, b) == ModemReply::Reply && b.find("+CPMS:") != std::string::npos;
  }
  if (passed && full && ModemCommand(s, "AT+CFUN?\r", 10, reply) == ModemReply::Reply && CfunNotFull(reply) &&
      ModemCommandOk(s, "AT+CFUN=1\r", 10)) {
    WriteDebugLog(kTestLabel, "Powering Up Modem");
    ModemWaitForPowerUp(s);
  }
  WriteDebugLog(kTestLabel, passed ? "Modem Test Passed" : "Modem Test Failed");
  return passed;
}

bool InitialiseModem(ModemSession& s, bool afterHardReset, std::string& failure) {
  if (afterHardReset) {
    ModemWaitForPowerUp(s);
  } else if (ModemPowerUp(s)) {
    ModemWaitForPowerUp(s);
  }
  std::string reply;
  if (!s.settings.pin.empty()) {
    ModemCommand(s, "AT+CPIN?\r", 5, reply);
    if (reply.find("READY") == std::string::npos) {
      // Every wrong PIN brings the SIM closer to its lock: one that was refused is not
      // tried again until the setting changes.
      if (s.refusedPin == s.settings.pin) {
        failure = "Modem Failure -- The SIM refused the configured PIN; it is not sent again until PIN is changed";
        return false;
      }
      ModemReply r = ModemCommand(s, "AT+CPIN=\"" + s.settings.pin + "\"\r", 30, reply);
      if (r == ModemReply::Reply && !ReplyOk(reply) && reply.find("ERROR") != std::string::npos) {
        s.refusedPin = s.settings.pin;
        failure = "Modem Failure -- The SIM refused the configured PIN; it is not sent again until PIN is changed";
        return false;
      }
      ModemCommand(s, "AT+CPIN?\r", 25, reply);
    }
  }
  RunExtraCommands(s, s.settings.preInit);
  if (!StepOk(s, "ATE0V1\r", "Modem Failure -- Unable to send initialization command to modem",
              "Modem Failure -- Error waiting for initialization response from modem",
              "Modem Failure -- Error initializing modem", failure) ||
      !StepOk(s, "ATE0V1\r", "Modem Failure -- Unable to send initial command to modem",
              "Modem Failure -- Error waiting for initial response from modem", "Modem Failure -- Error initializing modem",
              failure)) {
    return false;
  }
  ModemCommand(s, "ATI0\r", 30, reply);
  WriteDebugLog(kLabel, "ATI0");
  WriteDebugLog(kLabel, ReplyForText(reply));
  s.wavecom = reply.find("WAVECOM") != std::string::npos;
  s.nokia = reply.find("Nokia") != std::string::npos;
  s.extraCr = s.settings.sendExtraCr || s.nokia;
  s.afterSendDelayMs = s.settings.delayAfterSendMs == 0 && s.nokia ? 7500 : s.settings.delayAfterSendMs;
  if (ModemPowerUp(s)) ModemWaitForPowerUp(s);
  if (!MessageService(s, failure) || !MessageFormat(s, failure)) return false;
  s.fullTest = ModemTest(s, true);
  s.sendFailures = 0;
  s.error = false;
  if (s.settings.receiveSms) SetUpReceiving(s);
  if (EqualsNoCase(s.settings.smsAccess, "GPRS")) {
    LoggedCommand(s, "AT+CGATT=1\r", 10);
    LoggedCommand(s, "AT+CGSMS=2\r", 10);
  } else if (EqualsNoCase(s.settings.smsAccess, "GSM")) {
    LoggedCommand(s, "AT+CGSMS=3\r", 10);
  }
  LoggedCommand(s, "AT+CMEE=1\r", 10);
  for (const char* c : {"AT+CNMI?\r", "AT+CNMI=?\r", "AT+COPS?\r", "AT+CSQ\r"}) LoggedCommand(s, c, 10);
  ModemCommand(s, "AT+CNUM\r", 10, reply);
  std::string number = ParseCnumNumber(reply);
  s.line.phoneNumber = s.settings.phoneNumber.empty() ? number : s.settings.phoneNumber;
  RunExtraCommands(s, s.settings.postInit);
  WriteDebugLogf(kLabel, "Modem initialization complete:  %s", s.name.c_str());
  s.lastSuccess = NowSeconds();
  s.lastPollTick = 0;
  s.pollNumber = 0;
  return true;
}
