#include <gtest/gtest.h>

#include <map>

#include "push/settings_documents.h"
#include "push/tests/decoder_peer.h"
#include "push/wbxml.h"

namespace {
using Params = std::map<std::string, std::string>;

ParameterReader Reader(const Params& p) {
  return [&p](std::string_view name, size_t max) -> std::optional<std::string> {
    auto it = p.find(std::string(name));
    if (it == p.end()) return std::nullopt;
    return it->second.substr(0, max);
  };
}

struct DocumentCase {
  const char* name;
  bool (*build)(const ParameterReader&, std::string&, std::string&);
  Params params;
  const char* peerLanguage;         // "" when the peer has no table
  std::vector<const char*> lines;   // lines the document holds
};

// Built documents hold their lines, compile, and (where the peer has the table) decode
// back to the same document.
TEST(SettingsDocuments, BuiltCompiledAndDecoded) {
  const DocumentCase kCases[] = {
      {"browser GPRS", BrowserSettingsDocument,
       {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "Operator"}, {"OTA_PROXY", "10.0.0.1"},
        {"OTA_GPRS_ACCESSPOINTNAME", "internet"}, {"OTA_URL", "http://wap.example.com"},
        {"OTA_PPP_AUTHTYPE", "PAP"}, {"OTA_PPP_AUTHNAME", "u<1>"}},
       "OTA",
       {"<PARM NAME=\"BEARER\" VALUE=\"GPRS\"/>", "<PARM NAME=\"PROXY\" VALUE=\"10.0.0.1\"/>",
        "<PARM NAME=\"PORT\" VALUE=\"9201\"/>", "<PARM NAME=\"GPRS_ACCESSPOINTNAME\" VALUE=\"internet\"/>",
        "<PARM NAME=\"PPP_AUTHNAME\" VALUE=\"u&lt;1&gt;\"/>", "<PARM NAME=\"ISP_NAME\" VALUE=\"Operator\"/>",
        "<CHARACTERISTIC TYPE=\"URL\" VALUE=\"http://wap.example.com\"/>", "<CHARACTERISTIC TYPE=\"BOOKMARK\">"}},
      {"browser CSD", BrowserSettingsDocument,
       {{"OTA_BEARER", "GSM/CSD"}, {"OTA_NAME", "Dial"}, {"OTA_CSD_DIALSTRING", "+4412345"},
        {"OTA_CSD_CALLTYPE", "ISDN"}, {"OTA_CSD_CALLSPEED", "9600"}, {"OTA_PPP_LOGINTYPE", "MANUAL"},
        {"OTA_PORT", "9203"}, {"OTA_ID", "id1"}, {"OTA_MMSURL", "http://mms"}},
       "OTA",
       {"<PARM NAME=\"PPP_LOGINTYPE\" VALUE=\"MANUAL\"/>", "<PARM NAME=\"CSD_CALLSPEED\" VALUE=\"9600\"/>",
        "<CHARACTERISTIC TYPE=\"MMSURL\" VALUE=\"http://mms\"/>", "<CHARACTERISTIC TYPE=\"ID\">"}},
      {"OMA provisioning", OmaProvisioningDocument,
       {{"OTAOMA_BOOTSTRAP_NAME", "Operator"}, {"OTAOMA_NAPDEF_NAP-ADDRESS", "internet"},
        {"OTAOMA_NAPDEF_NAPAUTHINFO_AUTHNAME", "user"}, {"OTAOMA_PXLOGICAL_PXPHYSICAL_PXADDR", "10.0.0.1"},
        {"OTAOMA_PXLOGICAL_PXPHYSICAL_PORT_PORTNBR", "9201"}, {"OTAOMA_PXLOGICAL_STARTPAGE", "http://home"},
        {"OTAOMA_PXLOGICAL_PXAUTHINFO_PXAUTH-ID", "px"}, {"OTAOMA_MMSCURL", "http://mmsc"},
        {"OTAOMA_IMPS_HOSTADDR", "http://im"}, {"OTAOMA_SYNCML_HOSTADDR", "http://sync"},
        {"OTAOMA_SYNCML_CONTACTS_URI", "./c"}, {"OTAOMA_EMAIL_INADDR", "pop.example.com"},
        {"OTAOMA_EMAIL_OUTADDR", "smtp.example.com"}, {"OTAOMA_EMAIL_STARTTLS", "Yes"},
        {"OTAOMA_EMAIL_SMTPAUTH", "Yes"}},
       "PROV10",
       {"<characteristic type=\"BOOTSTRAP\">", "<parm name=\"INTERNET\"/>", "<parm name=\"SERVICE\" value=\"CO-WSP\"/>",
        "<parm name=\"PXAUTH-TYPE\" value=\"HTTP-BASIC\"/>", "<parm name=\"APPID\" value=\"w4\"/>",
        "<parm name=\"ADDR\" value=\"http://mmsc\"/>", "<parm name=\"AAUTHLEVEL\" value=\"APPSRV\"/>",
        "<parm name=\"APPID\" value=\"w5\"/>", "<parm name=\"APPID\" value=\"25\"/>",
        "<parm name=\"SERVICE\" value=\"STARTTLS\"/>", "<parm name=\"AAUTHTYPE\" value=\"LOGIN\"/>",
        "<parm name=\"APPID\" value=\"110\"/>"}},
      {"SyncML settings", SyncSettingsDocument,
       {{"OTASYNCML_HOSTADDR", "sync.example.com"}, {"OTASYNCML_CONTACTS_URI", "./contacts"},
        {"OTASYNCML_CALENDAR_URI", "./cal"}, {"OTASYNCML_CALENDAR_CTTYPE", "text/calendar"},
        {"OTASYNCML_SERVER_USERNAME", "u"}, {"OTASYNCML_SERVER_AUTHSCHEME", "DIGEST"},
        {"OTASYNCML_CONREF_ADDR", "internet"}},
       "",
       {"<HostAddr>http://sync.example.com</HostAddr>", "<Name>SyncML Settings</Name>",
        "<CTType>text/x-vcard</CTType>", "<CTVer>2.1</CTVer>", "<CTType>text/calendar</CTType>", "<CTVer>2.0</CTVer>",
        "<Name>Calendar</Name>", "<AuthLevel>1</AuthLevel>", "<AuthScheme>2</AuthScheme>", "<Addr>internet</Addr>"}},
      {"IM settings", ImSettingsDocument, {{"OTAIMPS_HOSTADDR", "http://im&co"}, {"OTAIMPS_USERNAME", "me"}}, "",
       {"<WVSettingsName>IM Settings</WVSettingsName>", "<WVSAPURI>http://im&amp;co</WVSAPURI>",
        "<WVUserID>me</WVUserID>", "<WVSAPFourWaySupported>T</WVSAPFourWaySupported>"}},
  };
  for (const DocumentCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string xml, error;
    ASSERT_TRUE(c.build(Reader(c.params), xml, error)) << error;
    for (const char* line : c.lines) EXPECT_NE(xml.find(std::string(line) + "\r\n"), std::string::npos) << line << "\n" << xml;
    std::string wbxml;
    ASSERT_TRUE(CompileXmlDocument(xml, 0x01, 0x6A, wbxml, error)) << error;
    if (!*c.peerLanguage || !HaveWbxmlDecoder()) continue;
    std::string decoded = DecodeWithPeer(wbxml, c.peerLanguage);
    XmlNode original, back;
    ASSERT_TRUE(ParseXml(xml, original, error));
    ASSERT_TRUE(ParseXml(decoded, back, error)) << decoded;
    EXPECT_EQ(TreeText(back), TreeText(original));
  }
}

struct FailureCase {
  bool (*build)(const ParameterReader&, std::string&, std::string&);
  Params params;
  const char* error;
};

// The first failure wins, in the order of the checks.
TEST(SettingsDocuments, ValidationTextsInOrder) {
  const FailureCase kCases[] = {
      {BrowserSettingsDocument, {{"OTA_NAME", "x"}}, "OTA_BEARER parameter missing"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "LTE"}}, "Invalid value for OTA_BEARER:  LTE"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_PROXY", "host"}}, "OTA_NAME parameter missing"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "n"}, {"OTA_PROXY", "host"}, {"OTA_PORT", "x"}},
       "OTA_PROXY (host) is not a valid IP address"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GSM/SMS"}, {"OTA_NAME", "n"}, {"OTA_PROXY", "host"}, {"OTA_PPP_AUTHTYPE", "X"}},
       "Invalid value for OTA_PPP_AUTHTYPE:  X"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "n"}, {"OTA_PPP_LOGINTYPE", "SOMETIMES"}},
       "Invalid value for OTA_PPP_LOGINTYPE:  SOMETIMES"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "n"}, {"OTA_PROXY_LOGINTYPE", "X"}},
       "Invalid value for OTA_PROXY_LOGINTYPE:  X"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "n"}, {"OTA_PORT", "-1"}},
       "Invalid value for OTA_PORT:  -1"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "n"}, {"OTA_CSD_CALLTYPE", "X"}},
       "Invalid value for OTA_CSD_CALLTYPE:  X"},
      {BrowserSettingsDocument, {{"OTA_BEARER", "GPRS"}, {"OTA_NAME", "n"}, {"OTA_CSD_CALLSPEED", "1"}},
       "Invalid value for OTA_CSD_CALLSPEED:  1"},
      {SyncSettingsDocument, {}, "OTASYNCML_HOSTADDR parameter required"},
      {SyncSettingsDocument, {{"OTASYNCML_HOSTADDR", "h"}, {"OTASYNCML_NOTES_URI", "n"}},
       "OTASYNCML_CONTACTS_URI or OTASYNCML_CALENDAR_URI parameter required"},
      {ImSettingsDocument, {{"OTAIMPS_NAME", "n"}}, "OTAIMPS_HOSTADDR parameter required"},
      {OmaProvisioningDocument, {{"OTAOMA", "1"}}, "Invalid format for OTA OMA File"},
  };
  for (const FailureCase& c : kCases) {
    std::string xml, error;
    EXPECT_FALSE(c.build(Reader(c.params), xml, error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}
}  // namespace
