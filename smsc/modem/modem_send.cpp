#include "gsm/gsm_alphabet.h"
#include "gsm/septet_packing.h"
#include "gsm/submit_pdu.h"
#include "gsm/submit_reference.h"
#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "smsc/modem/modem_session.h"

namespace {

constexpr const char* kLabel = "ThreadProcessModem";
constexpr size_t kMaxErrorText = 499;
constexpr int kWavecomAttempts = 10;

// Leaves the input mode of "AT+CMGS" (ESC, CR), then sends command: "AT+CNMA" acknowledges
// a pushed message that arrived while the prompt was awaited; "AT" after a prompt or result
// error brings the modem back to commands.
void LeaveInputMode(ModemSession& s, const char* command) {
  ModemSend(s, "\x1b");
  ModemPause(100);
  ModemSend(s, "\r");
  ModemSend(s, command);
  ModemDrain(s, 10, kLabel);
}

void Acknowledge(ModemSession& s) { LeaveInputMode(s, "AT+CNMA\r"); }
void Recover(ModemSession& s) { LeaveInputMode(s, "AT\r"); }

std::string ErrorText(std::string text) {
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  return text;
}

// The user data of the PDU: a message with a header is binary, the header hex first.
void UserData(const SmsMessageRecord& m, SubmitPduRequest& req) {
  req.pid = m.Pid;
  req.dcs = m.Dcs;
  if (m.UDH.empty()) {
    req.userData = m.Data;
    req.userDataIsText = !m.Binary;
    return;
  }
  req.headerPresent = true;
  req.userDataIsText = false;
  if (m.Binary) {
    req.userData = m.UDH + m.Data;
    return;
  }
  const size_t headerOctets = m.UDH.size() / 2;
  if (IsSevenBitDcs(m.Dcs)) {
    std::string septets;
    size_t count = Utf8ToGsm(m.Data, septets, 0);
    std::string hex = m.UDH;
    PackSeptetsToHex(septets, count, hex, int(headerOctets % 7));
    req.userData = hex;
    req.septetCount = (headerOctets * 8 + 6) / 7 + count;
  } else if (IsUcs2Dcs(m.Dcs)) {
    req.userData = m.UDH + Utf8ToUcs2Hex(m.Data);
  } else {
    req.userData = m.UDH + HexEncode(m.Data);
  }
}

struct Attempt {
  bool ok = false;
  std::string error;
  std::string reply;
};

// One "AT+CMGS" from the command to its result; started again after acknowledging a
// message pushed while the prompt was awaited.
Attempt SendOnce(ModemSession& s, const std::string& recipient, const SubmitPdu& pdu, const std::string& text,
                 bool binary) {
  Attempt a;
  for (int restarts = 0; restarts < 10; ++restarts) {
    std::string command;
    if (s.textMode) {
      if (binary) {
        a.error = "ERROR - binary messages not supported for this modem";
        return a;
      }
      command = "AT+CMGS=\"" + recipient + "\"\r";
    } else {
      command = StrPrintf("AT+CMGS=%d\r", pdu.tpduLength);
    }
    if (!ModemSend(s, command)) {
      a.error = "ERROR - Error communication with modem (1)";
      return a;
    }
    bool ackPending = false;
    ModemReadRequest prompt;
    prompt.capacity = 2048;
    prompt.waitForPrompt = true;
    prompt.acknowledgePending = &ackPending;
    prompt.timeoutSeconds = s.settings.sendWorkaround ? 2 : 15;
    std::string reply;
    size_t n = ReceiveModemCommand(s.device, reply, prompt, s.line);
    if (!s.settings.sendWorkaround) {
      if (n == 0 || reply.find('>') == std::string::npos) {
        if (ackPending) {
          Acknowledge(s);
          continue;
        }
        a.error = n == 0 ? "ERROR - Error waiting for response from modem (1)"
                         : ErrorText("ERROR - Modem Response (1):  " + ReplyForText(reply));
        Recover(s);
        return a;
      }
    }
    WriteDebugLog(kLabel, "IN: " + ReplyForText(reply));
    if (ackPending) {
      Acknowledge(s);
      continue;
    }
    std::string payload = (s.textMode ? text : pdu.hex) + "\x1a";
    // Its report may come before its answer (a modem that answers late): held until the
    // reference is recorded.
    s.holdReports = true;
    if (!ModemSend(s, payload)) {
      a.error = "ERROR - Error communication with modem (2)";
      return a;
    }
    if (s.extraCr) {
      ModemPause(100);
      ModemSend(s, "\r");
    }
    ModemReadRequest result;
    result.timeoutSeconds = 120;
    result.expected = s.settings.sendResponseSimple ? "" : "+CMGS:";
    result.extraCr = s.extraCr;
    if (ReceiveModemCommand(s.device, reply, result, s.line) == 0) {
      a.error = "ERROR - Error waiting for response from modem (2)";
      Recover(s);
      return a;
    }
    a.reply = reply;
    WriteDebugLog(kLabel, "IN: " + ReplyForText(reply));
    if (reply.find("+CMGS:") != std::string::npos || (s.settings.sendResponseSimple && ReplyOk(reply))) {
      a.ok = true;
      return a;
    }
    a.error = ErrorText("ERROR - Modem Response (2):  " + ReplyForText(reply));
    Recover(s);
    return a;
  }
  a.error = "ERROR - Error waiting for response from modem (1)";
  return a;
}

bool WavecomRetryable(const std::string& error, const char* code) {
  return error.find(std::string("+CMS ERROR: ") + code) != std::string::npos ||
         error.find(std::string("ERROR ") + code) != std::string::npos;
}

}  // namespace

std::string TextModePayload(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') continue;
    if (c == 0x7f) continue;
    out += c;
  }
  return out;
}

SubmitResult SendModemMessage(ModemSession& s, const SmsMessageRecord& m, const SubmitRequest& r, bool sendCmms) {
  SubmitResult result;
  s.lastFailureWasModem = false;
  const bool binary = m.Binary || !m.UDH.empty();
  SubmitPduRequest req;
  req.destination = r.recipient;
  req.smsc = s.settings.smsc;
  req.noSmscField = s.settings.excludeSmsc;
  req.validity = m.Validity;
  req.zeroMessageReference = MainFlag("TestZeroMR");
  if (m.MessageFlags & (kMsgReceiptRequested | kMsgNonDelReceiptRequested)) req.optionBits |= kSubmitStatusReport;
  if (m.MessageFlags & kMsgReplyRequested) req.optionBits |= kSubmitReplyPath;
  UserData(m, req);
  SubmitPdu pdu;
  std::string reason;
  bool built = BuildSubmitPdu(req, pdu, reason);
  // An address that is no number (AllowAlphaRecip) would corrupt the PDU, or reach
  // "AT+CMGS=" as it is in text mode: it can never go, and the modem is not to blame.
  if (!IsDialableNumber(r.recipient) || (!built && !s.textMode)) {
    result.outcome = SubmitOutcome::Rejected;
    result.errorText = ErrorText("ERROR - " + reason);
    WriteDebugLogf(kLabel, "Error:  %s", result.errorText.c_str());
    return result;
  }
  if (sendCmms) {
    std::string reply;
    ModemCommand(s, "AT+CMMS=2\r", 10, reply);
  }
  const std::string text = s.textMode ? TextModePayload(m.Data) : std::string();
  Attempt a;
  for (int attempt = 1; attempt <= kWavecomAttempts; ++attempt) {
    RunExtraCommands(s, s.settings.preSend);
    a = SendOnce(s, r.recipient, pdu, text, binary);
    RunExtraCommands(s, s.settings.postSend);
    if (a.ok || !s.wavecom || attempt == kWavecomAttempts || s.device.failed) break;
    ReleaseHeldReports(s);
    if (WavecomRetryable(a.error, "512")) {
      WriteDebugLog(kLabel, "Retry CMS ERROR 512 for Wavecom modems");
    } else if (WavecomRetryable(a.error, "513")) {
      WriteDebugLog(kLabel, "Retry CMS ERROR 513 for Wavecom modems");
    } else {
      break;
    }
    ModemPause(3000);
  }
  if (a.ok) {
    s.sendFailures = 0;
    s.lastSuccess = NowSeconds();
    result.smscMessageId = CmgsReference(a.reply);
    // A report finds its message by the reference and the destination together (below);
    // the bare reference, reused every 256 messages, would match nothing.
    result.idRecord = SmscIdRecord::Never;
    if (req.optionBits & kSubmitStatusReport) {
      RememberSubmitReference(s.name, a.reply, r.gatewayMessageId, m.SubmitUser, m.Sender, r.recipient);
    }
    ReleaseHeldReports(s);
    ModemPause(s.afterSendDelayMs);
    return result;
  }
  ReleaseHeldReports(s);
  ++s.sendFailures;
  s.lastFailureWasModem = true;
  WriteDebugLogf(kLabel, "Error:  %s", a.error.c_str());
  result.outcome = SubmitOutcome::Retry;
  result.errorText = a.error;
  if (s.device.failed) result.outcome = SubmitOutcome::LinkLost;
  ModemPause(s.settings.delayAfterErrorMs);
  return result;
}
