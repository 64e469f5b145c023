#include "push/push_pdu.h"

#include "outside/outside_tables.h"
#include "push/wbxml.h"
#include "push/wsp.h"
#include "runtime/debug_log.h"
#include "runtime/hex_text.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
using GenerateHmacFn = int (*)(const unsigned char*, int, const unsigned char*, int, char*);

struct BinaryType { const char* root; const char* textual; const char* binary; };
// The binary content type of a compiled document, by its root element.
constexpr BinaryType kCompiledTypes[] = {
    {"si", "text/vnd.wap.si", "application/vnd.wap.sic"},
    {"sl", "text/vnd.wap.sl", "application/vnd.wap.slc"},
    {"co", "text/vnd.wap.co", "application/vnd.wap.coc"},
    {"wap-provisioningdoc", "text/vnd.wap.connectivity-xml", "application/vnd.wap.connectivity-wbxml"},
    {"o-ex:rights", "application/vnd.oma.drm.rights+xml", "application/vnd.oma.drm.rights+wbxml"},
    {"roap:roapTrigger", "application/vnd.oma.drm.roap-trigger+xml", "application/vnd.oma.drm.roap-trigger+wbxml"},
    {"emn", "application/vnd.wap.emn+xml", "application/vnd.wap.emn+wbxml"},
    {"emn", "text/vnd.wap.emn+xml", "application/vnd.wap.emn+wbxml"},
    {"SyncML", "application/vnd.syncml+xml", "application/vnd.syncml+wbxml"}};

bool PlainAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  return true;
}

// The href token of a URL and what follows the prefix it stands for.
std::pair<uint8_t, std::string_view> HrefToken(std::string_view url, bool sl) {
  struct Prefix { const char* text; uint8_t si, sl; };
  static const Prefix kPrefixes[] = {{"http://www.", 0x0D, 0x0A},
                                     {"http://", 0x0C, 0x09},
                                     {"https://www.", 0x0F, 0x0C},
                                     {"https://", 0x0E, 0x0B}};
  for (const Prefix& p : kPrefixes)
    if (url.substr(0, std::string_view(p.text).size()) == p.text)
      return {sl ? p.sl : p.si, url.substr(std::string_view(p.text).size())};
  return {static_cast<uint8_t>(sl ? 0x08 : 0x0B), url};
}

void InlineText(std::string& out, std::string_view text) {
  out += '\x03';
  for (char c : text)
    if (c != '\0') out += c;
  out += '\0';
}
}  // namespace

std::optional<std::string> LibraryMac(std::string_view key, std::string_view body) {
  auto fn = OutsideLibraries.sign.Call<GenerateHmacFn>(sign::GenerateHMAC);
  if (fn == nullptr) return std::nullopt;
  char mac[41] = {};
  if (fn(reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(body.size()), mac) != 40)
    return std::nullopt;
  return std::string(mac, 40);
}

bool SecurityParameters(const PushSecurity& security, std::string_view body, const PushMacFunction& mac,
                        std::string& out, std::string& error) {
  std::string type(Trim(security.type));
  if (type.empty()) type = "USERPIN";
  std::string key;
  uint8_t sec;
  if (EqualsNoCase(type, "USERPIN") || EqualsNoCase(type, "USERPINMAC")) {
    sec = 0x81;
    key = security.pin;
  } else if (EqualsNoCase(type, "NETWPIN") || EqualsNoCase(type, "USERNETWPIN")) {
    sec = security.pin.find(':') != std::string::npos ? 0x82 : 0x80;
    key = NetworkPinKey(security.pin);
    WriteDebugLogf("CreateWAPPushBinary", "Encoded IMSI is %s", HexEncode(key).c_str());
  } else {
    error = "Invalid OTAPINTYPE (NETWPIN, USERPIN, USERNETWPIN or USERPINMAC): " + type;
    return false;
  }
  std::optional<std::string> code = mac ? mac(key, body) : std::nullopt;
  if (!code || code->size() != 40) {
    error = "A push with a PIN cannot be signed: the signing library (qarsign) or its GenerateHMAC is not available";
    return false;
  }
  out += '\x91';
  out += static_cast<char>(sec);
  out += '\x92';
  AppendText(out, *code);
  return true;
}

std::string HeadersBlock(std::string_view contentTypeAndHeaders) {
  std::string out;
  AppendUintvar(out, static_cast<uint32_t>(contentTypeAndHeaders.size()));
  out += contentTypeAndHeaders;
  return out;
}

std::string PushFlagHeader(std::string_view flag) {
  flag = Trim(flag);
  if (flag.empty()) return {};
  return std::string(1, '\xB4') + static_cast<char>((ParseDecimal(flag) & 0x7F) | 0x80);
}

std::string InitiatorHeader(std::string_view uri) {
  uri = Trim(uri);
  if (uri.empty()) return {};
  std::string out(1, '\xB1');
  AppendText(out, uri);
  return out;
}

bool CreateWAPPushBinary(std::string_view contentType, std::string_view content, PushContentKind kind,
                         std::string_view applicationId, std::string_view extraHeaders, const PushSecurity& security,
                         const PushBuildOptions& options, std::string& out, std::string& error) {
  out.clear();
  size_t maximum = options.maximum == 0 ? 1000 : options.maximum;
  size_t semi = contentType.find(';');
  std::string media(Trim(contentType.substr(0, semi)));
  std::string_view parameterText = semi == std::string_view::npos ? std::string_view() : contentType.substr(semi + 1);

  std::string body;
  if (kind == PushContentKind::Hex) {
    std::string hex;
    for (char c : content)
      if (static_cast<uint8_t>(c) > 32) hex += c;
    if (!IsHexText(hex)) {
      error = "Invalid hexadecimal push content";
      return false;
    }
    body = HexDecodeLeading(hex, hex.size() / 2);
  } else if (kind == PushContentKind::Xml) {
    std::string root = RootElementName(content);
    if (!WbxmlLanguageOf(root)) {
      error = "XML Content Not Recognised";
      return false;
    }
    bool utf8 = true;
    for (const std::string& p : SplitList(parameterText, ";")) {
      std::string_view item = Trim(p);
      if (StartsWithNoCase(item, "charset=")) {
        auto number = CharsetNumber(item.substr(8));
        utf8 = !number || *number == 106;
      }
    }
    if (!CompileXmlDocument(content, options.wbxmlVersion, utf8 ? 0x6A : 0x04, body, error)) return false;
    if (root == "wap-provisioning") root = "wap-provisioningdoc";
    for (const BinaryType& t : kCompiledTypes)
      if (root == t.root && (media.empty() || EqualsNoCase(media, t.textual) || EqualsNoCase(media, t.binary))) {
        media = t.binary;
        break;
      }
  } else {
    body = std::string(content);
  }

  std::string headers;
  for (const std::string& line : SplitList(extraHeaders, "\r\n")) headers += EncodeHeaderLine(line);
  headers += ApplicationIdHeader(applicationId);

  std::string parameters = ContentTypeParameters(parameterText);
  if (!security.pin.empty() && !SecurityParameters(security, body, options.mac, parameters, error)) return false;
  std::string typeAndHeaders = ContentTypeField(media, parameters) + headers;

  std::string before;
  before += static_cast<char>(options.transactionId);
  before += '\x06';
  AppendUintvar(before, static_cast<uint32_t>(typeAndHeaders.size()));
  if (before.size() + typeAndHeaders.size() + body.size() > maximum) {
    error = StrPrintf("Push data is too large (%u + %u + %u > %u)", static_cast<unsigned>(before.size()),
                      static_cast<unsigned>(typeAndHeaders.size()), static_cast<unsigned>(body.size()),
                      static_cast<unsigned>(maximum));
    return false;
  }
  out = before + typeAndHeaders + body;
  return true;
}

std::string UrlPushPdu(const UrlPushRequest& r) {
  std::string url = r.url;
  if (url.find("://") == std::string::npos) url = "http://" + url;
  std::string type;
  if (r.sl)
    type = "\xB0";
  else if (r.useUtf8 && !PlainAscii(r.text))
    type = std::string("\x03\xAE\x81\xEA", 4);
  else
    type = "\xAE";
  std::string headers = type;
  if (r.includeDate) {
    headers += '\x85';
    AppendLongInteger(headers, static_cast<uint64_t>(r.now));
  }
  headers += InitiatorHeader(r.initiatorUri);
  headers += PushFlagHeader(r.pushFlag);

  std::string pdu;
  pdu += static_cast<char>(r.transactionId);
  pdu += '\x06';
  pdu += HeadersBlock(headers);
  pdu += static_cast<char>(r.wbxmlVersion);
  pdu += r.sl ? '\x06' : '\x05';
  pdu += r.useUtf8 ? '\x6A' : '\x04';
  pdu += '\0';
  auto [token, rest] = HrefToken(url, r.sl);
  if (r.sl) {
    pdu += '\x85';
    pdu += static_cast<char>(token);
    InlineText(pdu, rest);
    if (EqualsNoCase(r.slAction, "execute-low")) pdu += '\x05';
    else if (EqualsNoCase(r.slAction, "execute-high")) pdu += '\x06';
    else if (EqualsNoCase(r.slAction, "cache")) pdu += '\x07';
    pdu += '\x01';
    return pdu;
  }
  pdu += "\x45\xC6";
  pdu += static_cast<char>(token);
  InlineText(pdu, rest);
  if (!r.siId.empty()) {
    pdu += '\x11';
    InlineText(pdu, r.siId);
  }
  static const std::pair<const char*, char> kActions[] = {{"signal-none", '\x05'}, {"signal-low", '\x06'},
                                                          {"signal-medium", '\x07'}, {"signal-high", '\x08'},
                                                          {"delete", '\x09'}};
  for (const auto& [name, code] : kActions)
    if (EqualsNoCase(r.siAction, name)) pdu += code;
  for (const auto& [value, code] : {std::pair<const std::string*, char>{&r.siExpires, '\x10'}, {&r.siCreated, '\x0A'}}) {
    if (value->empty()) continue;
    std::string date = PackedDate(*value);
    pdu += code;
    pdu += '\xC3';
    AppendUintvar(pdu, static_cast<uint32_t>(date.size()));
    pdu += date;
  }
  pdu += '\x01';
  InlineText(pdu, r.useUtf8 ? r.text : Utf8ToLatin1(r.text));
  pdu += "\x01\x01";
  return pdu;
}
