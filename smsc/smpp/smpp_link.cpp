#include "smsc/smpp/smpp_link.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <algorithm>

#include "config/settings.h"
#include "gsm/code_pages.h"
#include "httpclient/socket_io.h"
#include "outside/outside_tables.h"
#include "outside/seal_table.h"
#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "smsc/smpp/smpp_outcome.h"
#include "smsc/smsc_socket.h"
#include "store/durable_writes.h"

namespace {

const LoadedLibrary& Peer() { return OutsideLibraries.peer; }

// The library takes UTF-8 text, as queue files hold it.
std::string LibraryText(const SmsMessageRecord& m) {
  std::string data = m.Data;
  if (!m.Binary) QueueTextToUtf8(data);
  return data;
}

// Before the socket closes and its TLS session is freed: no other thread (an asynchronous
// receive answer) may write on them afterwards.
void EndLibrarySession(int sock) {
  if (auto end = PeerExtra<SMPPEndSessionFn>("SMPPEndSession")) end(sock);
}

}  // namespace

void TlsSession::Free() {
  if (session && SealCalls.sslFreeSession) SealCalls.sslFreeSession(session);
  session = nullptr;
}

void* PeerExport(const char* name) {
  return Peer().Loaded() ? dlsym(Peer().handle, name) : nullptr;
}

void ServeReceiveQueue(const std::string& name) {
  Peer().Call<SMPPReceiveFromAsyncQFn>(peer::SMPPReceiveFromAsyncQ)(name.c_str());
}

bool SmppLinkUp(int sock, void* tls, const std::string& name) {
  return Peer().Call<SMPPCheckLinkStatusFn>(peer::SMPPCheckLinkStatus)(sock, tls, name.c_str()) != 0;
}

int SmppEnquireLink(int sock, void* tls, const std::string& name, int version) {
  return Peer().Call<SMPPEnquireLinkFn>(peer::SMPPEnquireLink)(sock, tls, name.c_str(), version);
}

// Received messages read in one go are all stored, made safe by one shared flush and only
// then answered, in their order: a window of deliver_sm costs one flush, not one each. A
// failed flush answers them all "try later", so that the centre delivers them again.
int SmppYield(int sock, void* tls, const std::string& name, int version, int waitMs) {
  static const auto hold = PeerExtra<SMPPHoldResponsesFn>("SMPPHoldResponses");
  static const auto sendHeld = PeerExtra<SMPPSendHeldResponsesFn>("SMPPSendHeldResponses");
  auto yield = Peer().Call<SMPPYieldFn>(peer::SMPPYield);
  int linkError = 0;
  if (!hold || !sendHeld) {
    // Each received message then flushes for itself before the library answers it.
    yield(sock, tls, name.c_str(), version, waitMs, &linkError);
    return linkError;
  }
  // Answers never wait for the socket: what has arrived is handled and answered, then the
  // rest of the time is spent waiting for more.
  uint64_t deadline = TickMs() + uint64_t(std::max(waitMs, 0));
  for (;;) {
    {
      DurableWrites durable(Settings.DurableAccept);
      hold(sock, tls, name.c_str());
      yield(sock, tls, name.c_str(), version, 0, &linkError);
      bool safe = durable.Await();
      if (!safe) WriteDebugLog(name, "Received messages could not be flushed to stable storage; answered as failed");
      if (sendHeld(sock, tls, name.c_str(), safe ? 0 : kSmppStatusTryLater) != 0) linkError = 1;
    }
    if (linkError) return linkError;
    uint64_t now = TickMs();
    if (now >= deadline || WaitReadable(sock, tls, int(deadline - now)) != WaitOutcome::Ready) return 0;
  }
}

void ParseSmppAddress(const std::string& name, std::string& host, uint16_t& port) {
  std::string address = name.substr(7);
  if (!SplitHostPort(address, host, port) || host.empty() || port == 0) {
    host = address;
    port = 0;
  }
}

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
  link.yield = [=](int waitMs) { return SmppYield(sock, tls, name, version, waitMs); };
  link.linkUp = [=] { return SmppLinkUp(sock, tls, name); };
  link.errorText = [](int status) { return Peer().Call<SMPPErrorTextFn>(peer::SMPPErrorText)(status); };
  link.abandon = [=] { abandon(sock); };
  link.fd = sock;
  return true;
}

QueueTransport SmppTransport(int sock, void* tls, const std::string& name, const SmppConnectionSettings* settings) {
  QueueTransport t;
  int version = settings->version;
  t.submit = [sock, tls, name, version, settings](const SmsMessageRecord& m, const SubmitRequest& r) {
    SubmitResult result;
    std::string data = LibraryText(m);
    char id[66] = {};
    result.status = Peer().Call<SMPPSubmitMessageFn>(peer::SMPPSubmitMessage)(
        sock, tls, name.c_str(), version, r.sender.c_str(), r.recipient.c_str(), m.Pid, m.Dcs, m.UDH.c_str(),
        data.c_str(), int(m.MessageFlags), m.Binary ? 1 : 0, id, int(sizeof id), r.gatewayMessageId.c_str(),
        r.extraParams.c_str());
    result.smscMessageId = id;
    result.outcome = SmppOutcomeFor(name, result.status, settings->throttleForQFull);
    if (result.status != 0) result.errorText = Peer().Call<SMPPErrorTextFn>(peer::SMPPErrorText)(result.status);
    return result;
  };
  t.enquireLink = [sock, tls, name, version] { return SmppEnquireLink(sock, tls, name, version); };
  t.yield = [sock, tls, name, version](int waitMs) { return SmppYield(sock, tls, name, version, waitMs); };
  t.linkUp = [sock, tls, name] { return SmppLinkUp(sock, tls, name); };
  t.waitFd = [sock] { return sock; };
  return t;
}

bool OpenSmppLink(const std::string& name, const SmppConnectionSettings& settings, const std::string& host,
                  uint16_t namePort, const LinkRole& role, const std::function<void(const std::string&)>& report,
                  UniqueFd& sock, TlsSession& tls) {
  if (!Peer().Loaded()) {
    report("SMPP Failure -- Support DLL QARPEER.DLL did not initialize");
    return false;
  }
  uint16_t port = role.remotePort != 0 ? role.remotePort : namePort;
  // A name with IPv6 and IPv4 addresses: each family in turn until one connects. The
  // failure reported is the last one.
  std::string failure;
  for (int family : FamiliesOf(host)) {
    sock.reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
      failure = "SMPP Failure -- General Socket Error";
      continue;
    }
    if (!settings.bindIP.empty() || role.localPort != 0) {
      if (!BindLocal(sock.get(), family, settings.bindIP, role.localPort)) {
        failure = StrPrintf("SMPP Failure -- Unable to bind to SMPP %s port %u", role.portText, role.localPort);
        sock.reset();
        continue;
      }
      if (role.localPort != 0) {
        WriteDebugLogf(name.c_str(), "Debug:  SMPP %s port bound to %u", role.portText, role.localPort);
      }
    }
    if (Peer().Call<SMPPConnectFn>(peer::SMPPConnect)(sock.get(), name.c_str(), host.c_str(), port) != 0) {
      failure = StrPrintf("SMPP Failure -- Unable to connect to SMPP server at %s:%u", host.c_str(), port);
      EndLibrarySession(sock.get());
      sock.reset();
      continue;
    }
    failure.clear();
    break;
  }
  if (!failure.empty()) {
    report(failure);
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

void CloseSmppLink(const std::string& name, int version, bool logout, UniqueFd& sock, TlsSession& tls) {
  if (logout && SmppLinkUp(sock.get(), tls.session, name)) {
    Peer().Call<SMPPUnbindFn>(peer::SMPPUnbind)(sock.get(), tls.session, name.c_str(), version);
  }
  EndLibrarySession(sock.get());
  tls.Free();
  CloseSession(sock);
}
