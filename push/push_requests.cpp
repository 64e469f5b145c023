#include "push/push_requests.h"

#include "config/settings.h"
#include "push/push_settings.h"
#include "push/push_delivery.h"
#include "push/push_pdu.h"
#include "push/wbxml.h"
#include "push/wsp.h"
#include "push/xml_reader.h"
#include "runtime/config_access.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/names.h"
#include "runtime/text_helpers.h"
#include "store/unique_ids.h"

namespace {
using Kind = PushRequestOutcome::Kind;

PushRequestOutcome Invalid(std::string text) {
  PushRequestOutcome o;
  o.kind = Kind::Invalid;
  o.text = std::move(text);
  return o;
}

std::string Param(const ParameterReader& get, std::string_view name, size_t max) {
  auto v = get(name, max);
  return v ? *v : std::string();
}

// The push headers of a request: the parameter, else the setting.
void InitiatorAndFlag(const ParameterReader& get, std::string& initiator, std::string& flag) {
  auto i = get("WAPPushInitiatorURI", 250);
  initiator = i ? *i : PushSettings().initiatorUri;
  auto f = get("WAPPushFlag", 50);
  flag = f ? *f : PushSettings().pushFlag;
}

// A settings kind: its content type, application id header, ports and log type.
struct SettingsKind {
  const char* root;
  std::string media;   // encoded: a code octet, a long integer or a text and its NUL
  std::string params;  // encoded
  bool general;        // the value-length form even without parameters
  std::string headers;
  const char* udh;
  const char* logType;
};

std::string Text0(const char* t) { return std::string(t) + '\0'; }

const SettingsKind& KindOf(std::string_view root, bool bookmarks, bool pocGroup) {
  static const std::string kUtf8 = "\x81\xEA";
  static const SettingsKind kKinds[] = {
      {"CHARACTERISTIC-LIST", Text0("application/x-wap-prov.browser-settings"), kUtf8, true, "", "060504C34FC002",
       "WAPOTA"},
      {"CHARACTERISTIC-LIST", Text0("application/x-wap-prov.browser-bookmarks"), kUtf8, true, "", "060504C34FC002",
       "WAPOTA"},
      {"CHARACTERISTIC-LIST", Text0("application/x-wap-prov.browser-settings"), kUtf8, true, "", "060504C34DC34D",
       "WAPOTA"},
      {"SyncSettings", std::string("\x02\x02\x0B", 3), kUtf8, true, "", "060504C34CC002", "WAPOTASyncML"},
      {"WVSettings", Text0("application/x-vnd.wv.csp-prov.ota+wbxml"), kUtf8, true, "", "060504C34D23F0",
       "WAPOTAIMPS"},
      {"wap-provisioningdoc", "\xB6", "", false, "", "0605040B8423F0", "OTAOMA"},
      {"si", "\xAE", kUtf8, false, "", "0605040B8423F0", "WAPOTA"},
      {"sl", "\xB0", "", false, "", "0605040B8423F0", "WAPOTA"},
      {"co", "\xB2", "", false, "", "0605040B8423F0", "WAPOTA"},
      {"o-ex:rights", "\xCB", "", false, "\xAF\x88", "0605040B8423F0", "WAPOTA"},
      {"roap:roapTrigger", std::string("\x02\x03\x16", 3), "", true, "\xAF\x88", "0605040B8423F0", "WAPOTA"},
      {"emn", Text0("application/vnd.wap.emn+wbxml"), "", false, "\xAF\x89", "0605040B8423F0", "WAPOTA"},
      {"SyncML", Text0("application/vnd.syncml+wbxml"), "", false, "\xAF\x85", "0605040B8423F0", "WAPOTA"},
  };
  if (root == "CHARACTERISTIC-LIST") return kKinds[bookmarks ? 1 : pocGroup ? 2 : 0];
  for (const SettingsKind& k : kKinds)
    if (root == k.root) return k;
  return kKinds[5];
}

bool IsPocGroup(std::string_view xml) {
  return xml.find("APPID") != std::string_view::npos && xml.find("w-nokia-poc-group") != std::string_view::npos;
}

// Compiles a settings document, wraps it in its push and delivers it.
PushRequestOutcome SendSettings(const std::string& xml, bool bookmarks, Submission base, const ParameterReader& get,
                                const char* unreadable) {
  if (get("OTA_SUBMIT_VIEWXML", 16)) {
    PushRequestOutcome o;
    o.kind = Kind::ShowDocument;
    o.document = xml;
    return o;
  }
  XmlNode root;
  std::string error;
  if (!ParseXml(xml, root, error)) return Invalid(unreadable);
  std::string rootName = root.name == "wap-provisioning" ? "wap-provisioningdoc" : root.name;
  const WbxmlLanguage* language = WbxmlLanguageOf(rootName);
  if (!language) return Invalid(unreadable);
  uint8_t version = rootName == "CHARACTERISTIC-LIST" ? 0x01 : PushSettings().wbxmlVersion;
  std::string wbxml;
  if (!CompileWbxml(root, *language, version, 0x6A, wbxml, error)) return Invalid(error);
  const SettingsKind& kind = KindOf(rootName, bookmarks, IsPocGroup(xml));
  PushSecurity security{Param(get, "OTAPIN", 150), Param(get, "OTAPINTYPE", 20)};
  std::string params = kind.params;
  if (!security.pin.empty() && !SecurityParameters(security, wbxml, LibraryMac, params, error)) return Invalid(error);
  std::string field;
  if (params.empty() && !kind.general) {
    field = kind.media;
  } else {
    AppendValueLength(field, kind.media.size() + params.size());
    field += kind.media + params;
  }
  std::string initiator, flag;
  InitiatorAndFlag(get, initiator, flag);
  std::string headers = field + kind.headers + InitiatorHeader(initiator) + PushFlagHeader(flag);
  PushDelivery d;
  d.pdu = std::string(1, static_cast<char>(NextConcatReference())) + '\x06' + HeadersBlock(headers) + wbxml;
  d.portUdh = kind.udh;
  d.logType = kind.logType;
  d.keepWhole = Settings.SendLongMessagesAsIs;
  d.ipNotify = true;
  PushRequestOutcome o;
  o.result = DeliverPush(std::move(base), d);
  return o;
}

PushRequestOutcome UrlPush(Submission base, const ParameterReader& get) {
  UrlPushRequest r;
  r.url = Param(get, "WAPURL", 1023);
  r.sl = get("WAPSL", 16).has_value();
  r.slAction = Param(get, "WAPSLACTION", 50);
  r.siId = Param(get, "WAPSIID", 255);
  r.siAction = Param(get, "WAPSIACTION", 50);
  r.siExpires = Param(get, "WAPSIEXPIRES", 50);
  r.siCreated = Param(get, "WAPSICREATED", 50);
  r.text = Param(get, "Text", kDataMax);
  InitiatorAndFlag(get, r.initiatorUri, r.pushFlag);
  r.includeDate = PushSettings().includeDate;
  r.useUtf8 = PushSettings().useUtf8;
  r.wbxmlVersion = PushSettings().wbxmlVersion;
  r.transactionId = NextConcatReference();
  r.now = time(nullptr);
  if (r.includeDate) {
    struct tm local;
    localtime_r(&r.now, &local);
    r.now += local.tm_gmtoff;  // the local time, as the handset shows it
  }
  PushDelivery d;
  d.pdu = UrlPushPdu(r);
  d.keepWhole = Settings.SendLongMessagesAsIs;
  PushRequestOutcome o;
  o.result = DeliverPush(std::move(base), d);
  return o;
}

PushRequestOutcome AdvancedPush(Submission base, const ParameterReader& get) {
  std::string type = Param(get, "WAPPUSHADV_CONTENT_TYPE", 500);
  std::string content = Param(get, "WAPPUSHADV_CONTENT", 32768);
  std::string encoding = Param(get, "WAPPUSHADV_CONTENT_ENCODING", 50);
  PushContentKind kind = EqualsNoCase(encoding, "HEX")   ? PushContentKind::Hex
                         : EqualsNoCase(encoding, "XML") ? PushContentKind::Xml
                                                         : PushContentKind::Text;
  PushBuildOptions options;
  options.transactionId = NextConcatReference();
  options.wbxmlVersion = PushSettings().wbxmlVersion;
  options.maximum = 32768;
  std::string initiator, flag;
  InitiatorAndFlag(get, initiator, flag);
  std::string headers = Param(get, "WAPPUSHADV_HEADERS", 2048);
  if (!initiator.empty() && FindNoCase(headers, "X-WAP-Initiator-URI") == std::string::npos)
    headers += "\r\nX-WAP-Initiator-URI: " + initiator;
  if (!flag.empty() && FindNoCase(headers, "Push-Flag") == std::string::npos) headers += "\r\nPush-Flag: " + flag;
  PushSecurity security{Param(get, "OTAPIN", 150), Param(get, "OTAPINTYPE", 20)};
  PushDelivery d;
  std::string error;
  if (!CreateWAPPushBinary(type, content, kind, Param(get, "WAPPUSHADV_XWAPAPPID", 500), headers, security, options,
                           d.pdu, error)) {
    WriteDebugLog("CreateWAPPushBinary", error);
    return Invalid(error);
  }
  d.keepWhole = Settings.SendLongMessagesAsIs;
  PushRequestOutcome o;
  o.result = DeliverPush(std::move(base), d);
  return o;
}

// The bookmark of WAPBookmark and Text, built directly.
PushRequestOutcome BookmarkPush(Submission base, const ParameterReader& get) {
  std::string url = Param(get, "WAPBookmark", 1023);
  if (url.find("://") == std::string::npos) url = "http://" + url;
  std::string name = Param(get, "Text", 255);
  std::string xml = "<CHARACTERISTIC-LIST>\r\n<CHARACTERISTIC TYPE=\"BOOKMARK\">\r\n<PARM NAME=\"NAME\" VALUE=\"" +
                    XmlEscape(name) + "\"/>\r\n<PARM NAME=\"URL\" VALUE=\"" + XmlEscape(url) +
                    "\"/>\r\n</CHARACTERISTIC>\r\n</CHARACTERISTIC-LIST>\r\n";
  return SendSettings(xml, true, std::move(base), get, "Invalid Format for OTA File");
}

bool HasImParameter(const ParameterReader& get) {
  for (const char* name : {"OTAIMPS_NAME", "OTAIMPS_HOSTADDR", "OTAIMPS_USERNAME", "OTAIMPS_PASSWORD",
                           "OTAIMPS_CONNREF"})
    if (get(name, 16)) return true;
  return false;
}

PushRequestOutcome SettingsPush(Submission base, const ParameterReader& get, bool post) {
  std::string xml, error;
  // Forms in their order: a stored file, a POST body, browser, SyncML, IM, OMA parameters.
  auto stored = get("OTA", 255);
  bool bookmark = false;
  if (!stored) {
    stored = get("OTABookmark", 255);
    bookmark = stored.has_value();
  }
  if (stored) {
    std::string name(Trim(*stored));
    if (!IsSafePathName(name)) return Invalid("OTA File Not Found");
    std::string path = RealProgramDirectory() + "OTA/" + name + (bookmark ? ".BM" : ".OTA");
    if (!ReadWholeFile(path, xml, 1u << 20)) return Invalid("OTA File Not Found");
    std::string root = RootElementName(xml);
    if (!WbxmlLanguageOf(root)) return Invalid("Invalid Format for OTA File");
    return SendSettings(xml, bookmark, std::move(base), get, "Invalid Format for OTA File");
  }
  if (auto body = get("OTAXMLSettings", 65536); body && post) {
    std::string root = RootElementName(*body);
    if (!WbxmlLanguageOf(root))
      return Invalid(
          "<CHARACTERISTIC-LIST> or <SyncSettings> or <wap-provisioningdoc> or <o-ex:rights> or <emn> or <si> or "
          "<sl> header missing in POST data");
    return SendSettings(*body, false, std::move(base), get, "Invalid Format for OTA File");
  }
  for (const char* trigger : {"OTA_BEARER", "OTA_NAME", "OTA_URL", "OTA_MMSURL"})
    if (get(trigger, 16)) {
      if (!BrowserSettingsDocument(get, xml, error)) return Invalid(error);
      return SendSettings(xml, false, std::move(base), get, "Invalid Format for OTA File");
    }
  if (get("OTASyncML", 16)) {
    if (!SyncSettingsDocument(get, xml, error)) return Invalid(error);
    return SendSettings(xml, false, std::move(base), get, "Invalid format for OTA SyncML File");
  }
  if (HasImParameter(get)) {
    if (!ImSettingsDocument(get, xml, error)) return Invalid(error);
    return SendSettings(xml, false, std::move(base), get, "Invalid Format for OTA IMPS File");
  }
  if (get("OTAOMA", 16) || get("OMAOTA", 16)) {
    if (!OmaProvisioningDocument(get, xml, error)) return Invalid(error);
    return SendSettings(xml, false, std::move(base), get, "Invalid format for OTA OMA File");
  }
  if (get("OTAXMLSettings", 16)) return Invalid("OTAXMLSettings must be sent in a POST request");
  return Invalid("OTA parameter missing");
}
}  // namespace

bool IsPushTrigger(std::string_view s) {
  for (const char* name : {"WAPURL", "WAPPUSHADV_CONTENT_TYPE", "WAPBookmark", "OTA", "OTASyncML", "OTAOMA", "OMAOTA",
                           "OTAXMLSettings", "OTABookmark", "OTA_BEARER", "OTA_NAME", "OTA_URL", "OTA_MMSURL",
                           "OTAIMPS"})
    if (s == name) return true;
  return false;
}

PushRequestOutcome HandlePushRequest(const std::string& special, Submission base, const ParameterReader& get,
                                     bool post) {
  if (special == "WAPURL") return UrlPush(std::move(base), get);
  if (special == "WAPPUSHADV_CONTENT_TYPE") return AdvancedPush(std::move(base), get);
  if (special == "WAPBookmark") return BookmarkPush(std::move(base), get);
  return SettingsPush(std::move(base), get, post);
}
