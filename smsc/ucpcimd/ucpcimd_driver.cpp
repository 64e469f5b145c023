#include "smsc/ucpcimd/ucpcimd_driver.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

#include "config/settings_registry.h"
#include "gsm/code_pages.h"
#include "outside/outside_tables.h"
#include "outside/qarbolt/qarbolt.h"
#include "outside/qarkite/qarkite.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "smsc/smsc_socket.h"
#include "smsc/ucpcimd/inbound_listener.h"
#include "smsc/ucpcimd/ucpcimd_settings.h"

namespace {

// An idle pass waits this long on the socket for received traffic before it looks at the
// queue again: the shortest waits of the pass would make it a busy poll, and each pass
// lists the queue (at 50 ms the passes of an idle link cost 0.25 CPU s a minute).

std::atomic<CentreReceiveHandler> g_receive{nullptr};

const char* Text(const char* s) { return s ? s : ""; }

bool Hand(const char* label, const CentreMessage& m) {
  CentreReceiveHandler receive = g_receive.load();
  return receive && receive(label, m);
}

// The libraries' callbacks: 1 stored (the centre gets its positive answer), 0 not stored
// (a negative answer, so that the centre delivers it again).
int UCPReceiveMessageCallback(const char* connectionName, const char* sender, const char* recipient,
                              const char* udhHex, const char* data, int pid, int dcs, int flags, int binary,
                              const char* receiptMessageId, const char* extraParams) {
  CentreMessage m{Text(connectionName), Text(sender), Text(recipient), Text(udhHex), Text(data), pid, dcs, flags,
                  binary, Text(receiptMessageId), Text(extraParams), false};
  return Hand("UCPReceiveMessageCallback", m) ? 1 : 0;
}

int CIMDReceiveMessageCallbackEx(const char* connectionName, const char* sender, const char* recipient,
                                 const char* udhHex, const char* data, int pid, int dcs, int flags, int binary,
                                 const char* receiptMessageId, const char* extraParams) {
  CentreMessage m{Text(connectionName), Text(sender), Text(recipient), Text(udhHex), Text(data), pid, dcs, flags,
                  binary, Text(receiptMessageId), Text(extraParams), false};
  return Hand("CIMDReceiveMessageCallbackEx", m) ? 1 : 0;
}

int CIMDReceiveMessageCallback(const char* connectionName, const char* sender, const char* recipient,
                               const char* udhHex, const char* data, int pid, int dcs, int binary) {
  CentreMessage m{Text(connectionName), Text(sender), Text(recipient), Text(udhHex), Text(data), pid, dcs, 0,
                  binary, "", "", true};
  return Hand("CIMDReceiveMessageCallback", m) ? 1 : 0;
}

struct DriverState {
  const LinkCalls* calls = nullptr;
  std::string name, host;
  uint16_t port = 0;
  UcpCimdSettings settings;
  UniqueFd sock;
  LinkExports exports;
  // Sent and awaiting its answer (a window of one): the next file is prepared meanwhile.
  std::optional<PreparedSubmission> outstanding;
  // The one decided last, kept until the next submit has left: closing a deleted file frees
  // its blocks (on a file system with online discard, a synchronous discard).
  std::optional<PreparedSubmission> decided;
  FileOutcome lastOutcome = FileOutcome::PassedOver;  // of the last submission recorded
  // Declared last: it ends (its threads with it) before the rest goes.
  std::optional<InboundListener> listener;
};
using State = std::shared_ptr<DriverState>;

void ParseAddress(const std::string& name, size_t prefixLength, std::string& host, uint16_t& port) {
  std::string address = name.substr(std::min(prefixLength, name.size()));
  if (!SplitHostPort(address, host, port) || host.empty() || port == 0) {
    host = address;
    port = 0;
  }
}

bool Connect(DriverState& d, const std::function<void(const std::string&)>& report) {
  const LinkCalls& c = *d.calls;
  if (!c.loaded()) {
    report(StrPrintf("%s Failure -- Support DLL %s did not initialize", c.kind, c.library));
    return false;
  }
  if (d.port == 0) {
    report(StrPrintf("%s Failure -- Unable to connect to %s server at %s:%u", c.kind, c.kind, d.host.c_str(), 0u));
    return false;
  }
  const UcpCimdSettings& s = d.settings;
  // Each address family of the host in turn until one connects; the last failure is told.
  std::string failure;
  for (int family : FamiliesOf(d.host)) {
    d.sock.reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!d.sock) {
      failure = StrPrintf("%s Failure -- General Socket Error", c.kind);
      continue;
    }
    if (!s.bindIP.empty() || s.localPort != 0) {
      if (!BindLocal(d.sock.get(), family, s.bindIP, s.localPort)) {
        failure = StrPrintf("%s Failure -- Unable to bind to local %s port %u", c.kind, c.kind, unsigned(s.localPort));
        d.sock.reset();
        continue;
      }
      if (s.localPort != 0) {
        WriteDebugLogf(d.name.c_str(), "Debug:  %s local port bound to %u", c.kind, unsigned(s.localPort));
      }
    }
    if (c.connect(d.sock.get(), d.name.c_str(), d.host.c_str(), d.port) != 0) {
      failure = StrPrintf("%s Failure -- Unable to connect to %s server at %s:%u", c.kind, c.kind, d.host.c_str(),
                          unsigned(d.port));
      c.endSession(d.sock.get());
      d.sock.reset();
      continue;
    }
    failure.clear();
    break;
  }
  if (!failure.empty()) {
    report(failure);
    return false;
  }
  int status = c.bind(d.sock.get(), d.name.c_str(), s.userName.c_str(), s.password.c_str());
  if (status != 0) {
    std::string text = c.errorText(status);
    c.endSession(d.sock.get());
    d.sock.reset();
    report(StrPrintf("%s Failure -- Unable to login to %s server with specified parameters:  %s", c.kind, c.kind,
                     text.c_str()));
    return false;
  }
  d.exports = c.exports();
  WriteDebugLogf(d.name.c_str(), "%s connection OK", c.kind);
  return true;
}

void Apply(DriverState& d, QueueWorker& w) {
  const UcpCimdSettings& s = d.settings;
  w.settings.keepAliveSeconds = s.keepAliveSeconds;
  w.settings.senderAddressList = s.senderAddressList;
  w.settings.senderAddressOverride = s.senderAddressOverride;
  w.settings.disableDeliveryReceipt = s.disableDeliveryReceipt;
  w.settings.validity.clear();
  w.settings.combineSegments = false;
}

SubmitResult ResultOf(DriverState& d, int status) {
  const LinkCalls& c = *d.calls;
  SubmitResult result;
  result.status = status;
  if (status == 0) {
    result.smscMessageId = c.lastMessageId(d.exports, d.sock.get(), d.name.c_str());
    return result;
  }
  result.errorText = c.errorText(status);
  result.outcome = UcpCimdOutcome(status, ConnectionOrMainValue(ConnectionSectionName(d.name), c.rejectKey));
  return result;
}

// Calls a library's submit or send with the message as the libraries take it: the sender,
// recipient and fields, UTF-8 text (queue files hold their own code page) and the extra text.
template <typename Call>
int CallWithMessage(const SmsMessageRecord& m, const SubmitRequest& r, Call&& call) {
  std::string data = m.Data;
  if (!m.Binary) QueueTextToUtf8(data);
  std::string extra = UcpCimdExtraParams(m, r.gatewayMessageId);
  return call(r.sender.c_str(), r.recipient.c_str(), m.Pid, m.Dcs, m.UDH.c_str(), data.c_str(), int(m.MessageFlags),
              m.Binary ? 1 : 0, extra.c_str());
}

SubmitResult Submit(DriverState& d, const SmsMessageRecord& m, const SubmitRequest& r) {
  int status = CallWithMessage(m, r, [&](auto... args) { return d.calls->submit(d.sock.get(), d.name.c_str(), args...); });
  return ResultOf(d, status);
}

// As the stop-and-wait pass records an answer: a failure puts the link in doubt, so that
// the probe asks the centre before the next file (a doubt from elsewhere stays).
void Record(DriverState& d, QueueWorker& w, PreparedSubmission& p, const SubmitResult& result) {
  if (result.outcome == SubmitOutcome::Done) {
    w.lastActivityTick = TickMs();
  } else {
    w.linkError = true;
  }
  d.lastOutcome = FinishSubmission(w, p, result);
}

// Waits for the outstanding submission's answer and records it: its file is deleted or kept
// for a retry before anything else is sent. probe: a failure is followed by the link check
// (false at the session's end).
void Complete(DriverState& d, QueueWorker& w, QueueTransport* probe) {
  if (!d.outstanding) return;
  d.decided = std::move(d.outstanding);
  d.outstanding.reset();
  Record(d, w, *d.decided, ResultOf(d, d.calls->wait(d.exports, d.sock.get(), d.name.c_str())));
  if (probe && w.linkError) ProbeLink(w, *probe, false);
}

// Completes the outstanding one and lets its file go at once.
void CompleteNow(DriverState& d, QueueWorker& w, QueueTransport* probe) {
  Complete(d, w, probe);
  d.decided.reset();
}

// The window of one: the file prepared while the previous answer was awaited goes once that
// answer has decided the previous file.
void SubmitAsync(DriverState& d, QueueWorker& w, QueueTransport& t, PreparedSubmission&& p) {
  Complete(d, w, &t);
  if (!w.linkError) PaceSubmission(w, t);
  if (w.linkError || ShutdownRequested.load()) {
    d.decided.reset();
    ReturnSubmission(w, p);
    d.lastOutcome = FileOutcome::PassedOver;
    return;
  }
  int status = CallWithMessage(p.toSend, p.request, [&](auto... args) {
    return d.calls->send(d.exports, d.sock.get(), d.name.c_str(), args...);
  });
  w.lastSubmitTick = TickMs();
  d.decided.reset();
  if (status != 0) {
    Record(d, w, p, ResultOf(d, status));
    return;
  }
  p.keepLastReference = true;
  d.outstanding = std::move(p);
}

void Open(const State& d, QueueWorker& w, QueueTransport& t) {
  const LinkCalls& c = *d->calls;
  int sock = d->sock.get();
  const char* name = d->name.c_str();
  t = QueueTransport();
  t.submit = [d](const SmsMessageRecord& m, const SubmitRequest& r) { return Submit(*d, m, r); };
  if (d->exports.split()) {
    QueueWorker* worker = &w;
    QueueTransport* transport = &t;
    t.submitAsync = [d, worker, transport](PreparedSubmission&& p) {
      SubmitAsync(*d, *worker, *transport, std::move(p));
    };
    t.inFlight = [d](const std::string& directoryName, const std::string& fileName) {
      return d->outstanding && d->outstanding->fileName == fileName && d->outstanding->directoryName == directoryName;
    };
    // The worker's idle wait follows a pass: nothing stays outstanding through it.
    t.passEnd = [d, worker, transport] { CompleteNow(*d, *worker, transport); };
    t.settle = [d, worker, transport] {
      CompleteNow(*d, *worker, transport);
      return d->lastOutcome;
    };
  }
  t.enquireLink = [&c, sock, name] { return c.enquireLink(sock, name); };
  t.yield = [&c, sock, name](int waitMs) { return c.yield(sock, name, waitMs); };
  t.linkUp = [&c, sock, name] { return c.linkUp(sock, name); };
  t.waitFd = [sock] { return sock; };
  Apply(*d, w);
}

// The change check: true when the settings need a new session (those in use stay).
bool Reload(DriverState& d) {
  UcpCimdSettings now = ReadUcpCimdSettings(d.name);
  if (UcpCimdSettingsNeedReconnect(d.settings, now)) return true;
  d.settings = now;
  return false;
}
bool CheckReloadUcpSet(DriverState& d) { return Reload(d); }
bool CheckReloadCimdSet(DriverState& d) { return Reload(d); }

void Close(DriverState& d, QueueWorker& w) {
  // The session's end decides the outstanding file too: answered, or kept for a retry.
  CompleteNow(d, w, nullptr);
  if (!d.sock) return;
  // No logout in these protocols: the library lets the session go, then the socket closes.
  d.calls->endSession(d.sock.get());
  CloseSession(d.sock);
}

SmscDriver MakeDriver(const LinkCalls& calls, size_t prefixLength, bool (*reload)(DriverState&),
                      const std::string& connection, uint32_t instance) {
  State d = std::make_shared<DriverState>();
  d->calls = &calls;
  d->name = connection;
  ParseAddress(connection, prefixLength, d->host, d->port);
  d->settings = ReadUcpCimdSettings(connection);
  // One listener per connection: the first instance's (the port can be bound once).
  if (calls.loaded() && d->settings.receive && d->settings.receivePort != 0 && instance <= 1) {
    d->listener.emplace(calls, connection, d->settings.bindIP, d->settings.receivePort);
  }
  SmscDriver driver;
  driver.connect = [d](const std::function<void(const std::string&)>& report) { return Connect(*d, report); };
  driver.open = [d](QueueWorker& w, QueueTransport& t) { Open(d, w, t); };
  driver.reload = [d, reload] { return reload(*d); };
  driver.apply = [d](QueueWorker& w) { Apply(*d, w); };
  driver.receiveOnly = [] { return false; };
  driver.close = [d](QueueWorker& w, bool) { Close(*d, w); };
  return driver;
}

void TraceToDebugLog(const char* label, const char* text) { WriteDebugLog(Text(label), Text(text)); }

}  // namespace

SmscDriver MakeUcpDriver(const std::string& connection, uint32_t instance) {
  return MakeDriver(UcpCalls(), 6, CheckReloadUcpSet, connection, instance);  // "UCP - "
}

SmscDriver MakeCimdDriver(const std::string& connection, uint32_t instance) {
  return MakeDriver(CimdCalls(), 7, CheckReloadCimdSet, connection, instance);  // "CIMD - "
}

void InstallUcpCimdDrivers(CentreReceiveHandler receive) {
  g_receive = receive;
  RegisterSmscDriver(ConnectionKind::Ucp, MakeUcpDriver);
  RegisterSmscDriver(ConnectionKind::Cimd, MakeCimdDriver);
  const LoadedLibrary& kite = OutsideLibraries.kite;
  if (kite.Loaded()) {
    if (auto log = reinterpret_cast<UCPSetDebugLogFunctionFn>(KiteExport("UCPSetDebugLogFunction"))) {
      log(TraceToDebugLog);
    }
    kite.Call<UCPSetReceiveMessageCallbackFnType>(kite::UCPSetReceiveMessageCallback)(UCPReceiveMessageCallback);
  }
  const LoadedLibrary& bolt = OutsideLibraries.bolt;
  if (bolt.Loaded()) {
    if (auto log = reinterpret_cast<CIMDSetDebugLogFunctionFn>(BoltExport("CIMDSetDebugLogFunction"))) {
      log(TraceToDebugLog);
    }
    // Both: the library calls the newer one when it has it, never both.
    bolt.Call<CIMDSetReceiveMessageCallbackFnType>(bolt::CIMDSetReceiveMessageCallback)(CIMDReceiveMessageCallback);
    if (auto ex = bolt.Call<CIMDSetReceiveMessageCallbackExFnType>(bolt::CIMDSetReceiveMessageCallbackEx)) {
      ex(CIMDReceiveMessageCallbackEx);
    }
  }
}
