#include "httpclient/http_client.h"

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

void CloseOwned(UniqueFd& socket, void*& ssl) {
  if (ssl != nullptr && SealCalls.Available) SealCalls.sslFreeSession(ssl);
  ssl = nullptr;
  socket.reset();
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

bool RetrieveURL(std::string_view urlIn, std::string_view proxy, HttpResponse& response, uint32_t redirectDepth,
                 bool acceptErrorStatus, KeepAliveSlot* slot, uint32_t timeoutSeconds, std::string* errorText) {
  response = HttpResponse{};
  std::string url(TrimRight(urlIn));
  if (url.find("://") == std::string::npos) url = "http://" + url;
  WriteDebugLogf(kLabel, "Retrieving %s", url.c_str());
  bool sslRequest;
  if (StartsWithNoCase(url, "https://")) sslRequest = SealCalls.Available;
  else if (StartsWithNoCase(url, "http://")) sslRequest = false;
  else return false;
  ParsedUrl target;
  if (!ParseUrl(url, sslRequest, target)) {
    // The text reaches clients and the event log.
    SetError(errorText, "DNS Lookup failed for " + MaskSecrets(url));
    return false;
  }
  std::string proxyHost;
  uint16_t proxyPort = 80;
  bool useProxy = ParseProxy(proxy, proxyHost, proxyPort) && !StartsWithNoCase(target.host, "127.0.0.");
  const uint32_t timeoutMs = (timeoutSeconds == 0 ? 1 : timeoutSeconds) * 1000;

  UniqueFd socket;
  void* ssl = nullptr;
  bool reused = false;
  std::string raw;
  for (int attempt = 0; attempt < 2; ++attempt) {
    reused = false;
    if (slot != nullptr && slot->socket >= 0) {
      if (SocketStillOpen(slot->socket)) {
        socket.reset(slot->socket);
        ssl = slot->ssl;
        *slot = KeepAliveSlot{};
        reused = true;
        WriteDebugLog(kLabel, "Using keep-alive socket");
      } else {
        CloseKeepAliveSlot(*slot);
        WriteDebugLog(kLabel, "Keep-alive socket failed, opening new connection");
      }
    }
    if (!reused) {
      const std::string& connectHost = useProxy ? proxyHost : target.host;
      ConnectFailure failure;
      socket = ConnectTcp(connectHost, useProxy ? proxyPort : target.port, timeoutMs, failure);
      if (!socket) {
        if (failure == ConnectFailure::Lookup) {
          std::string text = StrPrintf("DNS Lookup failed for %s", connectHost.c_str());
          WriteDebugLog(kLabel, text);
          SetError(errorText, text);
        } else if (failure == ConnectFailure::Connect) {
          std::string text = StrPrintf("HTTP Connection failed for %s", connectHost.c_str());
          WriteDebugLog(kLabel, text);
          SetError(errorText, text);
        }
        return false;
      }
      if (target.ssl) {
        if (useProxy) {
          std::string connect = StrPrintf("CONNECT %s:%u HTTP/1.1\r\n\r\n", target.host.c_str(), target.port);
          std::string answer;
          bool accepted = SendData(socket.get(), nullptr, connect) &&
                          HttpResponseWait(socket.get(), nullptr, answer, true, 30) != 0;
          unsigned status = 0;
          if (accepted) {
            size_t sp = answer.find(' ');
            for (size_t i = sp == std::string::npos ? answer.size() : sp + 1;
                 i < answer.size() && answer[i] >= '0' && answer[i] <= '9' && status < 1000; ++i)
              status = status * 10 + unsigned(answer[i] - '0');
          }
          if (!accepted || status == 0 || status >= 300) {
            WriteDebugLog(kLabel, "Proxy Server rejected SSL/TLS connection attempt");
            if (!answer.empty()) WriteDebugLog(kLabel, answer);
            SetError(errorText, "Proxy Server rejected SSL/TLS connection attempt");
            return false;
          }
        }
        char text[500] = {0};
        ssl = SealCalls.sslInitSession(socket.get(), target.host.c_str(), text, sizeof text, timeoutMs);
        WriteDebugLog(kLabel, "Using SSL");
        if (text[0] != '\0') WriteDebugLog(kLabel, text);
        if (ssl == nullptr) {
          SetError(errorText, StrPrintf("SSL/TLS Error - %s", text));
          return false;
        }
      }
    }

    std::string request = "GET ";
    if (!target.ssl && useProxy) {
      request += "http://" + target.host;
      if (target.port != 80) request += StrPrintf(":%u", target.port);
    }
    request += "/" + EncodeRequestTarget(target.path);
    request += StrPrintf(" HTTP/1.1\r\nUser-Agent: %s\r\nAccept: */*\r\n", kHttpUserAgent);
    if (slot == nullptr) request += "Connection: close\r\n";
    if (target.hasCredentials)
      request += "Authorization: Basic " + Base64Encode(target.user + ":" + target.password) + "\r\n";
    request += "Host: " + target.host;
    if (target.port != (target.ssl ? 443 : 80)) request += StrPrintf(":%u", target.port);
    request += "\r\n\r\n";
    WriteDebugLog(kLabel, request);

    size_t got = 0;
    if (SendData(socket.get(), ssl, request)) got = HttpResponseWait(socket.get(), ssl, raw, false, timeoutSeconds);
    if (got != 0) break;
    if (reused) {
      CloseOwned(socket, ssl);
      WriteDebugLog(kLabel, "Keep-alive failed, opening new connection");
      continue;
    }
    CloseOwned(socket, ssl);
    WriteDebugLog(kLabel, "HTTP timeout error or invalid server response");
    SetError(errorText, "HTTP timeout error or invalid server response");
    return false;
  }
  if (raw.empty()) {
    CloseOwned(socket, ssl);
    SetError(errorText, "HTTP timeout error or invalid server response");
    return false;
  }

  // Masked before the cut, which could split a secret.
  if (DebugSettings.Debug.load()) WriteDebugLog(kLabel, MaskSecrets(raw).substr(0, 4096));
  size_t headerLength = HttpHeaderLength(raw);
  if (headerLength == 0) headerLength = raw.size();
  std::string_view header = std::string_view(raw).substr(0, headerLength);
  if (slot != nullptr && raw.compare(0, 8, "HTTP/1.1") == 0) {
    auto connection = HttpHeaderValue(header, "Connection:", 100);
    if (!connection || !StartsWithNoCase(*connection, "close")) {
      slot->socket = socket.release();
      slot->ssl = ssl;
      ssl = nullptr;
      WriteDebugLog(kLabel, "Saving keep-alive socket");
    }
  }
  CloseOwned(socket, ssl);

  response.contentType = HttpHeaderValue(header, "Content-Type:", 100).value_or("");
  response.headerLength = headerLength;
  response.bodyLength = raw.size() - headerLength;
  size_t sp = raw.find(' ');
  char statusClass = sp != std::string::npos && sp + 1 < headerLength ? raw[sp + 1] : '\0';
  std::string code;
  for (size_t i = sp == std::string::npos ? headerLength : sp + 1; i < headerLength && isdigit(uint8_t(raw[i])); ++i)
    code += raw[i];
  response.text = std::move(raw);

  if (statusClass == '2') {
    WriteDebugLog(kLabel, "got success response");
    return true;
  }
  auto location = HttpHeaderValue(header, "Location:", 2048, true);
  if (statusClass == '3' && location && !location->empty() && redirectDepth + 1 < kMaxRedirects) {
    WriteDebugLog(kLabel, "got redirection response");
    std::string next = RedirectTarget(*location, url);
    if (next.find("://") == std::string::npos) next = "http://" + next;
    if (target.hasCredentials) {
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
    }
    HttpResponse followed;
    bool ok = RetrieveURL(next, proxy, followed, redirectDepth + 1, acceptErrorStatus, nullptr, timeoutSeconds,
                          errorText);
    response = std::move(followed);
    return ok;
  }
  bool unfollowedRedirect = statusClass == '3' && location && !location->empty();
  if (!code.empty() && acceptErrorStatus && !unfollowedRedirect) {
    WriteDebugLog(kLabel, "got http error response");
    return true;
  }
  std::string text = "HTTP Response Error Code " + (code.empty() ? std::string("unknown") : code);
  WriteDebugLog(kLabel, text);
  SetError(errorText, text);
  return false;
}
