#include "push/settings_documents.h"

#include <arpa/inet.h>

#include <vector>

#include "config/value_checks.h"
#include "push/xml_reader.h"
#include "runtime/str_printf.h"
#include "runtime/text_helpers.h"

namespace {
struct Doc {
  std::string text;
  void Line(std::string_view l) {
    text += l;
    text += "\r\n";
  }
  void Parm(std::string_view name, std::string_view value) {
    Line("<PARM NAME=\"" + std::string(name) + "\" VALUE=\"" + XmlEscape(value) + "\"/>");
  }
  void Element(std::string_view name, std::string_view value) {
    Line("<" + std::string(name) + ">" + XmlEscape(value) + "</" + std::string(name) + ">");
  }
  void Parm1(std::string_view name, std::string_view value) {
    Line("<parm name=\"" + std::string(name) + "\" value=\"" + XmlEscape(value) + "\"/>");
  }
};

std::string Value(const ParameterReader& get, std::string_view name, size_t max) {
  auto v = get(name, max);
  return v ? std::string(Trim(*v)) : std::string();
}

bool OneOf(const std::string& value, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed)
    if (EqualsNoCase(value, a)) return true;
  return false;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

bool BrowserSettingsDocument(const ParameterReader& get, std::string& xml, std::string& error) {
  auto v = [&](const char* name) { return Value(get, name, 50); };
  auto url = [&](const char* name) { return Value(get, name, 100); };
  std::string bearer = Upper(v("OTA_BEARER")), name = v("OTA_NAME"), proxy = v("OTA_PROXY");
  std::string pppAuthType = Upper(v("OTA_PPP_AUTHTYPE")), pppLogin = Upper(v("OTA_PPP_LOGINTYPE"));
  std::string proxyLogin = Upper(v("OTA_PROXY_LOGINTYPE")), port = v("OTA_PORT");
  std::string callType = Upper(v("OTA_CSD_CALLTYPE")), callSpeed = Upper(v("OTA_CSD_CALLSPEED"));
  if (!get("OTA_BEARER", 50)) return error = "OTA_BEARER parameter missing", false;
  if (!OneOf(bearer, {"GSM/CSD", "GPRS", "GSM/SMS", "GSM/USSD", "IS-136/CSD"}))
    return error = "Invalid value for OTA_BEARER:  " + bearer, false;
  if (name.empty()) return error = "OTA_NAME parameter missing", false;
  if ((bearer == "GSM/CSD" || bearer == "GPRS") && !proxy.empty() && !IsDottedIPv4(proxy))
    return error = StrPrintf("OTA_PROXY (%s) is not a valid IP address", proxy.c_str()), false;
  if (!pppAuthType.empty() && !OneOf(pppAuthType, {"PAP", "CHAP", "MS-CHAP"}))
    return error = "Invalid value for OTA_PPP_AUTHTYPE:  " + pppAuthType, false;
  if (!pppLogin.empty() && !OneOf(pppLogin, {"AUTOMATIC", "MANUAL"}))
    return error = "Invalid value for OTA_PPP_LOGINTYPE:  " + pppLogin, false;
  if (!proxyLogin.empty() && !OneOf(proxyLogin, {"AUTOMATIC", "MANUAL"}))
    return error = "Invalid value for OTA_PROXY_LOGINTYPE:  " + proxyLogin, false;
  if (get("OTA_PORT", 50) && (port.empty() || port.find_first_not_of("0123456789") != std::string::npos ||
                              ParseDecimal(port) == 0))
    return error = "Invalid value for OTA_PORT:  " + port, false;
  if (!callType.empty() && !OneOf(callType, {"ANALOGUE", "ISDN"}))
    return error = "Invalid value for OTA_CSD_CALLTYPE:  " + callType, false;
  if (!callSpeed.empty() && !OneOf(callSpeed, {"AUTO", "9600", "14400", "19200", "28800", "38400", "43200", "57600"}))
    return error = "Invalid value for OTA_CSD_CALLSPEED:  " + callSpeed, false;

  std::string isp = v("OTA_ISP_NAME"), homeUrl = url("OTA_URL"), mmsUrl = url("OTA_MMSURL");
  if (isp.empty()) isp = name;
  std::string bookmarkName = v("OTA_BOOKMARK_NAME"), bookmarkUrl = url("OTA_BOOKMARK_URL");
  if (!homeUrl.empty() && homeUrl != mmsUrl) {
    if (bookmarkName.empty()) bookmarkName = name;
    if (bookmarkUrl.empty()) bookmarkUrl = homeUrl;
  }
  std::string proxyName = v("OTA_PROXY_AUTHNAME"), proxySecret = v("OTA_PROXY_AUTHSECRET");
  Doc d;
  d.Line("<CHARACTERISTIC-LIST>");
  d.Line("<CHARACTERISTIC TYPE=\"ADDRESS\">");
  d.Parm("BEARER", bearer);
  if (!proxy.empty()) d.Parm("PROXY", proxy);
  d.Parm("PORT", port.empty() ? "9201" : port);
  if (!pppLogin.empty() && pppLogin != "AUTOMATIC") d.Parm("PPP_LOGINTYPE", pppLogin);
  if (auto t = v("OTA_PROXY_TYPE"); !t.empty()) d.Parm("PROXY_TYPE", t);
  if (!proxyName.empty()) d.Parm("PROXY_AUTHNAME", proxyName);
  if (!proxySecret.empty()) d.Parm("PROXY_AUTHSECRET", proxySecret);
  if (!proxyLogin.empty() && (proxyLogin != "AUTOMATIC" || !proxyName.empty() || !proxySecret.empty()))
    d.Parm("PROXY_LOGINTYPE", proxyLogin);
  for (const char* key : {"CSD_DIALSTRING", "CSD_CALLTYPE", "CSD_CALLSPEED", "SMS_SMSC_ADDRESS", "USSD_SERVICE_CODE",
                          "GPRS_ACCESSPOINTNAME", "PPP_AUTHTYPE", "PPP_AUTHNAME", "PPP_AUTHSECRET"}) {
    std::string value = v((std::string("OTA_") + key).c_str());
    if (std::string_view(key) == "CSD_CALLTYPE") value = callType;
    if (std::string_view(key) == "CSD_CALLSPEED") value = callSpeed;
    if (std::string_view(key) == "PPP_AUTHTYPE") value = pppAuthType == "MS-CHAP" ? "MS_CHAP" : pppAuthType;
    if (!value.empty()) d.Parm(key, value);
  }
  d.Parm("ISP_NAME", isp);
  d.Line("</CHARACTERISTIC>");
  if (!homeUrl.empty()) d.Line("<CHARACTERISTIC TYPE=\"URL\" VALUE=\"" + XmlEscape(homeUrl) + "\"/>");
  if (!mmsUrl.empty()) d.Line("<CHARACTERISTIC TYPE=\"MMSURL\" VALUE=\"" + XmlEscape(mmsUrl) + "\"/>");
  d.Line("<CHARACTERISTIC TYPE=\"NAME\">");
  d.Parm("NAME", name);
  d.Line("</CHARACTERISTIC>");
  if (!bookmarkName.empty() && !bookmarkUrl.empty() && bookmarkUrl != mmsUrl) {
    d.Line("<CHARACTERISTIC TYPE=\"BOOKMARK\">");
    d.Parm("NAME", bookmarkName);
    d.Parm("URL", bookmarkUrl);
    d.Line("</CHARACTERISTIC>");
  }
  if (auto id = v("OTA_ID"); !id.empty()) {
    d.Line("<CHARACTERISTIC TYPE=\"ID\">");
    d.Parm("NAME", id);
    d.Line("</CHARACTERISTIC>");
  }
  d.Line("</CHARACTERISTIC-LIST>");
  xml = std::move(d.text);
  return true;
}

bool SyncSettingsDocument(const ParameterReader& get, std::string& xml, std::string& error) {
  auto v = [&](const std::string& name) { return Value(get, name, 255); };
  std::string name = v("OTASYNCML_NAME"), host = v("OTASYNCML_HOSTADDR");
  if (name.empty()) name = "SyncML Settings";
  if (host.empty()) return error = "OTASYNCML_HOSTADDR parameter required", false;
  if (!StartsWithNoCase(host, "http://") && !StartsWithNoCase(host, "https://")) host = "http://" + host;
  if (v("OTASYNCML_CONTACTS_URI").empty() && v("OTASYNCML_CALENDAR_URI").empty())
    return error = "OTASYNCML_CONTACTS_URI or OTASYNCML_CALENDAR_URI parameter required", false;
  auto scheme = [](const std::string& s) {
    if (EqualsNoCase(s, "BASIC")) return std::string("1");
    if (EqualsNoCase(s, "DIGEST")) return std::string("2");
    return s;
  };
  auto auth = [&](Doc& d, const std::string& prefix, const char* level) {
    std::string user = v(prefix + "USERNAME"), password = v(prefix + "PASSWORD"), s = v(prefix + "AUTHSCHEME");
    if (user.empty() && password.empty() && s.empty()) return;
    d.Line("<Auth>");
    d.Line(std::string("<AuthLevel>") + level + "</AuthLevel>");
    if (!s.empty()) d.Element("AuthScheme", scheme(s));
    if (!user.empty()) d.Element("Username", user);
    if (!password.empty()) d.Element("Cred", password);
    d.Line("</Auth>");
  };
  Doc d;
  d.Line("<SyncSettings>");
  d.Line("<Version>1.0</Version>");
  d.Element("HostAddr", host);
  if (auto port = v("OTASYNCML_PORT"); !port.empty()) d.Element("Port", port);
  d.Element("Name", name);
  struct Db { const char* key; const char* name; const char* type; };
  static const Db kDbs[] = {{"CONTACTS", "Contacts", "text/x-vcard"},
                            {"CALENDAR", "Calendar", "text/x-vcalendar"},
                            {"TASK", "Task", "text/x-vcalendar"},
                            {"NOTES", "Notes", "text/plain"}};
  for (const Db& db : kDbs) {
    std::string prefix = std::string("OTASYNCML_") + db.key + "_";
    std::string uri = v(prefix + "URI");
    if (uri.empty()) continue;
    std::string type = v(prefix + "CTTYPE"), version = v(prefix + "CTVER"), dbName = v(prefix + "NAME");
    if (type.empty()) type = db.type;
    if (version.empty()) {
      version = EqualsNoCase(type, "text/x-vcard")       ? "2.1"
                : EqualsNoCase(type, "text/vcard")       ? "3.0"
                : EqualsNoCase(type, "text/x-vcalendar") ? "1.0"
                : EqualsNoCase(type, "text/calendar")    ? "2.0"
                                                         : "1.0";
    }
    if (dbName.empty()) dbName = db.name;
    d.Line("<RemoteDB>");
    d.Element("CTType", type);
    d.Element("CTVer", version);
    d.Element("URI", uri);
    d.Element("Name", dbName);
    auth(d, prefix, "1");
    d.Line("</RemoteDB>");
  }
  auth(d, "OTASYNCML_SERVER_", "1");
  auth(d, "OTASYNCML_HTTP_", "2");
  auth(d, "OTASYNCML_OBEX_", "3");
  std::string conType = v("OTASYNCML_CONREF_CONTYPE"), refId = v("OTASYNCML_CONREF_REFID"),
              bearer = v("OTASYNCML_CONREF_BEARER"), addrType = v("OTASYNCML_CONREF_ADDRTYPE"),
              addr = v("OTASYNCML_CONREF_ADDR");
  if (!(conType + refId + bearer + addrType + addr).empty()) {
    d.Line("<ConRef>");
    if (!conType.empty()) d.Element("ConType", conType);
    if (!refId.empty()) d.Element("RefID", refId);
    if (!bearer.empty()) d.Element("Bearer", bearer);
    if (!addrType.empty()) d.Element("AddrType", addrType);
    if (!addr.empty()) d.Element("Addr", addr);
    d.Line("</ConRef>");
  }
  d.Line("</SyncSettings>");
  xml = std::move(d.text);
  return true;
}

bool ImSettingsDocument(const ParameterReader& get, std::string& xml, std::string& error) {
  auto v = [&](const char* name) { return Value(get, name, 255); };
  std::string name = v("OTAIMPS_NAME"), host = v("OTAIMPS_HOSTADDR");
  if (name.empty()) name = "IM Settings";
  if (host.empty()) return error = "OTAIMPS_HOSTADDR parameter required", false;
  std::string ref = v("OTAIMPS_CONNREF");
  Doc d;
  d.Line("<WVSettings>");
  d.Line("<WVOTAVersion>1.0</WVOTAVersion>");
  d.Line("<WVCommon>");
  d.Element("WVSettingsName", name);
  d.Element("WVRefName", ref.empty() ? name : ref);
  d.Line("<WVSupportedVersion>1.0</WVSupportedVersion>");
  d.Line("<WVSupportedVersion>1.1</WVSupportedVersion>");
  if (auto user = v("OTAIMPS_USERNAME"); !user.empty()) d.Element("WVUserID", user);
  if (auto password = v("OTAIMPS_PASSWORD"); !password.empty()) d.Element("WVPassword", password);
  d.Line("<WVPreferredProtocol/>");
  d.Line("</WVCommon>");
  d.Line("<WVHTTP>");
  d.Element("WVSAPURI", host);
  d.Line("<WVSAPFourWaySupported>T</WVSAPFourWaySupported>");
  d.Line("</WVHTTP>");
  d.Line("</WVSettings>");
  xml = std::move(d.text);
  return true;
}

bool OmaProvisioningDocument(const ParameterReader& get, std::string& xml, std::string& error) {
  auto v = [&](const std::string& name) { return Value(get, name, 255); };
  auto on = [&](const std::string& name) { return ConfigBool(v(name)); };
  Doc d;
  d.Line("<wap-provisioningdoc>");
  std::string bootstrap = v("OTAOMA_BOOTSTRAP_NAME");
  if (!bootstrap.empty()) {
    d.Line("<characteristic type=\"BOOTSTRAP\">");
    d.Parm1("NAME", bootstrap);
    d.Line("</characteristic>");
  }
  std::string napPrefix = "OTAOMA_NAPDEF_";
  std::string napId = v(napPrefix + "NAPID"), napName = v(napPrefix + "NAME"), napAddress = v(napPrefix + "NAP-ADDRESS");
  if (napId.empty()) napId = napName.empty() ? "NAP1" : napName;
  bool nap = !napAddress.empty();
  if (nap) {
    d.Line("<characteristic type=\"NAPDEF\">");
    d.Parm1("NAPID", napId);
    d.Parm1("NAME", napName.empty() ? napId : napName);
    std::string bearer = v(napPrefix + "BEARER");
    d.Parm1("BEARER", bearer.empty() ? "GSM-GPRS" : bearer);
    d.Parm1("NAP-ADDRESS", napAddress);
    std::string addrType = v(napPrefix + "NAP-ADDRTYPE");
    d.Parm1("NAP-ADDRTYPE", addrType.empty() ? "APN" : addrType);
    if (auto t = v(napPrefix + "CALLTYPE"); !t.empty()) d.Parm1("CALLTYPE", t);
    if (auto s = v(napPrefix + "LINKSPEED"); !s.empty()) d.Parm1("LINKSPEED", s);
    d.Line("<parm name=\"INTERNET\"/>");
    std::string authType = v(napPrefix + "NAPAUTHINFO_AUTHTYPE"), authName = v(napPrefix + "NAPAUTHINFO_AUTHNAME"),
                authSecret = v(napPrefix + "NAPAUTHINFO_AUTHSECRET");
    if (!(authType + authName + authSecret).empty()) {
      d.Line("<characteristic type=\"NAPAUTHINFO\">");
      d.Parm1("AUTHTYPE", authType.empty() ? "PAP" : authType);
      if (!authName.empty()) d.Parm1("AUTHNAME", authName);
      if (!authSecret.empty()) d.Parm1("AUTHSECRET", authSecret);
      d.Line("</characteristic>");
    }
    d.Line("</characteristic>");
  }
  std::string px = "OTAOMA_PXLOGICAL_";
  std::string proxyAddr = v(px + "PXPHYSICAL_PXADDR"), proxyId = v(px + "PROXY-ID");
  if (proxyId.empty()) proxyId = proxyAddr;
  bool proxy = !proxyAddr.empty();
  if (proxy) {
    d.Line("<characteristic type=\"PXLOGICAL\">");
    d.Parm1("PROXY-ID", proxyId);
    std::string pxName = v(px + "NAME");
    d.Parm1("NAME", pxName.empty() ? proxyId : pxName);
    if (auto start = v(px + "STARTPAGE"); !start.empty()) d.Parm1("STARTPAGE", start);
    std::string pxAuthType = v(px + "PXAUTHINFO_PXAUTHTYPE"), pxAuthId = v(px + "PXAUTHINFO_PXAUTH-ID"),
                pxAuthPw = v(px + "PXAUTHINFO_PXAUTH-PW");
    if (!(pxAuthType + pxAuthId + pxAuthPw).empty()) {
      d.Line("<characteristic type=\"PXAUTHINFO\">");
      d.Parm1("PXAUTH-TYPE", pxAuthType.empty() ? "HTTP-BASIC" : pxAuthType);
      if (!pxAuthId.empty()) d.Parm1("PXAUTH-ID", pxAuthId);
      if (!pxAuthPw.empty()) d.Parm1("PXAUTH-PW", pxAuthPw);
      d.Line("</characteristic>");
    }
    d.Line("<characteristic type=\"PXPHYSICAL\">");
    std::string physical = v(px + "PXPHYSICAL_PHYSICAL-PROXY-ID");
    d.Parm1("PHYSICAL-PROXY-ID", physical.empty() ? proxyId : physical);
    d.Parm1("PXADDR", proxyAddr);
    std::string pxAddrType = v(px + "PXPHYSICAL_PXADDRTYPE");
    d.Parm1("PXADDRTYPE", pxAddrType.empty() ? "IPV4" : pxAddrType);
    std::string toNap = v(px + "PXPHYSICAL_TO-NAPID");
    d.Parm1("TO-NAPID", toNap.empty() ? napId : toNap);
    std::string portNumber = v(px + "PXPHYSICAL_PORT_PORTNBR"), service = v(px + "PXPHYSICAL_PORT_SERVICE");
    if (!portNumber.empty() || !service.empty()) {
      if (service.empty())
        service = portNumber == "9200" ? "CL-WSP" : portNumber == "9202" ? "CL-SEC-WSP"
                  : portNumber == "9203" ? "CO-SEC-WSP" : "CO-WSP";
      d.Line("<characteristic type=\"PORT\">");
      d.Parm1("PORTNBR", portNumber.empty() ? "9201" : portNumber);
      d.Parm1("SERVICE", service);
      d.Line("</characteristic>");
    }
    d.Line("</characteristic>");
    d.Line("</characteristic>");
    d.Line("<characteristic type=\"APPLICATION\">");
    d.Parm1("APPID", "w2");
    d.Parm1("TO-PROXY", proxyId);
    if (auto start = v(px + "STARTPAGE"); !start.empty()) {
      d.Line("<characteristic type=\"RESOURCE\">");
      d.Parm1("URI", start);
      d.Line("<parm name=\"STARTPAGE\"/>");
      d.Line("</characteristic>");
    }
    d.Line("</characteristic>");
  }
  if (auto mmsc = v("OTAOMA_MMSCURL"); !mmsc.empty()) {
    d.Line("<characteristic type=\"APPLICATION\">");
    d.Parm1("APPID", "w4");
    d.Parm1("NAME", "MMS");
    if (proxy) d.Parm1("TO-PROXY", proxyId);
    else if (nap) d.Parm1("TO-NAPID", napId);
    d.Parm1("ADDR", mmsc);
    d.Line("</characteristic>");
  }
  if (auto imps = v("OTAOMA_IMPS_HOSTADDR"); !imps.empty()) {
    d.Line("<characteristic type=\"APPLICATION\">");
    d.Parm1("APPID", "wA");
    d.Parm1("NAME", "IM");
    d.Parm1("ADDR", imps);
    if (nap) d.Parm1("TO-NAPID", napId);
    d.Line("<characteristic type=\"APPAUTH\">");
    d.Parm1("AAUTHLEVEL", "APPSRV");
    if (auto u = v("OTAOMA_IMPS_USERNAME"); !u.empty()) d.Parm1("AAUTHNAME", u);
    if (auto p = v("OTAOMA_IMPS_PASSWORD"); !p.empty()) d.Parm1("AAUTHSECRET", p);
    d.Line("</characteristic>");
    d.Line("</characteristic>");
  }
  if (auto sync = v("OTAOMA_SYNCML_HOSTADDR"); !sync.empty()) {
    d.Line("<characteristic type=\"APPLICATION\">");
    d.Parm1("APPID", "w5");
    d.Parm1("NAME", "SyncML");
    d.Parm1("ADDR", sync);
    if (nap) d.Parm1("TO-NAPID", napId);
    std::string an = v("OTAOMA_SYNCML_AAUTHNAME"), as = v("OTAOMA_SYNCML_AAUTHSECRET");
    if (!an.empty() || !as.empty()) {
      d.Line("<characteristic type=\"APPAUTH\">");
      if (!an.empty()) d.Parm1("AAUTHNAME", an);
      if (!as.empty()) d.Parm1("AAUTHSECRET", as);
      d.Line("</characteristic>");
    }
    for (const char* db : {"CONTACTS", "CALENDAR", "NOTES"}) {
      std::string prefix = std::string("OTAOMA_SYNCML_") + db + "_";
      std::string uri = v(prefix + "URI");
      if (uri.empty()) continue;
      d.Line("<characteristic type=\"RESOURCE\">");
      d.Parm1("URI", uri);
      if (auto n = v(prefix + "NAME"); !n.empty()) d.Parm1("NAME", n);
      if (auto a = v(prefix + "AACCEPT"); !a.empty()) d.Parm1("AACCEPT", a);
      d.Line("</characteristic>");
    }
    d.Line("</characteristic>");
  }
  std::string e = "OTAOMA_EMAIL_";
  std::string inAddr = v(e + "INADDR"), outAddr = v(e + "OUTADDR");
  if (!inAddr.empty() || !outAddr.empty()) {
    bool startTls = on(e + "STARTTLS"), smtpAuth = on(e + "SMTPAUTH");
    std::string inEncrypt = v(e + "INADDR_ENCRYPT"), outEncrypt = v(e + "OUTADDR_ENCRYPT");
    if (startTls) {
      if (inEncrypt.empty()) inEncrypt = "STARTTLS";
      if (outEncrypt.empty()) outEncrypt = "STARTTLS";
    }
    std::string outAuth = v(e + "OUTADDR_AUTH");
    if (smtpAuth && outAuth.empty()) outAuth = "LOGIN";
    std::string inAppId = v(e + "APPID");
    if (inAppId.empty()) inAppId = "110";
    bool inSsl = EqualsNoCase(inEncrypt, "SSL"), outSsl = EqualsNoCase(outEncrypt, "SSL");
    std::string display = v(e + "DISPLAY_NAME");
    if (!outAddr.empty()) {
      d.Line("<characteristic type=\"APPLICATION\">");
      d.Parm1("APPID", "25");
      d.Parm1("PROVIDER-ID", "smtp");
      if (!display.empty()) d.Parm1("NAME", display);
      if (auto from = v(e + "FROM"); !from.empty()) d.Parm1("FROM", from);
      if (nap) d.Parm1("TO-NAPID", napId);
      d.Line("<characteristic type=\"APPADDR\">");
      d.Parm1("ADDR", outAddr);
      std::string port = v(e + "OUTADDR_PORTNBR");
      d.Line("<characteristic type=\"PORT\">");
      d.Parm1("PORTNBR", port.empty() ? (outSsl ? "465" : "25") : port);
      if (outSsl) d.Parm1("SERVICE", "465");
      else if (EqualsNoCase(outEncrypt, "STARTTLS")) d.Parm1("SERVICE", "STARTTLS");
      d.Line("</characteristic>");
      d.Line("</characteristic>");
      if (!outAuth.empty()) {
        d.Line("<characteristic type=\"APPAUTH\">");
        d.Parm1("AAUTHTYPE", outAuth);
        if (auto n = v(e + "AAUTHNAME"); !n.empty()) d.Parm1("AAUTHNAME", n);
        if (auto s = v(e + "AAUTHSECRET"); !s.empty()) d.Parm1("AAUTHSECRET", s);
        d.Line("</characteristic>");
      }
      d.Line("</characteristic>");
    }
    if (!inAddr.empty()) {
      bool imap = inAppId == "143";
      d.Line("<characteristic type=\"APPLICATION\">");
      d.Parm1("APPID", imap ? "143" : "110");
      d.Parm1("PROVIDER-ID", imap ? "imap" : "pop3");
      if (!display.empty()) d.Parm1("NAME", display);
      if (nap) d.Parm1("TO-NAPID", napId);
      d.Line("<characteristic type=\"APPADDR\">");
      d.Parm1("ADDR", inAddr);
      std::string port = v(e + "INADDR_PORTNBR");
      d.Line("<characteristic type=\"PORT\">");
      d.Parm1("PORTNBR", port.empty() ? (inSsl ? (imap ? "993" : "995") : (imap ? "143" : "110")) : port);
      if (inSsl) d.Parm1("SERVICE", imap ? "993" : "995");
      else if (EqualsNoCase(inEncrypt, "STARTTLS")) d.Parm1("SERVICE", "STARTTLS");
      d.Line("</characteristic>");
      d.Line("</characteristic>");
      d.Line("<characteristic type=\"APPAUTH\">");
      if (auto a = v(e + "INADDR_AUTH"); !a.empty()) d.Parm1("AAUTHTYPE", a);
      if (auto n = v(e + "AAUTHNAME"); !n.empty()) d.Parm1("AAUTHNAME", n);
      if (auto s = v(e + "AAUTHSECRET"); !s.empty()) d.Parm1("AAUTHSECRET", s);
      d.Line("</characteristic>");
      d.Line("</characteristic>");
    }
  }
  d.Line("</wap-provisioningdoc>");
  xml = std::move(d.text);
  if (xml.find("<characteristic") == std::string::npos) {
    error = "Invalid format for OTA OMA File";
    return false;
  }
  return true;
}
