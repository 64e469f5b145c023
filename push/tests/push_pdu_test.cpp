#include <gtest/gtest.h>

#include "outside/outside_tables.h"
#include "push/push_pdu.h"
#include "push/tests/decoder_peer.h"
#include "push/wbxml.h"
#include "runtime/config_access.h"
#include "runtime/hex_text.h"
#include "tests/support/child_process.h"

namespace {
struct UrlCase {
  const char* name;
  UrlPushRequest request;
  const char* hex;
};

UrlPushRequest Sl(std::string url, std::string action = "") {
  UrlPushRequest r;
  r.url = std::move(url);
  r.sl = true;
  r.slAction = std::move(action);
  r.transactionId = 0x21;
  return r;
}

UrlPushRequest Si(std::string url, std::string text) {
  UrlPushRequest r;
  r.url = std::move(url);
  r.text = std::move(text);
  r.transactionId = 0x21;
  return r;
}

TEST(UrlPush, SiAndSlBytes) {
  UrlPushRequest siFull = Si("http://www.example.com/n", "Hello");
  siFull.siId = "1";
  siFull.siAction = "signal-high";
  UrlPushRequest siDates = Si("https://shop.example.com", "x");
  siDates.siExpires = "2026-12-31 23:00";
  siDates.siCreated = "2026-12-01";
  UrlPushRequest siHeaders = Si("example.com", "x");
  siHeaders.initiatorUri = "http://i";
  siHeaders.pushFlag = "2";
  siHeaders.includeDate = true;
  siHeaders.now = 0x5F000000;
  UrlPushRequest siLatin = Si("http://a", "\xC3\xA9");
  siLatin.useUtf8 = false;
  UrlPushRequest siUnicode = Si("http://a", "\xC3\xA9");
  UrlPushRequest slLong = Sl("http://a");
  slLong.initiatorUri = "http://" + std::string(240, 'i');
  const UrlCase kCases[] = {
      {"sl www", Sl("http://www.example.com/a"), "210601B0" "02066A00850A036578616D706C652E636F6D2F610001"},
      {"sl plain, execute-high", Sl("http://example.com", "execute-high"),
       "210601B0" "02066A008509036578616D706C652E636F6D000601"},
      {"sl https www, cache", Sl("https://www.a.b", "cache"), "210601B0" "02066A00850C03612E62000701"},
      {"sl https", Sl("https://a"), "210601B0" "02066A00850B03610001"},
      {"sl other scheme", Sl("ftp://a"), "210601B0" "02066A008508036674703A2F2F610001"},
      {"si id and action", siFull,
       "210601AE" "02056A0045C60D036578616D706C652E636F6D2F6E001103310008010348656C6C6F00" "0101"},
      {"si dates", siDates,
       "210601AE" "02056A0045C60E0373686F702E6578616D706C652E636F6D0010C3052026123123" "0AC30420261201" "01" "037800"
       "0101"},
      {"si headers", siHeaders,
       "2106" "13" "AE" "85045F000000" "B1687474703A2F2F6900" "B482"
       "02056A0045C60C036578616D706C652E636F6D00010378000101"},
      {"si latin", siLatin, "210601AE" "0205040045C60C0361000103E9000101"},
      {"si unicode", siUnicode, "21060403AE81EA" "02056A0045C60C0361000103C3A9000101"},
  };
  for (const UrlCase& c : kCases) {
    std::string expected = c.hex;
    std::erase(expected, ' ');
    EXPECT_EQ(HexEncode(UrlPushPdu(c.request)), expected) << c.name;
  }
  // A headers block over 127 octets keeps a sound length.
  std::string pdu = UrlPushPdu(slLong);
  ASSERT_GT(pdu.size(), 4u);
  EXPECT_EQ(HexEncode(pdu.substr(2, 3)), "817AB0");  // 250 octets of headers
}

// The SI and SL of URL parameters decode with the peer.
TEST(UrlPush, DecodedByThePeer) {
  if (!HaveWbxmlDecoder()) GTEST_SKIP() << "wbxml2xml is not installed";
  UrlPushRequest si = Si("http://www.example.com/n", "Hello <you>");
  si.siId = "id&1";
  si.siAction = "signal-medium";
  si.siCreated = "2026-12-01T10:00:00Z";
  std::string pdu = UrlPushPdu(si);
  std::string xml = DecodeWithPeer(pdu.substr(4), "SI10");
  EXPECT_NE(xml.find("href=\"http://www.example.com/n\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("si-id=\"id&amp;1\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("action=\"signal-medium\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("created=\"2026-12-01T10:00:00Z\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("Hello &lt;you&gt;"), std::string::npos) << xml;
  pdu = UrlPushPdu(Sl("https://www.example.org/x", "execute-low"));
  xml = DecodeWithPeer(pdu.substr(4), "SL10");
  EXPECT_NE(xml.find("href=\"https://www.example.org/x\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("action=\"execute-low\""), std::string::npos) << xml;
}

std::optional<std::string> FixedMac(std::string_view key, std::string_view) {
  return std::string(40, 'A') + "";  // 40 characters whatever the key
}

struct BinaryCase {
  const char* name;
  const char* type;
  const char* content;
  PushContentKind kind;
  const char* appId;
  const char* headers;
  PushSecurity security;
  const char* hex;  // "" when it fails
  const char* error;
};

TEST(CreateWAPPushBinary, ContentKindsHeadersAndSecurity) {
  std::string mac40 = "92" + HexEncode(std::string(40, 'A')) + "00";
  std::string provPin = "01062E" "1F2D" "B6" "9181" + mac40 + "AF8401";
  const BinaryCase kCases[] = {
      {"hex body, app id name", "application/vnd.wap.mms-message", "8C82 98", PushContentKind::Hex,
       "x-wap-application:mms.ua", "", {}, "0106" "03" "BE" "AF84" "8C8298", ""},
      {"text body, charset, extra headers", "text/plain; charset=utf-8", "hi", PushContentKind::Text, "0x2",
       "Push-Flag: 1\r\nX-Info: a", {}, "0106" "11" "0383" "81EA" "B481" "582D496E666F006100" "AF82" "6869", ""},
      {"xml compiled, type replaced", "text/vnd.wap.sl", "<sl href=\"http://a\"/>", PushContentKind::Xml, "", "", {},
       "0106" "01" "B0" "02066A008509036100" "01", ""},
      {"xml with no type given", "", "<co><invalidate-service uri=\"http://a\"/></co>", PushContentKind::Xml, "", "", {},
       "0106" "01" "B2" "02076A00458706036100" "0101", ""},
      {"provisioning with USERPIN", "text/vnd.wap.connectivity-xml", "<wap-provisioningdoc/>", PushContentKind::Xml,
       "0x4", "", {"1234", "USERPIN"}, "", ""},
      {"unknown xml", "text/xml", "<html/>", PushContentKind::Xml, "", "", {}, "", "XML Content Not Recognised"},
      {"bad hex", "application/octet-stream", "0G", PushContentKind::Hex, "", "", {}, "",
       "Invalid hexadecimal push content"},
      {"unknown pin type", "text/plain", "a", PushContentKind::Text, "", "", {"1", "SIMPIN"}, "",
       "Invalid OTAPINTYPE"},
  };
  for (const BinaryCase& c : kCases) {
    PushBuildOptions options;
    options.transactionId = 1;
    options.mac = FixedMac;
    std::string out, error;
    bool ok = CreateWAPPushBinary(c.type, c.content, c.kind, c.appId, c.headers, c.security, options, out, error);
    std::string expected = std::string(c.name) == std::string("provisioning with USERPIN")
                               ? "0106" "31" "1F2DB6" "9181" + mac40 + "AF84" "02" "0B6A00" "05"
                               : std::string(c.hex);
    if (!expected.empty()) {
      EXPECT_TRUE(ok) << c.name << ": " << error;
      EXPECT_EQ(HexEncode(out), expected) << c.name;
    } else {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
    }
  }
}

TEST(CreateWAPPushBinary, MaximumSize) {
  PushBuildOptions options;
  options.maximum = 10;
  std::string out, error;
  EXPECT_FALSE(CreateWAPPushBinary("text/plain", "12345678", PushContentKind::Text, "", "", {}, options, out, error));
  EXPECT_EQ(error, "Push data is too large (3 + 1 + 8 > 10)");
  options.maximum = 12;
  EXPECT_TRUE(CreateWAPPushBinary("text/plain", "12345678", PushContentKind::Text, "", "", {}, options, out, error));
  EXPECT_EQ(out.size(), 12u);
  options.maximum = 0;  // 1,000
  EXPECT_FALSE(CreateWAPPushBinary("text/plain", std::string(997, 'a'), PushContentKind::Text, "", "", {}, options,
                                   out, error));
  EXPECT_EQ(error, "Push data is too large (3 + 1 + 997 > 1000)");
}

// No signing library: a push with a PIN is refused, never sent without its MAC.
TEST(CreateWAPPushBinary, PinWithoutTheLibraryIsRefused) {
  PushBuildOptions options;
  options.mac = [](std::string_view, std::string_view) -> std::optional<std::string> { return std::nullopt; };
  std::string out, error;
  EXPECT_FALSE(CreateWAPPushBinary("text/vnd.wap.connectivity-xml", "<wap-provisioningdoc/>", PushContentKind::Xml,
                                   "", "", {"1234", "USERPIN"}, options, out, error));
  EXPECT_NE(error.find("qarsign"), std::string::npos) << error;
  EXPECT_TRUE(out.empty());
}

std::string OpensslMac(const std::string& keyHex, const std::string& body) {
  ChildProcess p;
  std::string bodyHex = HexEncode(body);
  // The body goes through printf-free stdin: xxd is not assumed, so the hex is turned back by openssl itself.
  if (!p.Start({"sh", "-c", "printf '%s' \"$0\" | xxd -r -p | openssl dgst -sha1 -mac HMAC -macopt hexkey:\"$1\"",
                bodyHex, keyHex}))
    return {};
  std::string line, last;
  while (p.ReadLine(line, 10000)) last = line;
  p.Stop(1000);
  size_t eq = last.rfind("= ");
  if (eq == std::string::npos) return {};
  std::string mac = last.substr(eq + 2);
  for (char& ch : mac) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  return mac;
}

// The library's MAC is the HMAC-SHA1 that openssl computes, for each kind of key.
TEST(QarsignLibrary, MacMatchesOpenssl) {
  LoadSignLibrary(RealProgramDirectory());
  ASSERT_TRUE(OutsideLibraries.sign.Loaded()) << "libqarsign.so beside the test";
  if (system("command -v xxd >/dev/null && command -v openssl >/dev/null") != 0) GTEST_SKIP() << "openssl or xxd missing";
  std::string body = std::string("\x02\x0B\x6A\x00\x05", 5) + std::string(300, '\x01');
  struct Case { const char* type; const char* pin; std::string key; };
  const Case kCases[] = {{"USERPIN", "1234", "1234"},
                         {"USERPINMAC", "98765", "98765"},
                         {"NETWPIN", "234150123456789", HexDecodeLeading("2943511032547698", 8)},
                         {"USERNETWPIN", "234150123456789:42", HexDecodeLeading("2943511032547698", 8) + "42"}};
  for (const Case& c : kCases) {
    std::string out, error;
    ASSERT_TRUE(SecurityParameters({c.pin, c.type}, body, LibraryMac, out, error)) << error;
    std::string expected = OpensslMac(HexEncode(c.key), body);
    ASSERT_EQ(expected.size(), 40u) << c.type;
    EXPECT_EQ(out.substr(3, 40), expected) << c.type;
  }
  UnloadOutsideLibraries();
}
}  // namespace
