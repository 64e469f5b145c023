#include <gtest/gtest.h>

#include "push/pap_request.h"
#include "runtime/hex_text.h"

namespace {
const std::string kControl =
    "<?xml version=\"1.0\"?>\r\n<!DOCTYPE pap PUBLIC \"-//WAPFORUM//DTD PAP 2.0//EN\" "
    "\"http://www.wapforum.org/DTD/pap_2.0.dtd\">\r\n<pap><push-message push-id=\"p1\">"
    "<address address-value=\"WAPPUSH=+447700900123/TYPE=PLMN@ppg.example.com\"/>"
    "<address address-value=\"wappush=192.168.1.10/type=ipv4@ppg\"/></push-message></pap>";

std::string Body(const std::string& headers, const std::string& content) {
  return "--X\r\nContent-Type: application/xml\r\n\r\n" + kControl + "\r\n--X\r\n" + headers + "\r\n\r\n" + content +
         "\r\n--X--\r\n";
}

struct Case {
  const char* name;
  std::string headers;
  std::string content;
  const char* pdu;  // hex after the transaction id
};

TEST(PapRequest, ContentPartsToPdus) {
  const Case kCases[] = {
      {"sl compiled", "Content-Type: text/vnd.wap.sl", "<sl href=\"http://a\"/>", "0601B002066A008509036100" "01"},
      {"binary copied, type code only", "Content-Type: application/vnd.wap.slc", "\x02\x06\x6A", "0601B0" "02066A"},
      {"app id, initiator, flag", "Content-Type: application/vnd.wap.slc\r\nX-Wap-Application-ID: 0x04\r\n"
       "X-Wap-Initiator-URI: http://i\r\nPush-flag: 3", "Z",
       "060FB0AF84B1687474703A2F2F6900B483" "5A"},
      {"charset, SEC and MAC", "Content-Type: text/plain; charset=utf-8; SEC=USERPIN; MAC=AB12", "hi",
       "060C" "0B83" "81EA" "9181" "924142313200" "6869"},
      {"mms message type as text", "Content-Type: application/vnd.wap.mms-message", "\x8C",
       "0620" "6170706C69636174696F6E2F766E642E7761702E6D6D732D6D65737361676500" "8C"},
      {"length bounded by the part", "Content-Type: text/plain\r\nContent-Length: 9999", "abc", "060183616263"},
      {"length shorter", "Content-Type: text/plain\r\nContent-Length: 2", "abc", "0601836162"},
      {"emn as text type", "Content-Type: application/vnd.wap.emn+xml", "<emn mailbox=\"mailat:a\"/>",
       "061E6170706C69636174696F6E2F766E642E7761702E656D6E2B7762786D6C00" "020D6A00850703610001"},
  };
  for (const Case& c : kCases) {
    PapRequest out;
    std::string error;
    ASSERT_TRUE(ParsePapRequest(true, "multipart/related; boundary=X", Body(c.headers, c.content), 0x21, 0x02, out,
                                error))
        << c.name << ": " << error;
    std::string expected = c.pdu;
    EXPECT_EQ(HexEncode(out.pdu), "21" + expected) << c.name;
    EXPECT_EQ(out.pushId, "p1");
    EXPECT_EQ(out.recipients, (std::vector<std::string>{"+447700900123", "192.168.1.10"}));
  }
}

struct FailureCase {
  bool post;
  std::optional<std::string> type;
  std::string body;
  const char* error;
};

TEST(PapRequest, FailuresInTheirOrder) {
  std::string part = "\r\n--X\r\nContent-Type: text/plain\r\n\r\nx";
  const FailureCase kCases[] = {
      {true, std::nullopt, "", "Unsupported or invalid Push Access Protocol (PAP) request - missing content type"},
      {false, "multipart/related; boundary=X", "", "Unsupported or invalid Push Access Protocol (PAP) request - request is not multipart"},
      {true, "text/xml", "", "Unsupported or invalid Push Access Protocol (PAP) request - request is not multipart"},
      {true, "multipart/related", "", "Multipart MIME boundary invalid or missing"},
      {true, "multipart/related; boundary=\"\"", "", "Multipart MIME boundary invalid or missing"},
      {true, "multipart/related; boundary=X", "", "Invalid MIME boundary"},
      {true, "multipart/related; boundary=X", "--Y\r\n", "Invalid MIME boundary"},
      {true, "multipart/related; boundary='X'", "--X\r\n\r\n" + kControl, "Closing MIME boundary not found"},
      {true, "multipart/related;boundary=X", "--X\r\n\r\n" + kControl + "\r\n--X--", "Push MIME content part not found"},
      {true, "multipart/related; boundary=X", "--X\r\n\r\n" + kControl + "\r\n--X", "Push MIME content part not found"},
      {true, "multipart/related; boundary=X", "--X\r\n\r\n" + kControl + part, "Closing MIME boundary for push content part not found"},
      {true, "multipart/related; boundary=X", "--X\r\n\r\n<pap/>" + part + "\r\n--X--", "No valid push recipients"},
      {true, "multipart/related; boundary=X", "--X\r\n\r\n<pap><address address-value=\"WAPPUSH=@x\"/></pap>" + part + "\r\n--X--",
       "No valid push recipients"},
      {true, "multipart/related; boundary=X", "--X\r\n\r\n" + kControl + "\r\n--X\r\nX-A: b\r\n\r\nx\r\n--X--",
       "Invalid push content"},
      {true, "multipart/related; boundary=X", "--X\r\n\r\n" + kControl + "\r\n--X\r\nContent-Type: text/plain\r\n\r\n\r\n--X--",
       "Invalid push content"},
  };
  for (const FailureCase& c : kCases) {
    PapRequest out;
    std::string error;
    EXPECT_FALSE(ParsePapRequest(c.post, c.type, c.body, 1, 2, out, error)) << c.error;
    EXPECT_EQ(error, c.error) << c.body;
  }
}

TEST(PapRequest, AnswerDocumentsEscapeTheirTexts) {
  EXPECT_EQ(PapSuccessDocument("a\"<&>'"),
            "<?xml version=\"1.0\"?>\r\n<!DOCTYPE pap PUBLIC \"-//WAPFORUM//DTD PAP 1.0//EN\" "
            "\"http://www.wapforum.org/DTD/pap_1.0.dtd\">\r\n<pap>\r\n<push-response "
            "push-id=\"a&quot;&lt;&amp;&gt;&apos;\">\r\n<response-result code=\"1001\"/>\r\n</push-response>\r\n"
            "</pap>\r\n");
  EXPECT_NE(PapSuccessDocument("").find("push-id=\"unknown\""), std::string::npos);
  EXPECT_EQ(PapFailureDocument("x<y"), "<pap>\r\n<badmessage-response code=\"2000\" desc=\"x&lt;y\"/>\r\n</pap>\r\n");
}
}  // namespace
