#include "smsc/modem/modem_driver.h"

#include <algorithm>
#include <memory>

#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "smsc/modem/modem_recovery.h"

namespace {

constexpr const char* kLabel = "ThreadProcessModem";
constexpr uint64_t kTestEveryMs = 180000;
constexpr uint32_t kIdleReadSeconds = 2;
constexpr uint32_t kMaxTestedFailures = 50;
constexpr time_t kGiveUpTestsAfterSeconds = 900;

constexpr int kAllocateSeconds = 300;

// Set once at start-up, before the workers.
ModemSharing g_sharing;

struct ModemDriverState {
  std::string name;
  uint32_t instance = 0;
  ModemSettings settings;
  ModemSession session;
  bool afterHardReset = false;  // the last session ended with a hard reset
  ModemEscalation escalation;
  void* sharedModem = nullptr;  // held from MMS retrieval for this session
  ~ModemDriverState() {
    if (sharedModem && g_sharing.release) g_sharing.release(sharedModem);
  }
};
using State = std::shared_ptr<ModemDriverState>;

bool Stopping() { return ShutdownRequested.load() != 0; }

bool LineUsable(const ModemSession& s) { return s.device.valid() && !s.device.failed && !s.error; }

// The session takes the modem from MMS retrieval first; false when it stays busy.
bool AllocateSharedModem(ModemDriverState& d) {
  // A further worker of the connection cannot open the line the first one holds anyway.
  if (!g_sharing.allocate || d.sharedModem || d.instance > 1) return true;
  // Read at each session start, so that a connection given UseDial later takes part.
  if (g_sharing.wanted && !g_sharing.wanted(d.name)) return true;
  WriteDebugLogf(kLabel, "Before ModemAllocate - %s", d.name.c_str());
  d.sharedModem = g_sharing.allocate(d.name, kAllocateSeconds);
  WriteDebugLogf(kLabel, "After ModemAllocate - %s - %s", d.name.c_str(), d.sharedModem ? "OK" : "Failed");
  return d.sharedModem != nullptr;
}

void ReleaseSharedModem(ModemDriverState& d) {
  if (!d.sharedModem) return;
  // Pauses let the modem settle between the two users (not while the service stops).
  if (!Stopping()) ModemPause(2000);
  WriteDebugLogf(kLabel, "Before ModemRelease - %s", d.name.c_str());
  g_sharing.release(d.sharedModem);
  d.sharedModem = nullptr;
  WriteDebugLogf(kLabel, "After ModemRelease - %s", d.name.c_str());
  if (!Stopping()) ModemPause(5000);
}

// MMS retrieval asks for the modem: the session ends once receiving has been quiet for
// MMSModeSwitchTimeout seconds.
bool EndSessionForMms(const ModemDriverState& d) {
  if (!d.sharedModem || !g_sharing.requested(d.sharedModem)) return false;
  if (NowSeconds() - LastModemReceiveTime(d.name) > time_t(MainNumber("MMSModeSwitchTimeout"))) {
    WriteDebugLog(kLabel, "Releasing modem for other activities");
    return true;
  }
  WriteDebugLog(kLabel, "Waiting for SMS receive activity to slow down before releasing modem for other activities");
  return false;
}

bool Connect(const State& d, const std::function<void(const std::string&)>& report) {
  d->settings = ReadModemSettings(d->name);
  ReEnableAfterReboot(d->name, d->settings);
  if (!AllocateSharedModem(*d)) {
    report("Modem Busy or Unavailable");
    return false;
  }
  WriteDebugLogf(kLabel, "Re-initializing modem:  %s ...", d->name.c_str());
  ModemSession& s = d->session;
  CloseModemDevice(s.device);
  std::string refusedPin = s.refusedPin;
  s = ModemSession();
  s.refusedPin = refusedPin;
  s.name = d->name;
  s.settings = d->settings;
  s.line.settings = ReadModemLineSettings(d->name);
  s.line.connection = d->name;
  s.line.phoneNumber = d->settings.phoneNumber;
  s.line.stopping = Stopping;
  // Readable only at the stop (left over from an earlier stop in tests: emptied first).
  ClearStaleShutdownWake();
  s.line.stopFd = ShutdownWakeFd();
  // The state outlives every read of its session.
  ModemDriverState* raw = d.get();
  s.line.pushed = [raw](const PushedMessage& m) { return StorePushedMessage(raw->session, m); };
  s.device = OpenDevice(d->name, s.line, d->settings.pin);
  std::string failure;
  if (!s.device.valid()) {
    failure = "Modem Failure -- Unable to access modem, ensure that it is powered on and passes diagnostic tests.";
  } else {
    SetModemReadTimeouts(s.line, s.device);
    if (!InitialiseModem(s, d->afterHardReset, failure)) CloseModemDevice(s.device);
  }
  d->afterHardReset = false;
  if (!failure.empty()) {
    ReleaseSharedModem(*d);
    report(failure);
    EscalateAfterFailedStart(d->name, d->settings, d->escalation);
    return false;
  }
  d->escalation = ModemEscalation();
  return true;
}

void PollIfDue(ModemSession& s) {
  if (!s.receiving || !LineUsable(s)) return;
  uint64_t now = TickMs();
  if (s.lastPollTick != 0 && now - s.lastPollTick < uint64_t(s.settings.receivePollSeconds) * 1000) return;
  s.lastPollTick = now;
  if (ModemReceiveMessages(s) == 0) {
    ++s.sendFailures;
    s.error = true;
  }
  s.lastPollTick = TickMs();
}

uint32_t ServeEveryMs(const ModemSession& s) {
  uint64_t every = kTestEveryMs;
  if (s.receiving && s.settings.receivePollSeconds != 0) {
    every = std::min<uint64_t>(every, uint64_t(s.settings.receivePollSeconds) * 1000);
  }
  return uint32_t(every);
}

// The health check after a failed message.
int CheckAfterFailure(ModemSession& s) {
  if (!s.device.valid() || s.device.failed) {
    s.error = true;
    return 1;
  }
  if (!s.lastFailureWasModem || s.sendFailures > kMaxTestedFailures) return s.error ? 1 : 0;
  ModemDrain(s, 5, kLabel);
  if (!ModemTest(s, s.fullTest)) {
    WriteDebugLog(kLabel, "modem test failed");
    s.error = true;
    return 1;
  }
  if (s.sendFailures > 5 && NowSeconds() - s.lastSuccess > kGiveUpTestsAfterSeconds) s.sendFailures = kMaxTestedFailures + 1;
  return 0;
}

// Between passes and during pauses: polls, the periodic test, the end-of-pass check and
// the idle read that catches pushed messages.
int Serve(ModemSession& s, int waitMs) {
  if (!LineUsable(s)) return 1;
  PollIfDue(s);
  if (LineUsable(s) && TickMs() - s.lastTestTick >= kTestEveryMs && !ModemTest(s, s.fullTest)) s.error = true;
  if (!LineUsable(s)) return 1;
  std::string reply;
  ModemReadRequest idle;
  if (waitMs <= 5) {
    if (!ModemCommandOk(s, "ATE0V1\r", 5) && !ModemTest(s, false)) {
      WriteDebugLog(kLabel, "Modem Test Failed");
      s.error = true;
      return 1;
    }
    idle.timeoutSeconds = kIdleReadSeconds;
  } else {
    idle.timeoutSeconds = uint32_t((waitMs + 999) / 1000);
  }
  ReceiveModemCommand(s.device, reply, idle, s.line);
  return LineUsable(s) ? 0 : 1;
}

void Apply(const State& d, QueueWorker& w) {
  w.settings.keepAliveSeconds = 0;  // the modem's own test runs in Serve
  w.settings.senderAddressList.clear();
  w.settings.validity = d->settings.validity;
  w.settings.disableDeliveryReceipt = d->settings.disableDeliveryReceipt;
  w.settings.combineSegments = false;
}

void Open(const State& d, QueueWorker& w, QueueTransport& t) {
  ModemDriverState* raw = d.get();
  QueueWorker* worker = &w;
  Apply(d, w);
  t.submit = [raw, worker](const SmsMessageRecord& m, const SubmitRequest& r) {
    ModemSession& s = raw->session;
    if (!LineUsable(s)) {
      SubmitResult lost;
      lost.outcome = SubmitOutcome::LinkLost;
      lost.errorText = "ERROR - Error communication with modem (1)";
      return lost;
    }
    // "AT+CMMS=2" keeps the radio link open between the messages of a directory until
    // one of them went.
    SubmitResult result = SendModemMessage(s, m, r, worker->sentInDirectory == 0);
    PollIfDue(s);
    return result;
  };
  t.enquireLink = [raw] { return CheckAfterFailure(raw->session); };
  t.yield = [raw](int waitMs) { return EndSessionForMms(*raw) ? 1 : Serve(raw->session, waitMs); };
  t.linkUp = [raw] { return LineUsable(raw->session); };
  // Idle, the worker waits on the line and serves it when something comes, or when a
  // receive poll or the periodic test is due.
  t.waitFd = [raw] { return raw->session.device.fd.get(); };
  t.serveEveryMs = ServeEveryMs(raw->session);
}

bool Reload(const State& d) {
  ModemSettings now = ReadModemSettings(d->name);
  if (ModemSettingsChanged(d->settings, now)) return true;
  return false;
}

void Close(const State& d) {
  ModemSession& s = d->session;
  if (s.error && d->settings.hardResetAfterError && s.device.valid() && !s.device.failed) {
    d->afterHardReset = ModemHardReset(s);
  }
  CloseModemDevice(s.device);
  // The modem restarts after a hard reset: the next session waits for it.
  if (d->afterHardReset) ModemPause(15000);
  ReleaseSharedModem(*d);
}

}  // namespace

SmscDriver MakeModemDriver(const std::string& connection, uint32_t instance) {
  State d = std::make_shared<ModemDriverState>();
  d->name = connection;
  d->instance = instance;
  d->settings = ReadModemSettings(connection);
  SmscDriver driver;
  driver.connect = [d](const std::function<void(const std::string&)>& report) { return Connect(d, report); };
  driver.open = [d](QueueWorker& w, QueueTransport& t) { Open(d, w, t); };
  driver.reload = [d] { return Reload(d); };
  driver.apply = [d](QueueWorker& w) { Apply(d, w); };
  driver.receiveOnly = [] { return false; };
  driver.close = [d](QueueWorker&, bool) { Close(d); };
  return driver;
}

void SetModemSharing(const ModemSharing& sharing) { g_sharing = sharing; }

void InstallModemDriver(ModemReceiveHandler receive) {
  SetModemReceiveHandler(receive);
  RegisterSmscDriver(ConnectionKind::Modem, MakeModemDriver);
}
