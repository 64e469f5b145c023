#include "httpclient/http_client.h"

#include <utility>

#include "httpclient/client_connect.h"
#include "runtime/base64.h"
#include "runtime/debug_log.h"
#include "runtime/secret_mask.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"
#include "httpclient/http_text.h"
#include "outside/seal_table.h"
#include "httpclient/socket_io.h"

namespace {
constexpr const char* kLabel = "RetrieveURL";
constexpr uint32_t kMaxRedirects = 10;

struct ParsedUrl {
  bool ssl = false;
  bool hasCredentials = false;
  std::string user, password, host, path;
  uint16_t port = 80;
};

bool ParseUrl(std::string_view url, bool sslRequest, ParsedUrl& out) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return false;
  std::string_view rest = url.substr(scheme + 3);
  size_t slash = rest.find('/');
  std::string_view hostPart = rest.substr(0, slash);
  out.path = slash == std::string_view::npos ? "" : std::string(rest.substr(slash + 1));
  size_t at = hostPart.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view credentials = hostPart.substr(0, at);
    size_t colon = credentials.find(':');
    out.user = PercentDecode(credentials.substr(0, colon));
    out.password = colon == std::string_view::npos ? "" : PercentDecode(credentials.substr(colon + 1));
    out.hasCredentials = !out.user.empty() || !out.password.empty();
    hostPart = hostPart.substr(at + 1);
  }
  out.ssl = sslRequest;
  out.port = sslRequest ? 443 : 80;
  std::string host;
  uint16_t port = out.port;
  if (!SplitHostPort(hostPart, host, port)) return false;
  if (host.empty()) return false;
  out.host = host;
  out.port = port;
  return true;
}

// "host:port" (port 80 when missing or 0); false when empty.
bool ParseProxy(std::string_view proxy, std::string& host, uint16_t& port) {
  std::string_view text = Trim(proxy);
  if (text.empty()) return false;
  host.clear();
  port = 80;
  if (!SplitHostPort(CutTo(text, 57), host, port) || host.empty()) return false;
  if (port == 0) port = 80;
  return true;
}

// Spaces and control bytes never reach the request line raw.
std::string EncodeRequestTarget(std::string_view path) {
  std::string out;
  for (char c : path) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F) out += StrPrintf("%%%02X", b);
    else out += c;
  }
  return out;
}

std::string HostWithoutPort(std::string_view hostPart) {
  std::string_view h = hostPart;
  size_t at = h.rfind('@');
  if (at != std::string_view::npos) h = h.substr(at + 1);
  return std::string(h.substr(0, h.find(':')));
}

void SetError(std::string* errorText, const std::string& text) {
  if (errorText != nullptr) *errorText = text;
}

// The Location value as an absolute URL: a path is taken relative to the current server.
std::string RedirectTarget(std::string_view location, std::string_view currentUrl) {
  std::string target(location);
  if (!target.empty() && target[0] == '/') {
    size_t scheme = currentUrl.find("://");
    std::string_view rest = currentUrl.substr(scheme + 3);
    std::string_view hostPart = rest.substr(0, rest.find('/'));
    size_t at = hostPart.rfind('@');
    if (at != std::string_view::npos) hostPart = hostPart.substr(at + 1);
    target = std::string(currentUrl.substr(0, scheme + 3)) + std::string(hostPart) + target;
  }
  return target;
}

// The connection of one request: closed, its session freed, when it goes unless handed to the
// caller's slot.
struct Connection {
  UniqueFd socket;
  void* ssl = nullptr;
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { Close(); }
  void Close() {
    if (ssl != nullptr && SealCalls.Available) SealCalls.sslFreeSession(ssl);
    ssl = nullptr;
    socket.reset();
  }
};

struct ProxyTarget {
  bool use = false;
  std::string host;
  uint16_t port = 80;
};

// The URL with a scheme ("http://" when it has none) and its parts. False for another scheme
// or a URL without a host.
bool PrepareTarget(std::string_view urlIn, std::string& url, ParsedUrl& target, std::string* errorText) {
  url = std::string(TrimRight(urlIn));
  if (url.find("://") == std::string::npos) url = "http://" + url;
  WriteDebugLogf(kLabel, "Retrieving %s", url.c_str());
  bool sslRequest;
  if (StartsWithNoCase(url, "https://")) sslRequest = SealCalls.Available;
  else if (StartsWithNoCase(url, "http://")) sslRequest = false;
  else return false;
  if (ParseUrl(url, sslRequest, target)) return true;
  // The text reaches clients and the event log.
  SetError(errorText, "DNS Lookup failed for " + MaskSecrets(url));
  return false;
}

// Local servers are reached directly.
ProxyTarget ProxyFor(std::string_view proxy, const ParsedUrl& target) {
  ProxyTarget p;
  p.use = ParseProxy(proxy, p.host, p.port) && !StartsWithNoCase(target.host, "127.0.0.");
  return p;
}

// The slot's connection, when the peer has not closed it meanwhile; one it closed is dropped.
bool TakeSlotConnection(KeepAliveSlot* slot, Connection& conn) {
  if (slot == nullptr || slot->socket < 0) return false;
  if (!SocketStillOpen(slot->socket)) {
    CloseKeepAliveSlot(*slot);
    WriteDebugLog(kLabel, "Keep-alive socket failed, opening new connection");
    return false;
  }
  conn.socket.reset(slot->socket);
  conn.ssl = slot->ssl;
  *slot = KeepAliveSlot{};
  WriteDebugLog(kLabel, "Using keep-alive socket");
  return true;
}

// The status number of the proxy's answer to CONNECT; 0 when there is none.
unsigned ConnectStatus(std::string_view answer) {
  unsigned status = 0;
  size_t sp = answer.find(' ');
  for (size_t i = sp == std::string_view::npos ? answer.size() : sp + 1;
       i < answer.size() && answer[i] >= '0' && answer[i] <= '9' && status < 1000; ++i)
    status = status * 10 + unsigned(answer[i] - '0');
  return status;
}

// A TLS request through a proxy goes through a tunnel that CONNECT opens.
bool TunnelThroughProxy(Connection& conn, const ParsedUrl& target, std::string* errorText) {
  std::string connect = StrPrintf("CONNECT %s:%u HTTP/1.1\r\n\r\n", target.host.c_str(), target.port);
  std::string answer;
  bool accepted = SendData(conn.socket.get(), nullptr, connect) &&
                  HttpResponseWait(conn.socket.get(), nullptr, answer, true, 30) != 0;
  unsigned status = accepted ? ConnectStatus(answer) : 0;
  if (accepted && status != 0 && status < 300) return true;
  WriteDebugLog(kLabel, "Proxy Server rejected SSL/TLS connection attempt");
  if (!answer.empty()) WriteDebugLog(kLabel, answer);
  SetError(errorText, "Proxy Server rejected SSL/TLS connection attempt");
  return false;
}

bool StartTls(Connection& conn, const ParsedUrl& target, uint32_t timeoutMs, std::string* errorText) {
  char text[500] = {0};
  conn.ssl = SealCalls.sslInitSession(conn.socket.get(), target.host.c_str(), text, sizeof text, timeoutMs);
  WriteDebugLog(kLabel, "Using SSL");
  if (text[0] != '\0') WriteDebugLog(kLabel, text);
  if (conn.ssl != nullptr) return true;
  SetError(errorText, StrPrintf("SSL/TLS Error - %s", text));
  return false;
}

// A new connection to the server or the proxy, with the tunnel and TLS an https URL needs.
bool OpenConnection(const ParsedUrl& target, const ProxyTarget& proxy, uint32_t timeoutMs, Connection& conn,
                    std::string* errorText) {
  const std::string& host = proxy.use ? proxy.host : target.host;
  ConnectFailure failure;
  conn.socket = ConnectTcp(host, proxy.use ? proxy.port : target.port, timeoutMs, failure);
  if (!conn.socket) {
    std::string text;
    if (failure == ConnectFailure::Lookup) text = "DNS Lookup failed for " + host;
    else if (failure == ConnectFailure::Connect) text = "HTTP Connection failed for " + host;
    if (!text.empty()) {
      WriteDebugLog(kLabel, text);
      SetError(errorText, text);
    }
    return false;
  }
  if (!target.ssl) return true;
  if (proxy.use && !TunnelThroughProxy(conn, target, errorText)) return false;
  return StartTls(conn, target, timeoutMs, errorText);
}

std::string BuildRequest(const ParsedUrl& target, bool throughProxy, bool keepAlive) {
  std::string request = "GET ";
  // A plain request to a proxy names the whole URL; a tunnelled one only the path.
  if (!target.ssl && throughProxy) {
    request += "http://" + target.host;
    if (target.port != 80) request += StrPrintf(":%u", target.port);
  }
  request += "/" + EncodeRequestTarget(target.path);
  request += StrPrintf(" HTTP/1.1\r\nUser-Agent: %s\r\nAccept: */*\r\n", kHttpUserAgent);
  if (!keepAlive) request += "Connection: close\r\n";
  if (target.hasCredentials)
    request += "Authorization: Basic " + Base64Encode(target.user + ":" + target.password) + "\r\n";
  request += "Host: " + target.host;
  if (target.port != (target.ssl ? 443 : 80)) request += StrPrintf(":%u", target.port);
  request += "\r\n\r\n";
  return request;
}

// An HTTP/1.1 answer without "Connection: close" leaves its connection in the caller's slot.
void KeepForSlot(KeepAliveSlot* slot, Connection& conn, std::string_view raw, std::string_view header) {
  if (slot == nullptr || raw.compare(0, 8, "HTTP/1.1") != 0) return;
  auto connection = HttpHeaderValue(header, "Connection:", 100);
  if (connection && StartsWithNoCase(*connection, "close")) return;
  slot->socket = conn.socket.release();
  slot->ssl = std::exchange(conn.ssl, nullptr);
  WriteDebugLog(kLabel, "Saving keep-alive socket");
}

// Sends the request and reads the answer (raw, its header headerLength long). A kept
// connection that fails is replaced by a new one, once.
bool Exchange(const ParsedUrl& target, const ProxyTarget& proxy, const RetrieveOptions& o, std::string& raw,
              size_t& headerLength) {
  const uint32_t timeoutMs = (o.timeoutSeconds == 0 ? 1 : o.timeoutSeconds) * 1000;
  const std::string request = BuildRequest(target, proxy.use, o.slot != nullptr);
  Connection conn;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool reused = TakeSlotConnection(o.slot, conn);
    if (!reused && !OpenConnection(target, proxy, timeoutMs, conn, o.errorText)) return false;
    WriteDebugLog(kLabel, request);
    if (SendData(conn.socket.get(), conn.ssl, request) &&
        HttpResponseWait(conn.socket.get(), conn.ssl, raw, false, o.timeoutSeconds) != 0) {
      break;
    }
    conn.Close();
    raw.clear();
    if (!reused) break;
    WriteDebugLog(kLabel, "Keep-alive failed, opening new connection");
  }
  if (raw.empty()) {
    WriteDebugLog(kLabel, "HTTP timeout error or invalid server response");
    SetError(o.errorText, "HTTP timeout error or invalid server response");
    return false;
  }
  // Masked before the cut, which could split a secret.
  if (DebugSettings.Debug.load()) WriteDebugLog(kLabel, MaskSecrets(raw).substr(0, 4096));
  headerLength = HttpHeaderLength(raw);
  if (headerLength == 0) headerLength = raw.size();
  KeepForSlot(o.slot, conn, raw, std::string_view(raw).substr(0, headerLength));
  return true;
}

// The URL a redirect leads to. The credentials go along only to the same host, and never
// from https to http.
std::string RedirectUrl(std::string_view location, const std::string& url, const ParsedUrl& target) {
  std::string next = RedirectTarget(location, url);
  if (next.find("://") == std::string::npos) next = "http://" + next;
  if (!target.hasCredentials) return next;
  std::string oldHost = HostWithoutPort(UrlHostPart(url).substr(url.find("://") + 3));
  std::string nextHostPart = UrlHostPart(next);
  std::string newHost = HostWithoutPort(nextHostPart.substr(nextHostPart.find("://") + 3));
  bool downgrade = StartsWithNoCase(url, "https://") && !StartsWithNoCase(next, "https://");
  if (nextHostPart.find('@') == std::string::npos && EqualsNoCase(oldHost, newHost) && !downgrade) {
    WriteDebugLog(kLabel, "Re-using Authorization header on redirect request");
    std::string credentials = target.user + ":" + target.password + "@";
    next.insert(next.find("://") + 3, credentials);
  } else {
    WriteDebugLog(kLabel, "Old Host: " + oldHost);
    WriteDebugLog(kLabel, "New Host: " + newHost);
  }
  return next;
}

bool Retrieve(std::string_view urlIn, HttpResponse& response, const RetrieveOptions& o, uint32_t redirectDepth) {
  response = HttpResponse{};
  std::string url;
  ParsedUrl target;
  if (!PrepareTarget(urlIn, url, target, o.errorText)) return false;
  std::string raw;
  size_t headerLength = 0;
  if (!Exchange(target, ProxyFor(o.proxy, target), o, raw, headerLength)) return false;

  std::string_view header = std::string_view(raw).substr(0, headerLength);
  response.contentType = HttpHeaderValue(header, "Content-Type:", 100).value_or("");
  response.headerLength = headerLength;
  response.bodyLength = raw.size() - headerLength;
  size_t sp = raw.find(' ');
  char statusClass = sp != std::string::npos && sp + 1 < headerLength ? raw[sp + 1] : '\0';
  std::string code;
  for (size_t i = sp == std::string::npos ? headerLength : sp + 1; i < headerLength && isdigit(uint8_t(raw[i])); ++i)
    code += raw[i];
  auto location = HttpHeaderValue(header, "Location:", 2048, true);
  response.text = std::move(raw);

  if (statusClass == '2') {
    WriteDebugLog(kLabel, "got success response");
    return true;
  }
  bool redirect = statusClass == '3' && location && !location->empty();
  if (redirect && redirectDepth + 1 < kMaxRedirects) {
    WriteDebugLog(kLabel, "got redirection response");
    RetrieveOptions next = o;
    next.slot = nullptr;
    return Retrieve(RedirectUrl(*location, url, target), response, next, redirectDepth + 1);
  }
  if (!code.empty() && o.acceptErrorStatus && !redirect) {
    WriteDebugLog(kLabel, "got http error response");
    return true;
  }
  std::string text = "HTTP Response Error Code " + (code.empty() ? std::string("unknown") : code);
  WriteDebugLog(kLabel, text);
  SetError(o.errorText, text);
  return false;
}
}  // namespace

void CloseKeepAliveSlot(KeepAliveSlot& slot) {
  if (slot.ssl != nullptr && SealCalls.Available) SealCalls.sslFreeSession(slot.ssl);
  slot.ssl = nullptr;
  if (slot.socket >= 0) close(slot.socket);
  slot.socket = -1;
}

std::string UrlHostPart(std::string_view url) {
  std::string out(url);
  size_t scheme = out.find("://");
  size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  size_t slash = out.find('/', from);
  if (slash != std::string::npos) out.resize(slash);
  return out;
}

bool RetrieveURL(std::string_view url, HttpResponse& response, const RetrieveOptions& options) {
  return Retrieve(url, response, options, 0);
}
