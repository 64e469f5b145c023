#include <gtest/gtest.h>

#include "push/tests/decoder_peer.h"
#include "push/wbxml.h"
#include "runtime/hex_text.h"

namespace {
void DropNamespaces(XmlNode& node) {
  std::erase_if(node.attributes, [](const auto& a) { return a.first == "xmlns"; });
  for (XmlNode& c : node.children) DropNamespaces(c);
}

struct PeerCase {
  const char* language;  // wbxml2xml's name
  const char* xml;
};

// Every compiled document decodes back to the document it came from.
TEST(WbxmlCompiler, DecodedByThePeerToTheSameDocument) {
  if (!HaveWbxmlDecoder()) GTEST_SKIP() << "wbxml2xml (libwbxml2-utils) is not installed";
  const PeerCase kCases[] = {
      {"SI10", "<si><indication href=\"http://www.example.com/news\" si-id=\"1\" action=\"signal-high\">Hello &amp; "
               "welcome</indication></si>"},
      {"SI10", "<si><indication href=\"https://secure.example.org/x\" created=\"2002-04-30T00:00:00Z\" "
               "si-expires=\"2002-06-30T12:30:00Z\">Text</indication></si>"},
      {"SL10", "<sl href=\"http://www.example.com/a\" action=\"execute-high\"/>"},
      {"SL10", "<sl href=\"ftp://files.example.com/b\"/>"},
      {"CO10", "<co><invalidate-object uri=\"http://www.example.com/x\"/><invalidate-service "
               "uri=\"https://example.com/\"/></co>"},
      {"PROV10",
       "<wap-provisioningdoc version=\"1.0\"><characteristic type=\"BOOTSTRAP\"><parm name=\"NAME\" "
       "value=\"Operator\"/></characteristic><characteristic type=\"NAPDEF\"><parm name=\"NAPID\" value=\"NAP1\"/>"
       "<parm name=\"BEARER\" value=\"GSM-GPRS\"/><parm name=\"NAP-ADDRESS\" value=\"internet\"/><parm "
       "name=\"NAP-ADDRTYPE\" value=\"APN\"/><characteristic type=\"NAPAUTHINFO\"><parm name=\"AUTHTYPE\" "
       "value=\"PAP\"/><parm name=\"AUTHNAME\" value=\"user\"/></characteristic></characteristic>"
       "<characteristic type=\"PXLOGICAL\"><parm name=\"PROXY-ID\" value=\"10.0.0.1\"/><characteristic "
       "type=\"PXPHYSICAL\"><parm name=\"PXADDR\" value=\"10.0.0.1\"/><parm name=\"PXADDRTYPE\" value=\"IPV4\"/>"
       "<parm name=\"TO-NAPID\" value=\"NAP1\"/><characteristic type=\"PORT\"><parm name=\"PORTNBR\" "
       "value=\"9201\"/><parm name=\"SERVICE\" value=\"CO-WSP\"/></characteristic></characteristic>"
       "</characteristic><characteristic type=\"APPLICATION\"><parm name=\"APPID\" value=\"w4\"/><parm "
       "name=\"TO-PROXY\" value=\"10.0.0.1\"/><parm name=\"ADDR\" value=\"http://mms.example.com\"/>"
       "</characteristic></wap-provisioningdoc>"},
      {"EMN10", "<emn mailbox=\"mailat:user@example.com\" timestamp=\"2002-04-16T06:40:00Z\"/>"},
      {"DRMREL10",
       "<o-ex:rights xmlns:o-ex=\"http://odrl.net/1.1/ODRL-EX\" xmlns:o-dd=\"http://odrl.net/1.1/ODRL-DD\" "
       "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#/\"><o-ex:context><o-dd:version>1.0</o-dd:version>"
       "</o-ex:context><o-ex:agreement><o-ex:asset><o-ex:context><o-dd:uid>cid:1@example.com</o-dd:uid>"
       "</o-ex:context><ds:KeyInfo><ds:KeyValue>QUJDREVGR0hJSktMTU5PUA==</ds:KeyValue></ds:KeyInfo></o-ex:asset>"
       "<o-ex:permission><o-dd:play><o-ex:constraint><o-dd:count>3</o-dd:count></o-ex:constraint></o-dd:play>"
       "</o-ex:permission></o-ex:agreement></o-ex:rights>"},
      {"OTA", "<CHARACTERISTIC-LIST><CHARACTERISTIC TYPE=\"ADDRESS\"><PARM NAME=\"BEARER\" VALUE=\"GPRS\"/>"
              "<PARM NAME=\"PROXY\" VALUE=\"10.0.0.1\"/><PARM NAME=\"PORT\" VALUE=\"9201\"/><PARM "
              "NAME=\"GPRS_ACCESSPOINTNAME\" VALUE=\"internet\"/><PARM NAME=\"ISP_NAME\" VALUE=\"Operator\"/>"
              "</CHARACTERISTIC><CHARACTERISTIC TYPE=\"URL\" VALUE=\"http://wap.example.com\"/><CHARACTERISTIC "
              "TYPE=\"NAME\"><PARM NAME=\"NAME\" VALUE=\"Operator\"/></CHARACTERISTIC><CHARACTERISTIC "
              "TYPE=\"BOOKMARK\"><PARM NAME=\"NAME\" VALUE=\"Home\"/><PARM NAME=\"URL\" "
              "VALUE=\"http://wap.example.com\"/></CHARACTERISTIC></CHARACTERISTIC-LIST>"},
      {"SYNCML12", "<SyncML><SyncHdr><VerDTD>1.2</VerDTD><VerProto>SyncML/1.2</VerProto><SessionID>1</SessionID>"
                   "<MsgID>1</MsgID><Target><LocURI>http://sync.example.com</LocURI></Target><Source><LocURI>IMEI:1"
                   "</LocURI></Source><Meta><MaxMsgSize xmlns=\"syncml:metinf\">5000</MaxMsgSize></Meta></SyncHdr>"
                   "<SyncBody><Final/></SyncBody></SyncML>"},
  };
  for (const PeerCase& c : kCases) {
    SCOPED_TRACE(c.xml);
    std::string wbxml, error;
    ASSERT_TRUE(CompileXmlDocument(c.xml, 0x03, 0x6A, wbxml, error)) << error;
    std::string decoded = DecodeWithPeer(wbxml, c.language);
    ASSERT_FALSE(decoded.empty()) << HexEncode(wbxml);
    XmlNode original, back;
    ASSERT_TRUE(ParseXml(c.xml, original, error)) << error;
    ASSERT_TRUE(ParseXml(decoded, back, error)) << error << "\n" << decoded;
    // Namespaces that only select a code page are not carried; the decoder names its own.
    if (std::string(c.language) == "SYNCML12") {
      DropNamespaces(original);
      DropNamespaces(back);
    }
    EXPECT_EQ(TreeText(back), TreeText(original)) << decoded;
  }
}

struct VectorCase {
  const char* xml;
  const char* hex;  // the whole document, version 0x03 and UTF-8
};

// Documents that the peer has no table for, against vectors written from the token tables;
// and the byte choices of the others.
TEST(WbxmlCompiler, CompilesToTheTokenTableVectors) {
  const VectorCase kCases[] = {
      {"<sl href=\"http://www.example.com/a\"/>", "03066A00850A036578616D706C652E636F6D2F610001"},
      {"<si><indication href=\"http://x.org\" si-id=\"7\">Hi</indication></si>",
       "03056A0045C60C03782E6F7267001103370001034869000101"},
      {"<SyncSettings><Version>1.0</Version><HostAddr>http://h</HostAddr></SyncSettings>",
       "03016A0055580331" "2E3000015003687474703A2F2F68000101"},
      // IM settings: the OTA settings format's WV tag list, 0x05 WVCommon, 0x06 WVHTTP, 0x07 WVOTAVersion,
      // 0x08 WVPassword, 0x09 WVPreferredProtocol, 0x0A WVProxy, 0x0B WVProxyAddress, 0x0C WVProxyPassword,
      // 0x0D WVProxyPort, 0x0E WVProxyUser, 0x0F WVRefName, 0x10 WVSAPFourWaySupported, 0x11 WVSAPMobileNumber,
      // 0x12 WVSAPURI, 0x13 WVSettings, 0x14 WVSettingsName, 0x15 WVSMS, 0x16 WVSMSCMobileNumber,
      // 0x17 WVSupportedVersion, 0x18 WVUserID (+0x40 with content).
      {"<WVSettings><WVOTAVersion>1.0</WVOTAVersion><WVCommon><WVSettingsName>IM</WVSettingsName>"
       "<WVSupportedVersion>1.1</WVSupportedVersion><WVUserID>u</WVUserID><WVPassword>p</WVPassword>"
       "<WVPreferredProtocol/></WVCommon><WVHTTP><WVSAPURI>http://a</WVSAPURI>"
       "<WVSAPFourWaySupported>T</WVSAPFourWaySupported></WVHTTP></WVSettings>",
       "03016A00" "53" "4703312E300001" "45" "5403494D0001" "5703312E310001" "5803750001" "4803700001" "09" "01"
       "46" "5203687474703A2F2F610001" "5003540001" "01" "01"},
      {"<WVSettings><WVRefName>r</WVRefName><WVProxy><WVProxyAddress>a</WVProxyAddress><WVProxyPort>8</WVProxyPort>"
       "<WVProxyUser>u</WVProxyUser><WVProxyPassword>p</WVProxyPassword></WVProxy><WVSMS>"
       "<WVSMSCMobileNumber>1</WVSMSCMobileNumber><WVSAPMobileNumber>2</WVSAPMobileNumber></WVSMS></WVSettings>",
       "03016A00" "53" "4F03720001" "4A" "4B03610001" "4D03380001" "4E03750001" "4C03700001" "01"
       "55" "5603310001" "5103320001" "01" "01"},
      // ROAP triggers, public identifier 0x13 (-//OMA/DRM 2.1//EN), with the token list handsets
      // decode them by: tags 0x05 roap:roapTrigger, 0x06 registrationRequest, 0x07 roAcquisition,
      // 0x08 joinDomain, 0x09 leaveDomain, 0x0A signature, 0x0B encKey, 0x0C riID, 0x0D riAlias,
      // 0x0E nonce, 0x0F roapURL, 0x10 domainID, 0x11 domainAlias, 0x13 roID, 0x15 contentID,
      // 0x17 keyIdentifier, 0x18 hash, 0x1B ds:KeyInfo, 0x1F ds:RetrievalMethod,
      // 0x24 xenc:EncryptionMethod, 0x25 xenc:CipherData, 0x26 xenc:CipherValue; attributes 0x05 xsi:type,
      // 0x06 xmlns:roap, 0x08 xmlns:xenc, 0x09 xmlns:ds, 0x0D version, 0x0E proxy, 0x0F id, 0x10 Id,
      // 0x12 Algorithm, 0x13 URI; values 0x85 urn:oma:bac:dldrm:roap-1.0, 0x89 the xmldsig namespace,
      // 0x8A the xmlenc namespace, 0x8C roap:X509SPKIHash, 0x8F xmldsig#hmac-sha1, 0x91 "2.0".
      {"<roap:roapTrigger xmlns:roap=\"urn:oma:bac:dldrm:roap-1.0\" version=\"2.0\" proxy=\"false\">"
       "<roAcquisition id=\"a1\"><riID><keyIdentifier xsi:type=\"roap:X509SPKIHash\"><hash>aGFzaA==</hash>"
       "</keyIdentifier></riID><nonce>bm9uY2U=</nonce><roapURL>http://ri.example.com/roap</roapURL>"
       "<domainID>d1</domainID><roID>r1</roID><contentID>cid:c1</contentID></roAcquisition></roap:roapTrigger>",
       "03136A00" "C5" "0685" "0D91" "0E0366616C736500" "01" "C7" "0F03613100" "01" "4C" "D7" "058C" "01"
       "58036147467A61413D3D0001" "01" "01" "4E03626D39755932553D0001"
       "4F03687474703A2F2F72692E6578616D706C652E636F6D2F726F61700001" "5003643100" "01" "5303723100" "01"
       "55036369643A633100" "01" "01" "01"},
      {"<roap:roapTrigger xmlns:roap=\"urn:oma:bac:dldrm:roap-1.0\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
       "xmlns:xenc=\"http://www.w3.org/2001/04/xmlenc#\" version=\"1.0\"><leaveDomain id=\"x\"><riID>"
       "<keyIdentifier/></riID><nonce>n</nonce><roapURL>u</roapURL><domainID>d</domainID><domainAlias>a</domainAlias>"
       "</leaveDomain><signature>s</signature><encKey Id=\"k\"><xenc:EncryptionMethod "
       "Algorithm=\"http://www.w3.org/2000/09/xmldsig#hmac-sha1\"/><ds:KeyInfo><ds:RetrievalMethod URI=\"#r\"/>"
       "</ds:KeyInfo><xenc:CipherData><xenc:CipherValue>c</xenc:CipherValue></xenc:CipherData></encKey>"
       "</roap:roapTrigger>",
       "03136A00" "C5" "0685" "0989" "088A" "0D03312E3000" "01" "C9" "0F037800" "01" "4C" "17" "01"
       "4E036E0001" "4F03750001" "5003640001" "5103610001" "01" "4A03730001" "CB" "10036B00" "01" "A4" "128F" "01"
       "5B" "9F" "1303237200" "01" "01" "65" "6603630001" "01" "01" "01"},
      {"<emn mailbox=\"mailat:a@b.com\" timestamp=\"2002-04-16T06:40:00Z\"/>",
       "030D6A008507036140622E636F6D0005C30620020416064001"},
  };
  for (const VectorCase& c : kCases) {
    SCOPED_TRACE(c.xml);
    std::string wbxml, error;
    ASSERT_TRUE(CompileXmlDocument(c.xml, 0x03, 0x6A, wbxml, error)) << error;
    EXPECT_EQ(HexEncode(wbxml), c.hex);
  }
}

struct FailureCase {
  const char* xml;
  const char* error;  // the beginning of the error text
};

TEST(WbxmlCompiler, RefusesWhatItCannotEncode) {
  const FailureCase kCases[] = {
      {"<html><body/></html>", "XML Content Not Recognised"},
      {"<si><indication colour=\"red\"/></si>", "Attribute not known"},
      {"<sl><extra/></sl>", "Element not known"},
      {"<si><indication>", "Invalid XML content"},
      {"", "Invalid XML content"},
  };
  for (const FailureCase& c : kCases) {
    SCOPED_TRACE(c.xml);
    std::string wbxml, error;
    EXPECT_FALSE(CompileXmlDocument(c.xml, 0x03, 0x6A, wbxml, error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_TRUE(wbxml.empty());
  }
}

TEST(WbxmlCompiler, VersionAndCharsetOctets) {
  struct Case { const char* setting; uint8_t octet; };
  for (const Case& c : {Case{"", 0x02}, Case{"1.3", 0x03}, Case{"0.5", 0x02}, Case{"2.1", 0x01}, Case{"x", 0x02}})
    EXPECT_EQ(WbxmlVersionOctet(c.setting), c.octet) << c.setting;
  std::string wbxml, error;
  ASSERT_TRUE(CompileXmlDocument("<si><indication href=\"http://a\">\xC3\xA9t\xC3\xA9</indication></si>", 0x02, 0x04,
                                 wbxml, error));
  EXPECT_EQ(HexEncode(wbxml), "020504004" "5C60C036100010" "3E974E9000101");
}
}  // namespace
