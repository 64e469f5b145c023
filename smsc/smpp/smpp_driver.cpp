#include "smsc/smpp/smpp_driver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "config/settings_registry.h"
#include "outside/outside_tables.h"
#include "outside/seal_table.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_registry.h"
#include "smsc/smpp/async_submit.h"
#include "smsc/smpp/smpp_link.h"
#include "smsc/smpp/smpp_receive.h"
#include "smsc/smpp/smpp_settings.h"

namespace {

std::atomic<SmppReceiveHandler> g_receive{nullptr};

bool Stopping() { return ShutdownRequested.load() != 0; }

// The library's receive callback.
int SMPPReceiveMessageCallback(const char* connectionName, const SMPPReceivedMessage* message) {
  SmppReceiveHandler receive = g_receive.load();
  return receive && receive(connectionName, message) ? 0 : kSmppStatusTryLater;
}

// One session, from the login to the close.
struct SmppSession {
  UniqueFd sock;
  TlsSession tls;
  SMPPSubmitAsyncQ asyncQ;
  bool async = false;  // WindowSize > 0: submits go out without waiting, up to the window
};

struct SmppDriverState {
  std::string name;
  uint32_t instance = 0;
  std::string host;
  uint16_t port = 0;
  SmppConnectionSettings settings;
  ReceiveThreads receivers;
  std::function<void()> asyncReceiveOff;
  std::unique_ptr<SmppSession> session;
  // Asynchronous receiving is switched off (the remaining messages served) before the
  // receive threads are stopped.
  ~SmppDriverState() {
    if (asyncReceiveOff) asyncReceiveOff();
  }
};
using State = std::shared_ptr<SmppDriverState>;

bool Connect(SmppDriverState& d, const std::function<void(const std::string&)>& report) {
  if (d.port == 0 && d.settings.senderRemotePort == 0) {
    report(StrPrintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u", d.host.c_str(), 0u));
    return false;
  }
  LinkRole role;
  role.localPort = d.settings.senderLocalPort;
  role.remotePort = d.settings.senderRemotePort;
  role.bindType = d.settings.receiveOnly                ? SMPP_BIND_RECEIVER
                  : d.settings.receiveSingleConnection ? SMPP_BIND_TRANSCEIVER
                                                       : SMPP_BIND_TRANSMITTER;
  auto session = std::make_unique<SmppSession>();
  if (!OpenSmppLink(d.name, d.settings, d.host, d.port, role, report, session->sock, session->tls)) return false;
  WriteDebugLog(d.name, "SMPP connection OK");
  int sock = session->sock.get();
  int rcv = 32768;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
  if (MainFlag("SMPPNoDelay")) {
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  } else {
    int snd = 16384;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
  }
  d.session = std::move(session);
  return true;
}

// The settings that take effect in place, the window and response timeout among them.
void Apply(SmppDriverState& d, QueueWorker& w) {
  const SmppConnectionSettings& settings = d.settings;
  w.settings.keepAliveSeconds = settings.keepAliveSeconds;
  w.settings.senderAddressList = settings.senderAddressList;
  w.settings.senderAddressOverride = settings.senderAddressOverride;
  w.settings.validity = settings.validity;
  w.settings.disableDeliveryReceipt = settings.disableDeliveryReceipt;
  w.settings.throttleErrorDelaySeconds = settings.throttleErrorDelaySeconds;
  w.settings.restartQAfterThrottleError = settings.restartQAfterThrottleError;
  w.settings.combineSegments = settings.wdpAdaptation && !settings.useTLV;
  if (!d.session || !d.session->async) return;
  SMPPSubmitAsyncQ& q = d.session->asyncQ;
  uint32_t timeout = std::max<uint32_t>(1, settings.commandTimeoutSeconds);
  bool changed;
  {
    std::lock_guard guard(q.lock);
    changed = q.windowSize != settings.windowSize || q.commandTimeoutSeconds != timeout;
    q.windowSize = settings.windowSize;
    q.commandTimeoutSeconds = timeout;
    q.throttleForQFull = settings.throttleForQFull;
  }
  if (changed) {
    q.responseEvent.notify_all();  // a wider window lets a waiting submit go
    WriteDebugLogf(d.name.c_str(), "SMPP window size %u, command timeout %u seconds", settings.windowSize, timeout);
  }
}

void Open(SmppDriverState& d, QueueWorker& w, QueueTransport& t) {
  SmppSession& s = *d.session;
  t = SmppTransport(s.sock.get(), s.tls.session, d.name, &d.settings);
  // A combined long message (WDPAdaptation without UseTLV) always goes the synchronous way.
  s.async = SmppUsesWindow(d.settings) && !d.settings.receiveOnly &&
            SmppAsyncLink(s.sock.get(), s.tls.session, d.name, d.settings.version, s.asyncQ.link);
  Apply(d, w);
  if (!s.async) return;
  AttachAsyncSubmission(w, t, s.asyncQ);
  // Helpers record the outcomes so that the worker keeps submitting; only the worker reads
  // the socket. A mistyped count does not start thousands of threads.
  if (MainFlag("SmppSubmitAsyncHelperThread")) {
    uint32_t count = std::clamp<uint32_t>(MainNumber("AsyncCallbackThreads"), 1, 64);
    StartSmppSubmitAsyncHelpers(w, s.asyncQ, count);
  }
}

bool Reload(SmppDriverState& d) {
  SmppConnectionSettings now = ReadSmppSettings(d.name);
  if (SmppSettingsNeedReconnect(d.settings, now)) return true;
  d.settings = now;
  return false;
}

void Close(SmppDriverState& d, QueueWorker& w, bool logout) {
  if (!d.session) return;
  SmppSession& s = *d.session;
  // The helpers hold w and the queue: they end first.
  StopSmppSubmitAsyncHelpers(w, s.asyncQ);
  if (s.async) {
    // Answers due on a live link are waited for; a stopping service waits less.
    uint64_t deadline = (uint64_t(s.asyncQ.commandTimeoutSeconds) + 5) * 1000;
    DrainSmppSubmitAsyncQ(w, s.asyncQ, Stopping() ? std::min<uint64_t>(deadline, 10000) : deadline);
  }
  ServeReceiveQueue(d.name);
  CloseSmppLink(d.name, d.settings.version, logout, s.sock, s.tls);
  d.session.reset();
}

// The receiver session and the asynchronous receive queue of the connection.
void StartReceiving(SmppDriverState& d) {
  const SmppConnectionSettings& settings = d.settings;
  if (settings.receive && !settings.receiveSingleConnection && !settings.receiveOnly &&
      std::max<uint32_t>(d.instance, 1) <= settings.receiverCount) {
    d.receivers.Start("ThreadProcessSMPPReceive " + d.name, d.name, ThreadProcessSMPPReceive);
  }
  if (!MainFlag("AsyncReceiveMessages") || settings.windowSize == 0) return;
  uint32_t count = std::max<uint32_t>(1, MainNumber("AsyncCallbackThreads"));
  for (uint32_t i = 0; i < count; ++i) {
    d.receivers.Start("ThreadProcessSMPPReceiveAsyncQ " + d.name, d.name, ThreadProcessSMPPReceiveAsyncQ);
  }
  d.receivers.WaitRunning();
  // Received messages now wait for those threads; answered once stored.
  if (auto setAsync = PeerExtra<SMPPSetAsyncReceiveFn>("SMPPSetAsyncReceive")) {
    setAsync(d.name.c_str(), 1);
    d.asyncReceiveOff = [setAsync, name = d.name] { setAsync(name.c_str(), 0); };
    WriteDebugLogf(d.name.c_str(), "Asynchronous receive queue on for %s", d.name.c_str());
  }
}

}  // namespace

SmscDriver MakeSmppDriver(const std::string& connection, uint32_t instance) {
  State d = std::make_shared<SmppDriverState>();
  d->name = connection;
  d->instance = instance;
  ParseSmppAddress(connection, d->host, d->port);
  d->settings = ReadSmppSettings(connection);
  StartReceiving(*d);
  SmscDriver driver;
  driver.connect = [d](const std::function<void(const std::string&)>& report) { return Connect(*d, report); };
  driver.open = [d](QueueWorker& w, QueueTransport& t) { Open(*d, w, t); };
  driver.reload = [d] { return Reload(*d); };
  driver.apply = [d](QueueWorker& w) { Apply(*d, w); };
  driver.receiveOnly = [d] { return d->settings.receiveOnly; };
  driver.close = [d](QueueWorker& w, bool logout) { Close(*d, w, logout); };
  return driver;
}

void InstallSmppDriver(SmppReceiveHandler receive) {
  g_receive = receive;
  RegisterSmscDriver(ConnectionKind::Smpp, MakeSmppDriver);
  if (!OutsideLibraries.peer.Loaded()) return;
  // Exports of our own library beyond the start-up table; a foreign one may lack them.
  if (auto log = PeerExtra<SMPPSetDebugLogFunctionFn>("SMPPSetDebugLogFunction")) {
    log([](const char* label, const char* text) { WriteDebugLog(label ? label : "SMPP", text ? text : ""); });
  }
  InstallAsyncCompletion(PeerExtra<SMPPSetAsyncCompletionFunctionFn>("SMPPSetAsyncCompletionFunction"));
  if (auto wake = PeerExtra<SMPPSetAsyncReceiveWakeFunctionFn>("SMPPSetAsyncReceiveWakeFunction")) {
    wake(WakeSmppReceiveAsync);
  }
  OutsideLibraries.peer.Call<SMPPSetReceiveMessageCallbackFnType>(peer::SMPPSetReceiveMessageCallback)(
      SMPPReceiveMessageCallback);
  if (auto tls = PeerExtra<SMPPSetTlsFunctionsFn>("SMPPSetTlsFunctions"); tls && SealCalls.Available) {
    tls(SealCalls.sslSend, SealCalls.sslRecv, SealCalls.sslDataPending);
  }
}
