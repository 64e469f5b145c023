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
      {"<WVSettings><WVOTAVersion>1.0</WVOTAVersion><WVCommon><WVSettingsName>IM</WVSettingsName></WVCommon>"
       "</WVSettings>",
       "03016A00454603312E300001474803494D00010101"},
      {"<roap:roapTrigger xmlns:roap=\"urn:oma:bac:dldrm:roap-1.0\" version=\"1.0\"><roAcquisition><riID>"
       "<keyIdentifier/></riID></roAcquisition></roap:roapTrigger>",
       "03016A00C505060331" "2E300001474C0D010101"},
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
