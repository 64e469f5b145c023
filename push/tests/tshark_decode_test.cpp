// Push PDUs as Wireshark's WSP and WBXML dissectors read them: each PDU goes into a UDP
// datagram to port 2948 in a capture file, decoded with tshark; no malformed packet, and
// the URLs, texts and headers where they belong.
#include <unistd.h>

#include <gtest/gtest.h>

#include "push/push_pdu.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {
std::string Decode(const std::string& pdu) {
  TempDir dir;
  std::string dump = "0000";
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned char c : pdu) {
    dump += ' ';
    dump += kDigits[c >> 4];
    dump += kDigits[c & 15];
  }
  WriteFileText(dir.path() + "pdu.txt", dump + "\n");
  ChildProcess p;
  if (!p.Start({"sh", "-c",
                "text2pcap -q -u 9200,2948 \"$0/pdu.txt\" \"$0/pdu.pcap\" && tshark -r \"$0/pdu.pcap\" -V "
                "-d udp.port==2948,wsp 2>&1",
                dir.path()}))
    return {};
  std::string line, out;
  while (p.ReadLine(line, 15000)) out += line + "\n";
  p.Stop(1000);
  return out;
}

struct Case {
  const char* name;
  std::string pdu;
  std::vector<const char*> expected;
};

TEST(TsharkDecode, PushPdusDecodeWithoutMalformedPackets) {
  if (access("/usr/bin/tshark", X_OK) != 0 || access("/usr/bin/text2pcap", X_OK) != 0)
    GTEST_SKIP() << "tshark is not installed";
  UrlPushRequest si;
  si.url = "http://www.example.com/news";
  si.text = "Breaking";
  si.siId = "42";
  si.siAction = "signal-medium";
  si.siCreated = "2026-12-08T10:00:00Z";
  si.initiatorUri = "http://initiator.example.com";
  si.pushFlag = "1";
  si.includeDate = true;
  si.now = 1765000000;
  si.transactionId = 7;
  UrlPushRequest sl;
  sl.url = "https://secure.example.org/app";
  sl.sl = true;
  sl.slAction = "execute-high";
  UrlPushRequest longInitiator = sl;
  longInitiator.initiatorUri = "http://" + std::string(200, 'i') + ".example.com";

  PushBuildOptions options;
  options.transactionId = 9;
  options.mac = [](std::string_view, std::string_view) -> std::optional<std::string> { return std::string(40, 'C'); };
  auto build = [&](const char* type, const char* content, PushContentKind kind, const char* appId, const char* headers,
                   PushSecurity security = {}) {
    std::string out, error;
    EXPECT_TRUE(CreateWAPPushBinary(type, content, kind, appId, headers, security, options, out, error)) << error;
    return out;
  };
  const Case kCases[] = {
      {"SI with headers", UrlPushPdu(si),
       {"application/vnd.wap.sic", "href='http://www.'", "'example.com/news'", "'Breaking'", "signal-medium",
        "Initiator-Uri: http://initiator.example.com", "Push-Flag"}},
      {"SL", UrlPushPdu(sl), {"application/vnd.wap.slc", "href='https://'", "'secure.example.org/app'", "execute-high"}},
      {"SL with a long initiator", UrlPushPdu(longInitiator), {"Headers Length: 2", "application/vnd.wap.slc"}},
      {"provisioning with USERPIN",
       build("text/vnd.wap.connectivity-xml",
             "<wap-provisioningdoc><characteristic type=\"NAPDEF\"><parm name=\"NAPID\" value=\"N1\"/>"
             "</characteristic></wap-provisioningdoc>",
             PushContentKind::Xml, "x-wap-application:wml.ua", "", {"1234", "USERPIN"}),
       {"application/vnd.wap.connectivity-wbxml", "USERPIN", "CCCCCCCCCC", "NAPDEF"}},
      {"text with headers",
       build("text/plain; charset=utf-8", "hello", PushContentKind::Text, "0x9000",
             "Cache-Control: max-age=60\r\nExpires: Thu, 01 Jan 2026 00:00:00 GMT\r\nX-WAP-Content-URI: "
             "http://c\r\nPush-Flag: 2\r\nX-Custom: v"),
       {"text/plain; charset=UTF-8", "Cache-Control", "max-age", "X-Custom: v"}},
      {"e-mail notification",
       build("application/vnd.wap.emn+xml", "<emn mailbox=\"mailat:user@example.com\" timestamp=\"2026-12-08T10:00:00Z\"/>",
             PushContentKind::Xml, "x-wap-application:emn.ua", ""),
       {"Content-Type: application/vnd.wap.emn+wbxml", "X-Wap-Application-Id"}},
      {"rights", build("application/vnd.oma.drm.rights+xml",
                       "<o-ex:rights xmlns:o-ex=\"http://odrl.net/1.1/ODRL-EX\"><o-ex:context><o-dd:version>1.0"
                       "</o-dd:version></o-ex:context></o-ex:rights>",
                       PushContentKind::Xml, "x-wap-application:drm.ua", ""),
       {"application/vnd.oma.drm.rights+wbxml"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string decoded = Decode(c.pdu);
    ASSERT_NE(decoded.find("Wireless Session Protocol"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("[Expert Info (Error"), std::string::npos) << decoded;
    for (const char* text : c.expected) EXPECT_NE(decoded.find(text), std::string::npos) << text << "\n" << decoded;
  }
}
}  // namespace
