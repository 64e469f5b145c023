// One GSM modem session on its worker thread: opening and initialising the modem, its
// health test, resets, sending one message and polling for received ones.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gsm/modem_pdu.h"
#include "modem/modem_line.h"
#include "smsc/modem/modem_replies.h"
#include "smsc/modem/modem_settings.h"
#include "smsc/queue_pass.h"

// A received message or delivery report as the modem path hands it to inbound processing.
struct ModemReceived {
  std::string connection, sender, recipient;
  std::string udh;   // hex
  std::string data;  // UTF-8 text, or hex when binary
  uint8_t pid = 0, dcs = 0;
  uint32_t flags = 0;  // 0x0C delivered report, 0x24 failed report
  bool binary = false;
  std::string receiptMessageId;
  std::string extraParams;  // "ReceivedSMSC=...; RouteToLocalUser=..."
  bool textOnly = false;    // a text-mode listing or text-form "+CMT:": no PID, DCS or flags
  // Pushed by a modem that wants no acknowledgement: it has forgotten the message already,
  // so nothing waits for the file to reach stable storage.
  bool unacknowledged = false;
};
// Stores a received message; true when a file holds it (or it was refused on purpose), so
// that the modem's copy may go.
using ModemReceiveHandler = bool (*)(const ModemReceived&);
void SetModemReceiveHandler(ModemReceiveHandler handler);
// When the connection last received a message or report (0: not since the start).
time_t LastModemReceiveTime(const std::string& connection);

struct ModemSession {
  std::string name;
  ModemSettings settings;
  ModemLine line;
  ModemDevice device;
  bool textMode = false;
  bool wavecom = false, nokia = false;
  bool extraCr = false;
  uint32_t afterSendDelayMs = 0;
  CpmsOffer offer;
  std::string storage;         // chosen storage for polling ("" with Direct or none)
  std::string currentStorage;  // as last selected
  bool receiving = false;
  bool fullTest = true;
  uint32_t sendFailures = 0;
  time_t lastSuccess = 0;
  uint64_t lastPollTick = 0, lastTestTick = 0;
  uint32_t pollNumber = 0;
  bool error = false;              // the session must end
  bool lastFailureWasModem = false;  // the last failed message failed at the modem
  std::string refusedPin;  // kept across sessions: a refused PIN is not sent again
  // From a submit's payload until its answer is recorded, pushed status reports wait here
  // (PDU hex): one may be for the reference the answer is about to give.
  bool holdReports = false;
  std::vector<std::string> heldReports;
};

enum class ModemReply { WriteFailed, NoReply, Reply };

// Writes text, logged "OUT:"; true when all of it went.
bool ModemSend(ModemSession& s, std::string_view text);
// The numbered extra commands (CommandPreInit1, ...); failures are logged and do not stop
// the sequence.
void RunExtraCommands(ModemSession& s, const std::vector<std::pair<std::string, std::string>>& commands);

// "OUT:"/"IN:" logged command and reply.
ModemReply ModemCommand(ModemSession& s, std::string_view command, uint32_t timeoutSeconds, std::string& reply);
bool ModemCommandOk(ModemSession& s, std::string_view command, uint32_t timeoutSeconds, std::string* reply = nullptr);
// The session start after OpenDevice: PIN, the standard sequence, receiving. On failure
// returns false with the failure text.
bool InitialiseModem(ModemSession& s, bool afterHardReset, std::string& failure);
bool ModemTest(ModemSession& s, bool full);
bool ModemHardReset(ModemSession& s);
bool ModemPowerUp(ModemSession& s);
bool ModemWaitForPowerUp(ModemSession& s);
// Sends one message; the outcome and, on failure, its "ERROR - ..." text.
SubmitResult SendModemMessage(ModemSession& s, const SmsMessageRecord& m, const SubmitRequest& r, bool sendCmms);
// 1 on success (also when the modem cannot be polled), 0 on failure.
int ModemReceiveMessages(ModemSession& s);
// The sink of messages the modem pushes ("+CMT:", "+CDS:") during any read.
PushedTaken StorePushedMessage(ModemSession& s, const PushedMessage& message);
// Ends the hold of status reports: each held one is stored (matched to its message when the
// reference is recorded by now, else as unknown) and, in acknowledge mode, acknowledged
// once stored.
void ReleaseHeldReports(ModemSession& s);
// The text of a text-mode message as it may go to the modem: no control bytes but CR and LF
// (a Ctrl-Z or ESC would end it early and run its rest as commands).
std::string TextModePayload(std::string_view text);
// Reads what is left on the line, up to reads times 1 s, until nothing more comes.
void ModemDrain(ModemSession& s, int reads, const char* label);
// Pauses ms unless the service stops.
void ModemPause(uint32_t ms);
