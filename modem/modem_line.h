// The modem line: opening a serial, telephony-named or IP modem, writing AT commands in
// pieces, and reading replies while catching the messages a modem pushes ("+CMT:", "+CDS:").
// No gateway thread or queue: settings, the stop test and the sink of pushed messages are
// the caller's, so the console's modem test links it as the gateway does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/unique_fd.h"

// Settings of one connection's line, read by the caller (ReadModemLineSettings reads them
// from the configuration).
struct ModemLineSettings {
  uint32_t ModemSendDelay = 0;         // milliseconds before every command write
  uint32_t ModemMaxBytesPerSend = 16;  // largest write to a serial modem; 0 means 16
  uint32_t IPModemMaxBytes = 1;        // largest write to an IP modem; 0 means 1
  bool OldModemHandler = false;        // every read uses the simple reader
  bool Debug = false;                  // hex dumps of telnet traffic
  bool Debug2 = false;                 // "Returning %u bytes:  %s" lines
  bool OldPollingLogic = false;
  uint32_t MinimumReadDelay = 0;       // milliseconds; 0: unset
  std::string Username;                // IP modems: login, when set
  std::string Password;
  // "IPModemInitWaitFor%u" and "IPModemInitSend%u" from 1 up to the first missing wait;
  // second is "" when no send is configured for that step.
  std::vector<std::pair<std::string, std::string>> IPModemInit;
};

// [QARHUB] and the connection's section ("Modem - COM3:" for the connection "COM3:").
ModemLineSettings ReadModemLineSettings(std::string_view connection);

enum class ModemTransport : uint8_t { None, Serial, Socket };

enum class ModemOpenFailure : uint8_t {
  None,
  Busy,        // held by another application
  NotFound,    // no such device, or no serial device for a telephony modem name
  Failed,      // open, set-up, connect or login failed
  NoSpeed,     // the modem answered at no speed
};

// One open modem stream: a tty held with flock and TIOCEXCL, or a TCP socket. Closing
// (destructor or CloseModemDevice) drops TIOCEXCL before the descriptor, since the far
// end of a pty may stay open for the next client.
struct ModemDevice {
  UniqueFd fd;
  ModemTransport transport = ModemTransport::None;
  bool locked = false;   // flock(LOCK_EX) and TIOCEXCL held
  std::string path;      // device path, or "host:port"
  ModemOpenFailure failure = ModemOpenFailure::None;  // why an open returned no device
  uint32_t readIntervalMs = 200;  // gap that ends one read once bytes arrived
  bool failed = false;   // EOF, hang-up or EIO seen: the session must end
  std::string telnetPending;  // a telnet command cut by a read, waiting for its rest

  ModemDevice() = default;
  ModemDevice(ModemDevice&& o) noexcept;
  ModemDevice& operator=(ModemDevice&& o) noexcept;
  ModemDevice(const ModemDevice&) = delete;
  ModemDevice& operator=(const ModemDevice&) = delete;
  ~ModemDevice();
  bool valid() const { return fd.valid(); }
};
void CloseModemDevice(ModemDevice& device);

// A pushed message caught in a reply. Pdu: the hex line of a "+CMT:" or "+CDS:" in PDU
// form (with its SMSC field), for DecodeModemPdu. TextCmt: a text-form "+CMT:".
enum class PushedKind : uint8_t { Pdu, TextCmt };
struct PushedMessage {
  PushedKind kind = PushedKind::Pdu;
  bool statusReport = false;  // "+CDS:"
  std::string pdu;
  std::string sender;         // text form: at most 49 characters
  std::string text;           // text form: at most 499 characters
};
// What the sink did with a pushed message. Stored (or nothing was to be stored): only then
// is it acknowledged with AT+CNMA in acknowledge mode; NotStored: left to the network. Held:
// the caller keeps it for later and acknowledges it itself once stored.
enum class PushedTaken : uint8_t { Stored, NotStored, Held };
using PushedMessageSink = std::function<PushedTaken(const PushedMessage&)>;

// What every read and write of one connection needs.
struct ModemLine {
  ModemLineSettings settings;
  std::string connection;     // for the logs
  std::string phoneNumber;    // the modem's own number: recipient of what arrives
  bool acknowledgeMode = false;  // AT+CSMS=1 accepted: pushed messages need AT+CNMA
  std::function<bool()> stopping;  // unset: never
  // Readable once stopping turns true: waits poll it instead of looking at stopping every
  // second. -1: none.
  int stopFd = -1;
  PushedMessageSink pushed;        // unset: pushed messages are dropped (and acknowledged)
  // The hard reset of a modem that answers at no speed (used by HammerNonResponsiveModem);
  // true when a reset was made.
  std::function<bool(ModemDevice&)> hardReset;
  time_t lastReceived = 0;         // when bytes last arrived
};

// "IPModem - host:port" TCP; "COMn:" /dev/ttyS(n-1); "/dev/..." as it is; any other name a
// telephony modem looked up with FindModemPort. pin is unused on this platform (the
// session sends it). An invalid device on failure (its failure says why).
ModemDevice OpenDevice(std::string_view name, ModemLine& line, std::string_view pin = {});
// The read timing of a working session (after the probing ones of the open).
void SetModemReadTimeouts(const ModemLine& line, ModemDevice& device);
// 1 when the modem answered "OK" at that speed.
int TestModemSpeed(ModemDevice& device, uint32_t bitsPerSecond, ModemLine& line);
// Last resort for a modem that answers at no usual speed; 1 when some speed worked.
int HammerNonResponsiveModem(std::string_view portName, ModemLine& line);
// Drops (on false) or raises DTR of a serial line; a pty's refusal counts as done. False
// only when a real line refused.
bool SetModemDtr(ModemDevice& device, bool on);
// 1 when every byte was written.
int SendModemCommand(ModemDevice& device, std::string_view text, ModemLine& line);

struct ModemReadRequest {
  size_t capacity = 8192;          // a full buffer ends the read
  bool waitForPrompt = false;      // a ">" ends the read
  bool* acknowledgePending = nullptr;  // given: set instead of sending AT+CNMA
  std::string_view expected;       // "" : any "OK" ends the read
  uint32_t timeoutSeconds = 5;
  bool extraCr = false;            // read in 1 s steps, sending CR after each
  bool* newMessage = nullptr;      // set on "+CMTI:" or "+CDSI:"
};
// Bytes in reply (cleared first), 0 on a read error (device.failed on EOF/hang-up).
size_t ReceiveModemCommand(ModemDevice& device, std::string& reply, const ModemReadRequest& request, ModemLine& line);
// Answers telnet commands on the way; reply's size when one of the "+++"-separated prompts
// was seen, else 0.
size_t ReceiveModemCommandWaitForPrompt(ModemDevice& device, std::string& reply, std::string_view prompts,
                                        uint32_t timeoutSeconds, ModemLine& line, size_t capacity = 2048);
// Bytes discarded.
size_t FlushInput(ModemDevice& device);
// Hands complete pushed messages in buffer to line.pushed and removes them; 0 when an
// incomplete one is still waiting for its rest (left in place), else 1.
int FilterCMTandCDS(ModemDevice& device, std::string& buffer, bool* acknowledgePending, ModemLine& line);
// The serial device of a telephony modem name under byIdDir, "" when none.
std::string FindModemPort(std::string_view modemName, const std::string& byIdDir = "/dev/serial/by-id/");
// No telephony service here: nothing to create.
bool InitTAPIGlobal();
bool InitTAPIThread();
