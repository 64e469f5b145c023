#include "smsc/http/http_request.h"

#include "config/settings.h"
#include "gsm/code_pages.h"
#include "httpclient/http_client.h"
#include "httpclient/http_text.h"
#include "runtime/base64.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
constexpr const char* kHidden = "********";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string WithoutLeadingPlus(std::string text, bool removePlus) {
  if (removePlus && !text.empty() && text[0] == '+') text.erase(0, 1);
  return text;
}

// The message text in the configured character set (UTF-8 when none or "utf-8").
std::string TextInCharset(const SmsMessageRecord& m, const std::string& charset) {
  std::string data = m.Data;
  if (m.Binary) return data;
  QueueTextToUtf8(data);
  if (charset.empty() || EqualsNoCase(charset, "utf-8") || EqualsNoCase(charset, "utf8")) return data;
  unsigned codePage = CodePageForCharset(charset);
  if (codePage == 0) {
    WriteDebugLog("HTTPSMSC", "Unknown Charset " + charset + ", text sent as UTF-8");
    return data;
  }
  UTF8ToLocalString(data, data.size() * 4 + 16, codePage);
  return data;
}

std::string ExtraArgument(const SmsMessageRecord& m, std::string_view name) {
  for (const auto& [key, value] : m.ExtraArguments) {
    if (EqualsNoCase(key, name)) return value;
  }
  return "";
}

bool IsExtraName(std::string_view name) {
  for (const std::string& extra : Settings.ExtraHttpArgList) {
    if (EqualsNoCase(extra, name)) return true;
  }
  return false;
}
}  // namespace

std::string ExpandTokens(std::string_view text,
                         const std::function<std::optional<std::string>(std::string_view name)>& value) {
  std::string out;
  out.reserve(text.size() + 64);
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find("@@", i);
    if (open == std::string_view::npos) break;
    while (open + 2 < text.size() && text[open + 2] == '@') ++open;
    size_t close = text.find("@@", open + 2);
    if (close == std::string_view::npos) break;
    std::optional<std::string> v = close > open + 2 ? value(text.substr(open + 2, close - open - 2)) : std::nullopt;
    if (v) {
      out.append(text.substr(i, open - i));
      out += *v;
      i = close + 2;
    } else {
      // Not a token: its closing at-signs may open the next one.
      out.append(text.substr(i, close - i));
      i = close;
    }
  }
  out.append(text.substr(std::min(i, text.size())));
  return out;
}

std::string HexPairsEscaped(std::string_view hex) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  int high = -1;
  for (char c : hex) {
    int d = HexDigit(c);
    if (d < 0) continue;
    if (high < 0) {
      high = d;
      continue;
    }
    out += '%';
    out += kHex[high];
    out += kHex[d];
    high = -1;
  }
  return out;
}

std::optional<uint16_t> UdhDestinationPort(std::string_view udhHex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < udhHex.size(); i += 2) {
    int h = HexDigit(udhHex[i]), l = HexDigit(udhHex[i + 1]);
    if (h < 0 || l < 0) break;
    bytes += char(h * 16 + l);
  }
  if (bytes.empty()) return std::nullopt;
  size_t end = std::min(bytes.size(), size_t(uint8_t(bytes[0])) + 1);
  for (size_t p = 1; p + 1 < end;) {
    uint8_t iei = uint8_t(bytes[p]), len = uint8_t(bytes[p + 1]);
    if (p + 2 + len > end) break;
    if (iei == 0x05 && len == 4) return uint16_t(uint8_t(bytes[p + 2]) << 8 | uint8_t(bytes[p + 3]));
    if (iei == 0x04 && len == 2) return uint16_t(uint8_t(bytes[p + 2]));
    p += 2 + len;
  }
  return std::nullopt;
}

std::string HttpHostText(const std::string& host, uint16_t port, bool tls) {
  if (port == (tls ? 443 : 80)) return host;
  return StrPrintf("%s:%u", host.c_str(), port);
}

BuiltHttpRequest BuildHttpSmscRequest(const HttpRequestParts& parts, const SmsMessageRecord& m,
                                      const SubmitRequest& r) {
  const HttpSmscSettings& s = *parts.settings;
  const std::string& path = m.Binary ? s.templateBinary : s.templateText;
  size_t udhOctets = m.UDH.size() / 2;
  std::optional<uint16_t> destPort = UdhDestinationPort(m.UDH);
  std::optional<std::string> data;  // converted once, for "@@Text@@" and "@@Data@@"
  bool hide = false;                // the log's copy
  auto token = [&](std::string_view name) -> std::optional<std::string> {
    auto is = [&](std::string_view n) { return EqualsNoCase(name, n); };
    if (is("UserName")) return UrlEscape(s.userName);
    if (is("Password")) return hide ? kHidden : UrlEscape(s.password);
    if (is("PhoneNumber")) return UrlEscape(WithoutLeadingPlus(r.recipient, s.removePlus));
    if (is("Sender")) return UrlEscape(WithoutLeadingPlus(r.sender, s.removePlus));
    if (IsExtraName(name)) return UrlEscape(ExtraArgument(m, name));
    if (is("CDMAWAPPDU") || is("CDMAWAPMMTS")) return std::string();
    if (is("Text") || is("Data")) {
      if (!data) data = TextInCharset(m, s.charset);
      return UrlEscape(*data);
    }
    if (is("UDH")) return UrlEscape(m.UDH);
    if (is("UDHLendecimal")) return std::to_string(udhOctets);
    if (is("UDHLen")) return StrPrintf("%02X", unsigned(udhOctets));
    if (is("PID")) return StrPrintf("%X", m.Pid);
    if (is("DCS")) return StrPrintf("%X", m.Dcs);
    if (is("PIDdecimal")) return std::to_string(m.Pid);
    if (is("DCSdecimal")) return std::to_string(m.Dcs);
    if (is("UDHDestPort")) return destPort ? StrPrintf("%04X", *destPort) : std::string();
    if (is("UDHDestPortDecimal")) return destPort ? std::to_string(*destPort) : std::string();
    if (is("UDHBin")) return HexPairsEscaped(m.UDH);
    if (is("DataBin")) return HexPairsEscaped(m.Data);
    if (is("ServiceType")) return UrlEscape(m.ServiceType);
    if (is("ReceiptRequested")) {
      return std::string(m.MessageFlags & (kMsgReceiptRequested | kMsgNonDelReceiptRequested) ? "Yes" : "No");
    }
    if (is("SubmitUser")) return UrlEscape(m.SubmitUser);
    if (is("SubmitPassword")) {
      if (hide) return kHidden;
      return UrlEscape(parts.submitPassword ? parts.submitPassword() : std::string());
    }
    if (is("MessageID")) return UrlEscape(r.gatewayMessageId);
    return std::nullopt;
  };
  auto compose = [&](const std::string& target) {
    std::string out;
    if (parts.throughPlainProxy) {
      out = StrPrintf("GET http://%s%s HTTP/1.1\r\nUser-Agent: %s\r\n", parts.host.c_str(), target.c_str(),
                      kHttpUserAgent);
    } else {
      out = StrPrintf("GET %s HTTP/1.1\r\nUser-Agent: %s\r\nHost: %s\r\n", target.c_str(), kHttpUserAgent,
                      parts.host.c_str());
    }
    if (s.useAuth) {
      out += "Authorization: Basic " + (hide ? std::string(kHidden) : Base64Encode(s.userName + ":" + s.password)) +
             "\r\n";
    }
    out += "Accept: */*\r\n";
    out += s.useKeepAlive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    return out;
  };
  BuiltHttpRequest built;
  built.usesMessageId = FindToken(path, "@@MessageID@@") != std::string::npos;
  built.text = compose(ExpandTokens(path, token));
  hide = true;
  built.logText = compose(ExpandTokens(path, token));
  return built;
}
