#include "smsc/connection_worker.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "config/settings.h"
#include "config/settings_registry.h"
#include "gsm/code_pages.h"
#include "outside/outside_tables.h"
#include "outside/qarpeer/qarpeer.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/event_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"
#include "smsc/async_submit.h"
#include "smsc/connection_error_file.h"
#include "smsc/inbound_receive.h"
#include "smsc/queue_pass.h"
#include "smsc/route_decision.h"
#include "smsc/routing_tables.h"
#include "smsc/smpp_settings.h"
#include "store/message_logs.h"
#include "store/retry_schedule.h"
#include "web/seal_table.h"

namespace {

constexpr uint32_t kBackupPollMs = 2000;
constexpr int kDrainSeconds = 60;

bool Stopping() { return ShutdownRequested.load() != 0; }

// What a worker keeps across the rounds of one cycle.
struct WorkerState {
  uint32_t index = 0, instance = 0;
  std::string name;
  std::string backupTarget, backupTargetRoute;  // when this connection is a backup
  std::string backupRoute;                       // BackupForRoute as written
  uint32_t failures = 0;
  bool eventRaised = false;
  bool restart = false;
  uint32_t retryMaxAttempts = 20;
  uint32_t sendIntervalMs = 0;
};

std::string ConnectionNameFor(uint32_t index) {
  if (index == 0) return "SDKLINK - VirtualSMSC";
  return MainValue("Modem" + std::to_string(index));
}

void ReadPacing(WorkerState& s) {
  s.retryMaxAttempts = RetryMaxAttempts(s.name);
  s.sendIntervalMs = SendIntervalMs(ConnectionValue(ConnectionSectionName(s.name), "SMSCSendLimit"));
}

void ReportFailure(WorkerState& s, const std::string& text) {
  ++s.failures;
  LogOutbound("System", "", s.name, text, LogContent{}, "", "", "");
  WriteDebugLog(s.name, text);
  WriteConnectionErrorFile(s.name, text);
}

void ReportRecovery(WorkerState& s) {
  WriteConnectionErrorFile(s.name, "");
  if (s.eventRaised) {
    std::string text = StrPrintf("SMSC Interface '%s' successfully initiaized.  Error condition resolved.", s.name.c_str());
    WriteDebugLog(s.name, text);
    ReportEvent(EventKind::Information, text);
    s.eventRaised = false;
  }
  s.failures = 0;
}

// The backup test; sets restart when this backup is no longer needed.
void CheckBackup(WorkerState& s) {
  if (s.backupRoute.empty()) return;
  if (!BackupNeeded(OutboundRouting, s.backupTarget.empty() ? s.backupRoute : s.backupTarget)) s.restart = true;
}

// CheckReloadSmppSet.
void CheckReloadSmppSet(WorkerState& s, SmppConnectionSettings& inUse) {
  std::string current = ConnectionNameFor(s.index);
  if (current != s.name) {
    WriteDebugLogf("ThreadProcessModem", "Connection settings have changed for %s, init required for %s.",
                   s.name.c_str(), current.c_str());
    s.restart = true;
    return;
  }
  SmppConnectionSettings now = ReadSmppSettings(s.name);
  if (SmppSettingsNeedReconnect(inUse, now)) {
    WriteDebugLog(s.name, "Connection settings have changed, requiring a reconnection");
    s.restart = true;
    return;
  }
  inUse = now;  // everything else takes effect in place
}

// Waits for the reconnect time, checking for changes once a second.
void ReconnectWait(WorkerState& s, SmppConnectionSettings* smpp) {
  s.failures = std::max<uint32_t>(s.failures, 1);
  time_t until = ReconnectTime(s.failures, s.name);
  if (s.failures > 2 && !s.eventRaised) {
    std::string text = StrPrintf("Error initializing SMSC Interface '%s'.  Interface is not available.", s.name.c_str());
    WriteDebugLog(s.name, text);
    ReportEvent(EventKind::Error, text);
    s.eventRaised = true;
  }
  while (!Stopping() && !s.restart) {
    if (smpp) CheckReloadSmppSet(s, *smpp);
    CheckBackup(s);
    ReadPacing(s);
    if (NowSeconds() >= until || s.restart) break;
    SleepUnlessShutdown(1000, TickMs());
  }
}

int SocketFamilyFor(const std::string& host) {
  in6_addr a6{};
  return inet_pton(AF_INET6, host.c_str(), &a6) == 1 ? AF_INET6 : AF_INET;
}

bool BindLocal(int sock, int family, const std::string& bindIP, uint16_t port) {
  if (family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    if (!bindIP.empty() && inet_pton(AF_INET6, bindIP.c_str(), &a.sin6_addr) != 1) return false;
    return bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindIP.empty() && inet_pton(AF_INET, bindIP.c_str(), &a.sin_addr) != 1) return false;
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// Shut the sending side, read what the peer still sends (for at most a minute, less when
// stopping), close.
void CloseSession(UniqueFd& sock) {
  if (!sock) return;
  shutdown(sock.get(), SHUT_WR);
  uint64_t start = TickMs();
  char buffer[4096];
  while (TickMs() - start < uint64_t(kDrainSeconds) * 1000) {
    pollfd p{sock.get(), POLLIN, 0};
    if (poll(&p, 1, Stopping() ? 100 : 1000) <= 0) {
      if (Stopping()) break;
      continue;
    }
    if (recv(sock.get(), buffer, sizeof buffer, MSG_DONTWAIT) <= 0) break;
  }
  sock.reset();
}

const LoadedLibrary& Peer() { return OutsideLibraries.peer; }

// A TLS session of qarseal, freed once.
struct TlsSession {
  void* session = nullptr;
  void Free() {
    if (session && SealCalls.sslFreeSession) SealCalls.sslFreeSession(session);
    session = nullptr;
  }
  ~TlsSession() { Free(); }
};

// The library takes UTF-8 text, as queue files hold it.
std::string LibraryText(const SmsMessageRecord& m) {
  std::string data = m.Data;
  if (!m.Binary) QueueTextToUtf8(data);
  return data;
}

template <typename Fn>
Fn PeerExtra(const char* name) {
  return OutsideLibraries.peer.Loaded() ? reinterpret_cast<Fn>(dlsym(OutsideLibraries.peer.handle, name)) : nullptr;
}

// Received messages still queued for the connection are taken and answered while the
// session can still carry the answers.
void ServeReceiveQueue(const std::string& name) {
  Peer().Call<SMPPReceiveFromAsyncQFn>(peer::SMPPReceiveFromAsyncQ)(name.c_str());
}

// Before the socket closes and its TLS session is freed: no other thread (an asynchronous
// receive answer) may write on them afterwards.
void EndLibrarySession(int sock) {
  if (auto end = PeerExtra<SMPPEndSessionFn>("SMPPEndSession")) end(sock);
}

// The asynchronous submission calls of one session; false when the library lacks them.
bool SmppAsyncLink(int sock, void* tls, const std::string& name, int version, AsyncSubmitLink& link) {
  auto submit = PeerExtra<SMPPSubmitMessageAsyncFn>("SMPPSubmitMessageAsync");
  auto abandon = PeerExtra<SMPPAsyncAbandonFn>("SMPPAsyncAbandon");
  if (!submit || !abandon) return false;
  link.submit = [=](const SmsMessageRecord& m, const SubmitRequest& r, int timeoutMs, SMPPAsyncSubmit* record) {
    std::string data = LibraryText(m);
    return submit(sock, tls, name.c_str(), version, r.sender.c_str(), r.recipient.c_str(), m.Pid, m.Dcs,
                  m.UDH.c_str(), data.c_str(), int(m.MessageFlags), m.Binary ? 1 : 0, r.gatewayMessageId.c_str(),
                  r.extraParams.c_str(), timeoutMs, record);
  };
  link.yield = [=](int waitMs) {
    int linkError = 0;
    Peer().Call<SMPPYieldFn>(peer::SMPPYield)(sock, tls, name.c_str(), version, waitMs, &linkError);
    return linkError;
  };
  link.linkUp = [=] {
    return Peer().Call<SMPPCheckLinkStatusFn>(peer::SMPPCheckLinkStatus)(sock, tls, name.c_str()) != 0;
  };
  link.errorText = [](int status) { return Peer().Call<SMPPErrorTextFn>(peer::SMPPErrorText)(status); };
  link.abandon = [=] { abandon(sock); };
  return true;
}

QueueTransport SmppTransport(int sock, void* tls, const std::string& name, const SmppConnectionSettings& settings) {
  QueueTransport t;
  int version = settings.version;
  t.submit = [sock, tls, name, version](const SmsMessageRecord& m, const SubmitRequest& r) {
    SubmitResult result;
    std::string data = LibraryText(m);
    char id[66] = {};
    result.status = Peer().Call<SMPPSubmitMessageFn>(peer::SMPPSubmitMessage)(
        sock, tls, name.c_str(), version, r.sender.c_str(), r.recipient.c_str(), m.Pid, m.Dcs, m.UDH.c_str(),
        data.c_str(), int(m.MessageFlags), m.Binary ? 1 : 0, id, int(sizeof id), r.gatewayMessageId.c_str(),
        r.extraParams.c_str());
    result.smscMessageId = id;
    if (result.status != 0) result.errorText = Peer().Call<SMPPErrorTextFn>(peer::SMPPErrorText)(result.status);
    return result;
  };
  t.enquireLink = [sock, tls, name, version] {
    return Peer().Call<SMPPEnquireLinkFn>(peer::SMPPEnquireLink)(sock, tls, name.c_str(), version);
  };
  t.yield = [sock, tls, name, version](int waitMs) {
    int linkError = 0;
    Peer().Call<SMPPYieldFn>(peer::SMPPYield)(sock, tls, name.c_str(), version, waitMs, &linkError);
    return linkError;
  };
  t.linkUp = [sock, tls, name] {
    return Peer().Call<SMPPCheckLinkStatusFn>(peer::SMPPCheckLinkStatus)(sock, tls, name.c_str()) != 0;
  };
  return t;
}

// What differs between the sending session and the separate receiver session.
struct LinkRole {
  uint16_t localPort = 0, remotePort = 0;
  int bindType = SMPP_BIND_TRANSMITTER;
  const char* portText = "sender";
};

// Socket, connect, TLS and bind. False (reported through report) when the link is not up.
bool OpenSmppLink(const std::string& name, const SmppConnectionSettings& settings, const std::string& host,
                  uint16_t namePort, const LinkRole& role, const std::function<void(const std::string&)>& report,
                  UniqueFd& sock, TlsSession& tls) {
  if (!Peer().Loaded()) {
    report("SMPP Failure -- Support DLL QARPEER.DLL did not initialize");
    return false;
  }
  uint16_t port = role.remotePort != 0 ? role.remotePort : namePort;
  int family = SocketFamilyFor(host);
  sock.reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    report("SMPP Failure -- General Socket Error");
    return false;
  }
  if (!settings.bindIP.empty() || role.localPort != 0) {
    if (!BindLocal(sock.get(), family, settings.bindIP, role.localPort)) {
      report(StrPrintf("SMPP Failure -- Unable to bind to SMPP %s port %u", role.portText, role.localPort));
      return false;
    }
    if (role.localPort != 0) {
      WriteDebugLogf(name.c_str(), "Debug:  SMPP %s port bound to %u", role.portText, role.localPort);
    }
  }
  if (Peer().Call<SMPPConnectFn>(peer::SMPPConnect)(sock.get(), name.c_str(), host.c_str(), port) != 0) {
    report(StrPrintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u", host.c_str(), port));
    return false;
  }
  if (settings.useSSL) {
    // Without qarseal the link fails rather than carry the credentials in clear.
    char text[8192] = {};
    if (SealCalls.Available) tls.session = SealCalls.sslInitSession(sock.get(), host.c_str(), text, sizeof text, 30000);
    if (!tls.session) {
      report(StrPrintf("SMPP Failure -- Unable to negotiate SSL/TLS connection with SMPP server at %s:%u",
                       host.c_str(), port));
      WriteDebugLog(name, SealCalls.Available ? text : "SSL/TLS support (qarseal) not loaded");
      return false;
    }
    if (text[0]) WriteDebugLog(name, text);
  }
  int status = Peer().Call<SMPPBindFn>(peer::SMPPBind)(sock.get(), tls.session, name.c_str(), settings.version,
                                                       role.bindType, settings.userName.c_str(),
                                                       settings.password.c_str(), settings.systemType.c_str());
  if (status != 0) {
    // Anything the SMS centre sent before refusing stays unanswered.
    EndLibrarySession(sock.get());
    const char* text = Peer().Call<SMPPErrorTextFn>(peer::SMPPErrorText)(status);
    report(std::string("SMPP Failure -- Unable to login to SMPP server with specified parameters:  ") + text);
    return false;
  }
  return true;
}

// One SMPP session: connect, bind, passes, unbind. False when the round failed before the
// login (already reported).
bool SmppRound(WorkerState& s, SmppConnectionSettings& settings, const std::string& host, uint16_t namePort) {
  LinkRole role;
  role.localPort = settings.senderLocalPort;
  role.remotePort = settings.senderRemotePort;
  role.bindType = settings.receiveOnly                ? SMPP_BIND_RECEIVER
                  : settings.receiveSingleConnection ? SMPP_BIND_TRANSCEIVER
                                                     : SMPP_BIND_TRANSMITTER;
  UniqueFd sock;
  TlsSession tls;
  if (!OpenSmppLink(s.name, settings, host, namePort, role, [&](const std::string& text) { ReportFailure(s, text); },
                    sock, tls)) {
    return false;
  }
  WriteDebugLog(s.name, "SMPP connection OK");
  WriteDebugLog(s.name, s.name);
  ReportRecovery(s);
  int rcv = 32768;
  setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
  if (MainFlag("SMPPNoDelay")) {
    int on = 1;
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  } else {
    int snd = 16384;
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
  }

  QueueTransport transport = SmppTransport(sock.get(), tls.session, s.name, settings);
  QueueWorker w;
  w.connection = s.name;
  w.routingName = s.backupTarget.empty() ? s.name : s.backupTarget;
  w.names = RouteNamesFor(OutboundRouting, s.name);
  if (!s.backupTarget.empty()) {
    w.names.backupTarget = s.backupTarget;
    w.names.targetRouteName = s.backupTargetRoute;
  }
  w.lastActivityTick = TickMs();
  ConfigurationStamp configuration;  // none yet: the first check reads the settings again
  w.changeCheck = [&] {
    // The settings come from the configuration file alone: while it is unchanged there is
    // nothing to read again.
    if (ConfigurationChanged(configuration)) {
      CheckReloadSmppSet(s, settings);
      ReadPacing(s);
    }
    CheckBackup(s);
    w.restart = s.restart;
  };
  w.settings.kind = ProtocolKind::Smpp;
  auto apply = [&] {
    w.settings.keepAliveSeconds = settings.keepAliveSeconds;
    w.settings.senderAddressList = settings.senderAddressList;
    w.settings.senderAddressOverride = settings.senderAddressOverride;
    w.settings.validity = settings.validity;
    w.settings.disableDeliveryReceipt = settings.disableDeliveryReceipt;
    w.settings.throttleErrorDelaySeconds = settings.throttleErrorDelaySeconds;
    w.settings.throttleForQFull = settings.throttleForQFull;
    w.settings.restartQAfterThrottleError = settings.restartQAfterThrottleError;
    w.settings.retryMaxAttempts = s.retryMaxAttempts;
    w.settings.sendIntervalMs = s.sendIntervalMs;
    w.settings.combineSegments = settings.wdpAdaptation && !settings.useTLV;
  };
  apply();
  // WindowSize > 0: submits go out without waiting, up to the window.
  SMPPSubmitAsyncQ asyncQ;
  bool async = settings.windowSize > 0 && !settings.receiveOnly &&
               SmppAsyncLink(sock.get(), tls.session, s.name, settings.version, asyncQ.link);
  // Declared after asyncQ and w: leaving the round ends the helpers before either goes.
  struct HelperStop {
    QueueWorker& w;
    SMPPSubmitAsyncQ& q;
    ~HelperStop() { StopSmppSubmitAsyncHelpers(w, q); }
  } helperStop{w, asyncQ};
  if (async) {
    asyncQ.windowSize = settings.windowSize;
    asyncQ.commandTimeoutSeconds = std::max<uint32_t>(1, settings.commandTimeoutSeconds);
    AttachAsyncSubmission(w, transport, asyncQ);
    // Helpers record the outcomes so that the worker keeps submitting; only the worker
    // reads the socket. A mistyped count does not start thousands of threads.
    if (MainFlag("SmppSubmitAsyncHelperThread")) {
      uint32_t count = std::clamp<uint32_t>(MainNumber("AsyncCallbackThreads"), 1, 64);
      StartSmppSubmitAsyncHelpers(w, asyncQ, count);
    }
  }
  if (settings.receiveOnly) WriteDebugLogf(s.name.c_str(), "Receive only connection for %s", s.name.c_str());
  while (!w.linkError && !Stopping() && !s.restart) {
    if (settings.receiveOnly) {
      // Nothing to send: keep the link served and alive.
      if (transport.yield(200) != 0 || !transport.linkUp()) w.linkError = true;
      if (settings.keepAliveSeconds != 0 && TickMs() - w.lastActivityTick > uint64_t(settings.keepAliveSeconds) * 1000) {
        if (transport.enquireLink() != 0) w.linkError = true;
        w.lastActivityTick = TickMs();
      }
      continue;
    }
    RunQueuePass(w, transport);
    apply();
    if (w.restart) s.restart = true;
  }
  if (async) {
    StopSmppSubmitAsyncHelpers(w, asyncQ);
    // Answers due on a live link are waited for; a stopping service waits less.
    uint64_t deadline = (uint64_t(asyncQ.commandTimeoutSeconds) + 5) * 1000;
    DrainSmppSubmitAsyncQ(w, asyncQ, Stopping() ? std::min<uint64_t>(deadline, 10000) : deadline);
  }
  SkipQFree(w.skipQueue);
  ServeReceiveQueue(s.name);
  if (s.failures == 0 && transport.linkUp()) {
    Peer().Call<SMPPUnbindFn>(peer::SMPPUnbind)(sock.get(), tls.session, s.name.c_str(), settings.version);
  }
  EndLibrarySession(sock.get());
  tls.Free();
  CloseSession(sock);
  return true;
}

void ParseSmppAddress(const std::string& name, std::string& host, uint16_t& port) {
  std::string address = name.substr(7);
  if (!SplitHostPort(address, host, port) || host.empty() || port == 0) {
    host = address;
    port = 0;
  }
}

// The separate receiver session: binds as a receiver and serves deliver_sm until the
// worker stops it. Failures go to the message and debug logs only.
void ThreadProcessSMPPReceive(ReceiveThreadBlock& block) {
  std::string host;
  uint16_t namePort = 0;
  ParseSmppAddress(block.connection, host, namePort);
  uint32_t failures = 0;
  auto report = [&](const std::string& text) {
    ++failures;
    LogOutbound("System", "", block.connection, text, LogContent{}, "", "", "");
    WriteDebugLog(block.connection, text);
  };
  block.running = true;
  while (!Stopping() && !block.stop.load()) {
    SmppConnectionSettings settings = ReadSmppSettings(block.connection);
    LinkRole role;
    role.localPort = settings.receiverLocalPort;
    role.remotePort = settings.receiverRemotePort;
    role.bindType = SMPP_BIND_RECEIVER;
    role.portText = "receiver";
    UniqueFd sock;
    TlsSession tls;
    if (namePort == 0 && role.remotePort == 0) {
      report(StrPrintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u", host.c_str(), 0u));
    } else if (OpenSmppLink(block.connection, settings, host, namePort, role, report, sock, tls)) {
      failures = 0;
      WriteDebugLogf(block.connection.c_str(), "SMPP receiver connection OK");
      const char* name = block.connection.c_str();
      auto linkUp = [&] {
        return Peer().Call<SMPPCheckLinkStatusFn>(peer::SMPPCheckLinkStatus)(sock.get(), tls.session, name) != 0;
      };
      bool linkError = false;
      uint64_t lastKeepAlive = TickMs();
      while (!Stopping() && !block.stop.load() && linkUp()) {
        if (settings.keepAliveSeconds != 0 &&
            (linkError || TickMs() - lastKeepAlive >= uint64_t(settings.keepAliveSeconds) * 1000)) {
          if (Peer().Call<SMPPEnquireLinkFn>(peer::SMPPEnquireLink)(sock.get(), tls.session, name,
                                                                    settings.version) != 0) {
            linkError = true;
          } else {
            linkError = false;
            lastKeepAlive = TickMs();
          }
          settings = ReadSmppSettings(block.connection);
        }
        Peer().Call<SMPPReceiveFromAsyncQFn>(peer::SMPPReceiveFromAsyncQ)(name);
        if (linkError) break;
        int yieldError = 0;
        // The library waits for traffic within the yield; a longer wait keeps an idle
        // receiver from spinning.
        Peer().Call<SMPPYieldFn>(peer::SMPPYield)(sock.get(), tls.session, name, settings.version, 200, &yieldError);
        if (yieldError) break;
      }
      ServeReceiveQueue(block.connection);
      if (!linkError && linkUp()) {
        Peer().Call<SMPPUnbindFn>(peer::SMPPUnbind)(sock.get(), tls.session, name, settings.version);
      }
      EndLibrarySession(sock.get());
      tls.Free();
      CloseSession(sock);
      if (Stopping() || block.stop.load()) break;
      failures = std::max<uint32_t>(failures, 1);
    }
    time_t until = ReconnectTime(std::max<uint32_t>(failures, 1), block.connection);
    while (!Stopping() && !block.stop.load() && NowSeconds() < until) SleepUnlessShutdown(1000, TickMs());
  }
  block.ended = true;
}

// The receive threads a worker runs beside its sending session.
struct ReceiveThreads {
  std::vector<std::shared_ptr<ReceiveThreadBlock>> blocks;
  void Start(const std::string& description, const std::string& connection,
             void (*body)(ReceiveThreadBlock&)) {
    auto block = std::make_shared<ReceiveThreadBlock>();
    block->connection = connection;
    if (!StartServiceThread(description, [block, body] { body(*block); })) {
      WriteDebugLog("ThreadProcessModem", "Error starting thread");
      return;
    }
    blocks.push_back(block);
  }
  // Waits up to 60 s for the first to run.
  void WaitRunning() {
    for (int i = 0; i < 600 && !blocks.empty() && !blocks.front()->running.load() && !Stopping(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ~ReceiveThreads() {
    for (auto& b : blocks) b->stop = true;
    // A receiver may be inside a connect or an unbind; each of those is bounded.
    for (auto& b : blocks) {
      while (!b->ended.load()) {
        // A queue thread waiting on its event sees the stop flag at once.
        WakeSmppReceiveAsync(b->connection.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }
};

void RunSmppSessions(WorkerState& s) {
  std::string host;
  uint16_t port = 0;
  ParseSmppAddress(s.name, host, port);
  SmppConnectionSettings settings = ReadSmppSettings(s.name);
  ReceiveThreads receivers;
  // Declared after receivers: runs before they are stopped.
  std::function<void()> asyncReceiveOff;
  struct OffOnLeave {
    std::function<void()>& off;
    ~OffOnLeave() {
      if (off) off();
    }
  } offOnLeave{asyncReceiveOff};
  if (settings.receive && !settings.receiveSingleConnection && !settings.receiveOnly &&
      std::max<uint32_t>(s.instance, 1) <= settings.receiverCount) {
    receivers.Start("ThreadProcessSMPPReceive " + s.name, s.name, ThreadProcessSMPPReceive);
  }
  if (MainFlag("AsyncReceiveMessages") && settings.windowSize > 0) {
    uint32_t count = std::max<uint32_t>(1, MainNumber("AsyncCallbackThreads"));
    ReceiveThreads* asyncThreads = &receivers;
    for (uint32_t i = 0; i < count; ++i) {
      asyncThreads->Start("ThreadProcessSMPPReceiveAsyncQ " + s.name, s.name, ThreadProcessSMPPReceiveAsyncQ);
    }
    asyncThreads->WaitRunning();
    // Received messages now wait for those threads; answered once stored. Switched off
    // (remaining ones served) before the threads are stopped.
    if (auto setAsync = PeerExtra<SMPPSetAsyncReceiveFn>("SMPPSetAsyncReceive")) {
      setAsync(s.name.c_str(), 1);
      asyncReceiveOff = [setAsync, name = s.name] { setAsync(name.c_str(), 0); };
      WriteDebugLogf(s.name.c_str(), "Asynchronous receive queue on for %s", s.name.c_str());
    }
  }
  while (!Stopping() && !s.restart) {
    if (port == 0 && settings.senderRemotePort == 0) {
      ReportFailure(s, StrPrintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u", host.c_str(), 0u));
    } else {
      SmppRound(s, settings, host, port);
    }
    if (Stopping() || s.restart) break;
    ReconnectWait(s, &settings);
  }
}

// Kinds whose transport is not part of this build fail every round with their own text.
void RunUnavailableSessions(WorkerState& s, const std::string& text) {
  while (!Stopping() && !s.restart) {
    ReportFailure(s, text);
    ReconnectWait(s, nullptr);
    if (ConnectionNameFor(s.index) != s.name) s.restart = true;
  }
}

void WaitWhileBackupNotNeeded(WorkerState& s) {
  std::string value = RoutingConnectionName(ConnectionValue(ConnectionSectionName(s.name), "BackupForRoute"));
  s.backupRoute = value;
  s.backupTarget.clear();
  s.backupTargetRoute.clear();
  if (value.empty()) return;
  for (const std::string& c : OutboundRouting.configured) {
    if (EqualsNoCase(c, value)) {
      s.backupTarget = c;
      if (const ConnectionRouting* r = OutboundRouting.Find(c)) s.backupTargetRoute = r->routeName;
    }
  }
  WriteDebugLogf("ThreadProcessModem", "Route %s is a backup for %s", s.name.c_str(), value.c_str());
  while (!Stopping() && !BackupNeeded(OutboundRouting, s.backupTarget.empty() ? value : s.backupTarget)) {
    SleepUnlessShutdown(kBackupPollMs, TickMs());
    if (ConnectionNameFor(s.index) != s.name) {
      s.restart = true;
      return;
    }
  }
  if (!Stopping()) WriteDebugLogf("ThreadProcessModem", "Activating backup route %s for %s", s.name.c_str(), value.c_str());
}

}  // namespace

void InstallSmppLibraryHooks() {
  if (!OutsideLibraries.peer.Loaded()) return;
  // Exports of our own library beyond the start-up table; a foreign one may lack them.
  if (void* fn = dlsym(OutsideLibraries.peer.handle, "SMPPSetDebugLogFunction")) {
    reinterpret_cast<SMPPSetDebugLogFunctionFn>(fn)(
        [](const char* label, const char* text) { WriteDebugLog(label ? label : "SMPP", text ? text : ""); });
  }
  InstallAsyncCompletion(PeerExtra<SMPPSetAsyncCompletionFunctionFn>("SMPPSetAsyncCompletionFunction"));
  if (auto wake = PeerExtra<SMPPSetAsyncReceiveWakeFunctionFn>("SMPPSetAsyncReceiveWakeFunction")) {
    wake(WakeSmppReceiveAsync);
  }
  OutsideLibraries.peer.Call<SMPPSetReceiveMessageCallbackFnType>(peer::SMPPSetReceiveMessageCallback)(
      SMPPReceiveMessageCallback);
  if (void* fn = dlsym(OutsideLibraries.peer.handle, "SMPPSetTlsFunctions"); fn && SealCalls.Available) {
    reinterpret_cast<SMPPSetTlsFunctionsFn>(fn)(SealCalls.sslSend, SealCalls.sslRecv, SealCalls.sslDataPending);
  }
}

void ThreadProcessModem(uint32_t parameter) {
  WorkerState s;
  s.index = parameter & 0xFFFF;
  s.instance = parameter >> 16;
  while (!Stopping()) {
    s.restart = false;
    s.failures = 0;
    s.eventRaised = false;
    s.name = ConnectionNameFor(s.index);
    if (s.name.empty()) return;
    WriteDebugLog("ThreadProcessModem", s.name);
    ReadPacing(s);
    WaitWhileBackupNotNeeded(s);
    if (Stopping()) break;
    if (s.restart) continue;
    if (StartsWithNoCase(s.name, "SMPP - ")) {
      RunSmppSessions(s);
    } else if (StartsWithNoCase(s.name, "UCP - ")) {
      RunUnavailableSessions(s, "UCP Failure -- Support DLL QARKITE.DLL did not initialize");
    } else if (StartsWithNoCase(s.name, "CIMD - ")) {
      RunUnavailableSessions(s, "CIMD Failure -- Support DLL QARBOLT.DLL did not initialize");
    } else if (StartsWithNoCase(s.name, "HTTP - ") || StartsWithNoCase(s.name, "SDKLink - ")) {
      RunUnavailableSessions(s, "HTTP Failure -- HTTP SMSC support did not initialize");
    } else {
      RunUnavailableSessions(s, "Modem Failure -- Modem support did not initialize");
    }
  }
}
