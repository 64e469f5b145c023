#include "smsc/http/http_driver.h"

#include <memory>

#include "accounting/user_entries.h"
#include "httpclient/client_connect.h"
#include "httpclient/http_client.h"
#include "httpclient/http_text.h"
#include "httpclient/socket_io.h"
#include "outside/seal_table.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "runtime/waits.h"
#include "smsc/http/http_answer.h"
#include "smsc/http/http_request.h"
#include "smsc/http/http_settings.h"

namespace {

constexpr uint32_t kRoundPauseMs = 1000;
constexpr const char* kLabel = "HTTPSMSC";
constexpr uint32_t kConnectTimeoutMs = 30000;
constexpr uint32_t kAnswerTimeoutSeconds = 120;
constexpr uint32_t kProxyAnswerSeconds = 30;
constexpr int kLinkStatus = -1;  // the status of a failure before any answer

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

struct HttpDriverState {
  std::string name;
  bool perRecipient = false;  // SDKLink: the address comes from [SDKLink]
  Endpoint named;             // the address in the connection name
  HttpSmscSettings settings;
  KeepAliveSlot slot;
  Endpoint slotTarget;
  ~HttpDriverState() { CloseKeepAliveSlot(slot); }
};
using State = std::shared_ptr<HttpDriverState>;

bool UsesTls(const HttpSmscSettings& s) { return s.useSSL && SealCalls.Available; }

// "host[:port]"; the port defaults to defaultPort. False when there is no host.
bool ParseEndpoint(std::string_view text, uint16_t defaultPort, Endpoint& out) {
  out = Endpoint{};
  out.port = defaultPort;
  if (!SplitHostPort(Trim(text), out.host, out.port) || out.host.empty()) return false;
  if (out.port == 0) out.port = defaultPort;
  return true;
}

bool ProxyOf(const HttpSmscSettings& s, Endpoint& proxy) { return ParseEndpoint(s.proxy, 80, proxy); }

SubmitResult LinkFailure(std::string text) {
  WriteDebugLog(kLabel, text);
  SubmitResult r;
  r.outcome = SubmitOutcome::LinkLost;
  r.status = kLinkStatus;
  r.errorText = std::move(text);
  return r;
}

// The connection of one request, freed unless handed to the slot.
struct Connection {
  UniqueFd socket;
  void* ssl = nullptr;
  ~Connection() { Close(); }
  void Close() {
    if (ssl != nullptr && SealCalls.Available) SealCalls.sslFreeSession(ssl);
    ssl = nullptr;
    socket.reset();
  }
};

// A new connection to the proxy or the server, with the tunnel and TLS. Empty text: done.
std::string OpenConnection(const HttpDriverState& d, const Endpoint& target, Connection& conn) {
  Endpoint proxy;
  bool viaProxy = ProxyOf(d.settings, proxy);
  const Endpoint& to = viaProxy ? proxy : target;
  ConnectFailure failure;
  conn.socket = ConnectTcp(to.host, to.port, kConnectTimeoutMs, failure, d.settings.bindIP);
  if (!conn.socket) {
    if (failure == ConnectFailure::Socket || failure == ConnectFailure::Bind) return "HTTPSMSC:  General Socket Error";
    return StrPrintf(viaProxy ? "HTTPSMSC:  Unable to connect to proxy server %s:%u"
                              : "HTTPSMSC:  Unable to connect to server %s:%u",
                     to.host.c_str(), to.port);
  }
  if (!UsesTls(d.settings)) return "";
  if (viaProxy) {
    std::string connect = StrPrintf("CONNECT %s:%u HTTP/1.1\r\n\r\n", target.host.c_str(), target.port);
    std::string answer;
    bool answered = SendData(conn.socket.get(), nullptr, connect) &&
                    HttpResponseWait(conn.socket.get(), nullptr, answer, true, kProxyAnswerSeconds) != 0;
    unsigned status = answered ? HttpStatusCode(answer) : 0;
    if (status == 0 || status >= 300) {
      if (!answer.empty()) WriteDebugLog(kLabel, answer.substr(0, answer.find('\r')));
      return StrPrintf("HTTPSMSC:  Proxy server rejected request to connect to %s:%u", target.host.c_str(),
                       target.port);
    }
  }
  char text[8192] = {0};
  conn.ssl = SealCalls.sslInitSession(conn.socket.get(), target.host.c_str(), text, sizeof text, kConnectTimeoutMs);
  if (conn.ssl == nullptr) {
    return StrPrintf("HTTPSMSC:  Unable to negotiate SSL/TLS connection to %s:%u -- %s", target.host.c_str(),
                     target.port, text);
  }
  if (text[0] != '\0') WriteDebugLog(kLabel, text);
  return "";
}

// Where a message goes: the connection's address, or the recipient's in [SDKLink].
bool TargetFor(const HttpDriverState& d, const SmsMessageRecord& m, Endpoint& target) {
  uint16_t defaultPort = UsesTls(d.settings) ? 443 : 80;
  if (!d.perRecipient) {
    target = d.named;
    return !target.host.empty();
  }
  return ParseEndpoint(SMSIniString("SDKLink", m.PhoneNumber, "", 255), defaultPort, target);
}

// The kept connection when it is to target and still open; otherwise it is closed.
bool TakeKept(HttpDriverState& d, const Endpoint& target, Connection& conn) {
  if (d.slot.socket < 0) return false;
  if (d.slotTarget.host != target.host || d.slotTarget.port != target.port || !SocketStillOpen(d.slot.socket)) {
    CloseKeepAliveSlot(d.slot);
    return false;
  }
  conn.socket.reset(d.slot.socket);
  conn.ssl = d.slot.ssl;
  d.slot = KeepAliveSlot{};
  return true;
}

SubmitResult Submit(HttpDriverState& d, const SmsMessageRecord& m, const SubmitRequest& r) {
  const HttpSmscSettings& s = d.settings;
  Endpoint target;
  if (!TargetFor(d, m, target)) {
    return LinkFailure(StrPrintf("HTTPSMSC:  No address for %s in [SDKLink]", m.PhoneNumber.c_str()));
  }
  Endpoint proxy;
  bool tls = UsesTls(s);
  HttpRequestParts parts;
  parts.settings = &s;
  parts.host = HttpHostText(target.host, target.port, tls);
  parts.throughPlainProxy = ProxyOf(s, proxy) && !tls;
  parts.submitPassword = [&m] {
    SMSUserRecord account{};
    return m.SubmitUser.empty() || !LookupAccount(m.SubmitUser, account) ? std::string()
                                                                         : std::string(account.Password);
  };
  BuiltHttpRequest request = BuildHttpSmscRequest(parts, m, r);

  Connection conn;
  std::string raw;
  bool reused = TakeKept(d, target, conn);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!conn.socket) {
      std::string failure = OpenConnection(d, target, conn);
      if (!failure.empty()) return LinkFailure(failure);
    }
    WriteDebugLog(kLabel, request.logText);
    bool sent = SendData(conn.socket.get(), conn.ssl, request.text);
    if (sent && HttpResponseWait(conn.socket.get(), conn.ssl, raw, false, kAnswerTimeoutSeconds) != 0) break;
    raw.clear();
    conn.Close();
    // A kept connection that could not take the request gets one new connection; one that
    // took it without answering may have delivered it: the retry schedule decides.
    if (!reused || sent) break;
    reused = false;
  }
  if (raw.empty()) {
    return LinkFailure(StrPrintf("HTTPSMSC:  Invalid response from server %s:%u", target.host.c_str(), target.port));
  }
  WriteDebugLog(kLabel, raw.substr(0, raw.find_first_of("\r\n")));
  HttpSmscAnswer answer = ReadHttpSmscAnswer(raw);
  SubmitResult result = JudgeHttpSmscAnswer(s, answer);
  if (result.outcome != SubmitOutcome::Done) {
    WriteDebugLog(kLabel, result.errorText);
  } else if (request.usesMessageId && s.trackReceipts) {
    result.smscMessageId = r.gatewayMessageId;
    result.idRecord = SmscIdRecord::Always;
  } else if (!result.smscMessageId.empty() && s.trackReceipts) {
    result.idRecord = SmscIdRecord::Always;
    WriteDebugLogf(kLabel, "Receipt message id %s accepted for %s", result.smscMessageId.c_str(),
                   r.gatewayMessageId.c_str());
  } else {
    result.idRecord = SmscIdRecord::Never;
  }
  if (s.useKeepAlive && result.outcome == SubmitOutcome::Done) {
    if (answer.keepsConnection) {
      d.slot.socket = conn.socket.release();
      d.slot.ssl = std::exchange(conn.ssl, nullptr);
      d.slotTarget = target;
    } else {
      WriteDebugLog(kLabel, "Keep-Alive socket not supported by HTTP SMSC");
    }
  }
  return result;
}

// The session check: the proxy or the server accepts a connection. Empty text: it does.
std::string CheckConnect(const HttpDriverState& d) {
  if (d.perRecipient) return "";
  Endpoint proxy;
  bool viaProxy = ProxyOf(d.settings, proxy);
  const Endpoint& to = viaProxy ? proxy : d.named;
  if (to.host.empty()) return StrPrintf("HTTP Failure -- Unable to connect to HTTP server at %s:%u", "", 0u);
  ConnectFailure failure;
  UniqueFd sock = ConnectTcp(to.host, to.port, kConnectTimeoutMs, failure, d.settings.bindIP);
  if (sock) return "";
  if (failure == ConnectFailure::Socket || failure == ConnectFailure::Bind)
    return "HTTP Failure -- General Socket Error";
  return StrPrintf(viaProxy ? "HTTP Failure -- Unable to connect to HTTP proxy server at %s:%u"
                            : "HTTP Failure -- Unable to connect to HTTP server at %s:%u",
                   to.host.c_str(), to.port);
}

void Apply(HttpDriverState& d, QueueWorker& w) {
  const HttpSmscSettings& s = d.settings;
  w.settings.keepAliveSeconds = 0;  // nothing to keep alive between requests
  w.settings.senderAddressList = s.senderAddressList;
  w.settings.senderAddressOverride = s.senderAddressOverride;
  w.settings.validity = s.validity;
  w.settings.disableDeliveryReceipt = s.disableDeliveryReceipt;
}

void CloseKept(HttpDriverState& d) {
  if (d.slot.socket < 0) return;
  WriteDebugLog(d.name, "Closing HTTP SMSC Keep-Alive socket");
  CloseKeepAliveSlot(d.slot);
}

void Open(const State& d, QueueWorker& w, QueueTransport& t) {
  Apply(*d, w);
  t = QueueTransport{};
  t.submit = [d](const SmsMessageRecord& m, const SubmitRequest& r) { return Submit(*d, m, r); };
  // After a failed request: the session check again (a kept connection that is open passes).
  t.enquireLink = [d] {
    if (d->slot.socket >= 0 && SocketStillOpen(d->slot.socket)) return 0;
    std::string failure = CheckConnect(*d);
    if (failure.empty()) return 0;
    WriteDebugLog(d->name, failure);
    return kLinkStatus;
  };
  t.yield = [](int waitMs) {
    SleepUnlessShutdown(uint32_t(std::max(waitMs, 0)), TickMs());
    return 0;
  };
  t.linkUp = [] { return true; };
  // A pass that only failed rests before the next, so that a failing centre is not asked
  // again at once; otherwise the worker's wait for work follows.
  QueueWorker* worker = &w;
  t.passEnd = [d, worker] {
    CloseKept(*d);
    if (worker->handledInPass != 0 && worker->sentInPass == 0) SleepUnlessShutdown(kRoundPauseMs, TickMs());
  };
}

}  // namespace

SmscDriver MakeHttpDriver(const std::string& connection, uint32_t) {
  State d = std::make_shared<HttpDriverState>();
  d->name = connection;
  d->perRecipient = StartsWithNoCase(connection, "SDKLink - ");
  d->settings = ReadHttpSmscSettings(connection);
  if (!d->perRecipient) {
    // "HTTP - host[:port]"; a name written as a URL counts by its host part.
    ParseEndpoint(HostFromUrl(std::string_view(connection).substr(7)), UsesTls(d->settings) ? 443 : 80, d->named);
  }
  SmscDriver driver;
  driver.connect = [d](const std::function<void(const std::string&)>& report) {
    std::string failure = CheckConnect(*d);
    if (failure.empty()) return true;
    report(failure);
    return false;
  };
  driver.open = [d](QueueWorker& w, QueueTransport& t) { Open(d, w, t); };
  driver.reload = [d] { return CheckReloadHttpSet(d->name, d->settings); };
  driver.apply = [d](QueueWorker& w) { Apply(*d, w); };
  driver.receiveOnly = [] { return false; };
  driver.close = [d](QueueWorker&, bool) { CloseKept(*d); };
  return driver;
}

void InstallHttpDriver() { RegisterSmscDriver(ConnectionKind::Http, MakeHttpDriver); }
