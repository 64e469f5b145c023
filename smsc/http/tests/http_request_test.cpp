#include "smsc/http/http_request.h"

#include <gtest/gtest.h>

#include "config/settings.h"
#include "config/settings_override.h"
#include "httpclient/http_text.h"
#include "runtime/text_helpers.h"
#include "smsc/http/http_answer.h"

namespace {

HttpSmscSettings Defaults() {
  HttpSmscSettings s;
  s.templateText = "/?PhoneNumber=@@PhoneNumber@@&Sender=@@Sender@@&Text=@@Text@@";
  s.templateBinary =
      "/?PhoneNumber=@@PhoneNumber@@&Sender=@@Sender@@&Binary=1&Data=@@Data@@&UDH=@@UDH@@&pid=@@pid@@&dcs=@@dcs@@";
  return s;
}

// The request line of a built request.
std::string RequestTarget(const std::string& request) {
  size_t sp = request.find(' ');
  return request.substr(sp + 1, request.find(" HTTP/1.1\r\n") - sp - 1);
}

TEST(HttpSmscTokens, ExpandedInOnePassWithoutCase) {
  auto values = [](std::string_view name) -> std::optional<std::string> {
    if (EqualsNoCase(name, "Password")) return std::string("secret");
    if (EqualsNoCase(name, "Text")) return std::string("@@Password@@");
    if (EqualsNoCase(name, "A")) return std::string("1");
    return std::nullopt;
  };
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"t=@@Text@@", "t=@@Password@@"},  // a value is never read again for tokens
      {"@@text@@|@@TEXT@@", "@@Password@@|@@Password@@"},
      {"p=@@password@@", "p=secret"},
      {"@@unknown@@A@@", "@@unknown1"},  // the closing at-signs of an unknown name may open the next
      {"@@unknown@@@@A@@", "@@unknown@@1"},
      {"@@@A@@", "@1"},  // a longer run opens at its last two
      {"@@A", "@@A"},
      {"@@@@", "@@@@"},
      {"x@@A@@y@@A@@z", "x1y1z"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandTokens(c.in, values), c.out) << c.in;
}

TEST(HttpSmscTokens, UrlFormEscapesControlBytesAndDel) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"+ & % \xE2\x82\xAC", "%2B%20%26%20%25%20%E2%82%AC"}, {"a\r\nb\tc", "a%0D%0Ab%09c"},
      {std::string("\x00\x1F\x7F", 3), "%00%1F%7F"},         {"$'()-./:=@[]^_`{|}~AZaz09", "$'()-./:=@[]^_`{|}~AZaz09"},
      {"#?\"<>\\,;!*", "%23%3F%22%3C%3E%5C%2C%3B%21%2A"},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlEscape(c.in), c.out) << c.in;
}

TEST(HttpSmscTokens, HexPairsAndDestinationPort) {
  EXPECT_EQ(HexPairsEscaped("0B05040B8423F0"), "%0B%05%04%0B%84%23%F0");
  EXPECT_EQ(HexPairsEscaped("0a\r\n&b"), "%0A");  // only pairs of hex digits; a lone digit is dropped
  EXPECT_EQ(HexPairsEscaped("%0D%0A"), "%0D%0A");
  struct Case {
    const char* udh;
    std::optional<uint16_t> port;
  } ports[] = {
      {"0605040B8423F0", 0x0B84},
      {"0400030A0204", std::nullopt},
      {"0B00030A0201050415811581", 0x1581},
      {"0404020102", 0x01},
      {"", std::nullopt},
      {"0605040B", std::nullopt},
  };
  for (const Case& c : ports) EXPECT_EQ(UdhDestinationPort(c.udh), c.port) << c.udh;
}

// Every token of a template, with its value in the request.
TEST(HttpSmscRequest, EveryToken) {
  SettingsOverride settings{SettingsBlock{}};
  settings->ExtraHttpArgList = {"Ref", "Missing"};
  HttpSmscSettings s = Defaults();
  s.userName = "u s";
  s.password = "p&w";
  s.templateBinary =
      "/b?u=@@UserName@@&p=@@Password@@&to=@@PhoneNumber@@&from=@@Sender@@&ref=@@ref@@&m=@@Missing@@"
      "&t=@@Text@@&d=@@Data@@&udh=@@UDH@@&ul=@@UDHLendecimal@@&uh=@@UDHLen@@&pid=@@PID@@&dcs=@@DCS@@"
      "&pd=@@PIDdecimal@@&dd=@@DCSdecimal@@&port=@@UDHDestPort@@&pdec=@@UDHDestPortDecimal@@"
      "&ub=@@UDHBin@@&db=@@DataBin@@&st=@@ServiceType@@&rr=@@ReceiptRequested@@&su=@@SubmitUser@@"
      "&sp=@@SubmitPassword@@&id=@@MessageID@@&w=@@CDMAWAPPDU@@@@CDMAWAPMMTS@@&x=@@Unknown@@";
  SmsMessageRecord m;
  m.Binary = true;
  m.Data = "C0FFEE";
  m.UDH = "060504C34FC002";
  m.Pid = 0x41;
  m.Dcs = 0xF5;
  m.ServiceType = "WAP";
  m.SubmitUser = "alice";
  m.MessageFlags = kMsgReceiptRequested;
  m.ExtraArguments = {{"REF", "a b"}};
  SubmitRequest r{"0000ABCD", "+4477", "+4488", ""};
  HttpRequestParts parts;
  parts.settings = &s;
  parts.host = "h:81";
  parts.submitPassword = [] { return std::string("alice pw"); };
  BuiltHttpRequest b = BuildHttpSmscRequest(parts, m, r);
  EXPECT_EQ(RequestTarget(b.text),
            "/b?u=u%20s&p=p%26w&to=%2B4477&from=%2B4488&ref=a%20b&m=&t=C0FFEE&d=C0FFEE&udh=060504C34FC002&ul=7&uh=07"
            "&pid=41&dcs=F5&pd=65&dd=245&port=C34F&pdec=49999&ub=%06%05%04%C3%4F%C0%02&db=%C0%FF%EE&st=WAP&rr=Yes"
            "&su=alice&sp=alice%20pw&id=0000ABCD&w=&x=@@Unknown@@");
  EXPECT_TRUE(b.usesMessageId);
  EXPECT_EQ(b.logText.find("p%26w"), std::string::npos) << b.logText;
  EXPECT_EQ(b.logText.find("alice%20pw"), std::string::npos) << b.logText;

  // A text without header or report request, RemovePlus, and the text in another charset.
  s.removePlus = true;
  s.charset = "iso-8859-15";
  m = SmsMessageRecord{};
  m.Data = "\xE2\x82\xAC 1";
  b = BuildHttpSmscRequest(parts, m, r);
  EXPECT_EQ(RequestTarget(b.text), "/?PhoneNumber=4477&Sender=4488&Text=%A4%201");
  EXPECT_FALSE(b.usesMessageId);
  s.templateText = "/t?l=@@UDHLen@@&ld=@@UDHLendecimal@@&p=@@UDHDestPort@@&r=@@ReceiptRequested@@";
  b = BuildHttpSmscRequest(parts, m, r);
  EXPECT_EQ(RequestTarget(b.text), "/t?l=00&ld=0&p=&r=No");
}

// What the request is made of around its target: the Host, the proxy form, the login,
// keep-alive; the log's copy hides the password and the login.
TEST(HttpSmscRequest, RequestLineAndHeaders) {
  SettingsOverride settings{SettingsBlock{}};
  struct Case {
    bool proxy, auth, keepAlive;
    const char* host;
    const char* expected;
  } cases[] = {
      {false, false, false, "h",
       "GET /?PhoneNumber=1&Sender=2&Text=x HTTP/1.1\r\nUser-Agent: Qar SMS/MMS Gateway v2011.01.14\r\nHost: h\r\n"
       "Accept: */*\r\nConnection: close\r\n\r\n"},
      {false, true, true, "h:8080",
       "GET /?PhoneNumber=1&Sender=2&Text=x HTTP/1.1\r\nUser-Agent: Qar SMS/MMS Gateway v2011.01.14\r\nHost: h:8080\r\n"
       "Authorization: Basic dXNlcjpwYXNz\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n"},
      {true, false, false, "h:81",
       "GET http://h:81/?PhoneNumber=1&Sender=2&Text=x HTTP/1.1\r\nUser-Agent: Qar SMS/MMS Gateway v2011.01.14\r\n"
       "Accept: */*\r\nConnection: close\r\n\r\n"},
  };
  for (const Case& c : cases) {
    HttpSmscSettings s = Defaults();
    s.userName = "user";
    s.password = "pass";
    s.useAuth = c.auth;
    s.useKeepAlive = c.keepAlive;
    HttpRequestParts parts;
    parts.settings = &s;
    parts.host = c.host;
    parts.throughPlainProxy = c.proxy;
    SmsMessageRecord m;
    m.Data = "x";
    BuiltHttpRequest b = BuildHttpSmscRequest(parts, m, SubmitRequest{"1", "1", "2", ""});
    EXPECT_EQ(b.text, c.expected);
    EXPECT_EQ(b.logText.find("dXNlcjpwYXNz"), std::string::npos);
  }
  struct HostCase {
    uint16_t port;
    bool tls;
    const char* text;
  } hosts[] = {{80, false, "h"}, {443, true, "h"}, {443, false, "h:443"}, {80, true, "h:80"}, {8080, false, "h:8080"}};
  for (const HostCase& c : hosts) EXPECT_EQ(HttpHostText("h", c.port, c.tls), c.text);
}

TEST(HttpSmscAnswer, MessageIdAfterPrefix) {
  struct Case {
    const char* body;
    const char* prefix;
    const char* id;
  } cases[] = {
      {"ID: 12345.", "ID:", "12345"},
      {"OK MessageID=ab-1;,.\r\n", "MessageID=", "ab-1"},
      {"<p>MessageID=77</p>", "MessageID=", "77"},
      {"MessageID=x>y", "MessageID=", "x"},
      {"MessageID=", "MessageID=", ""},
      {"MessageID=   \r\n9", "MessageID=", ""},
      {"no id here", "MessageID=", ""},
      {"MessageID=5", "", ""},
      {"messageid=5", "MessageID=", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageIdAfterPrefix(c.body, c.prefix), c.id) << c.body;
  std::string longId(200, 'a');
  EXPECT_EQ(MessageIdAfterPrefix("MessageID=" + longId, "MessageID="), std::string(149, 'a'));
}

TEST(HttpSmscAnswer, OutcomesAndKeepAlive) {
  HttpSmscSettings s;
  s.messageIdPrefix = "MessageID=";
  s.parseFailure = {"ERR", "Denied"};
  struct Case {
    const char* raw;
    std::vector<std::string> success;
    SubmitOutcome outcome;
    const char* text;
    const char* id;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\nMessageID=9", {}, SubmitOutcome::Done, "", "9"},
      {"HTTP/1.1 204 No Content\r\n\r\n", {}, SubmitOutcome::Done, "", ""},
      {"HTTP/1.1 401 No\r\n\r\n", {}, SubmitOutcome::Retry, "HTTPSMSC:  Invalid user name or password", ""},
      {"HTTP/1.1 403 No\r\n\r\n",
       {},
       SubmitOutcome::Retry,
       "HTTPSMSC:  Connection denied.  Possible invalid user name or password, or connection not allowed from this "
       "IP address.",
       ""},
      {"HTTP/1.1 500 Oops\r\n\r\n",
       {},
       SubmitOutcome::Retry,
       "HTTPSMSC:  Connection failed, HTTP status code = 500.",
       ""},
      {"HTTP/1.1 302 Moved\r\n\r\n",
       {},
       SubmitOutcome::Retry,
       "HTTPSMSC:  Connection failed, HTTP status code = 302.",
       ""},
      {"garbage\r\n\r\n", {}, SubmitOutcome::Retry, "HTTPSMSC:  Connection failed, HTTP status code = 0.", ""},
      {"HTTP/1.1 200 OK\r\n\r\nERR: no credit",
       {},
       SubmitOutcome::Rejected,
       "HTTPSMSC:  Failure Response from SMSC",
       ""},
      {"HTTP/1.1 200 OK\r\n\r\nDenied",
       {"Denied"},
       SubmitOutcome::Rejected,
       "HTTPSMSC:  Failure Response from SMSC",
       ""},
      {"HTTP/1.1 200 OK\r\n\r\n0: Accepted for delivery", {"Sent", "Accepted"}, SubmitOutcome::Done, "", ""},
      {"HTTP/1.1 200 OK\r\n\r\nQueued",
       {"Sent", "Accepted"},
       SubmitOutcome::Rejected,
       "HTTPSMSC:  SMSC Response indicates Failure",
       ""},
      // The texts are looked for in the body only.
      {"HTTP/1.1 200 OK\r\nX-Status: Accepted\r\n\r\nQueued",
       {"Accepted"},
       SubmitOutcome::Rejected,
       "HTTPSMSC:  SMSC Response indicates Failure",
       ""},
  };
  for (const Case& c : cases) {
    s.parseSuccess = c.success;
    SubmitResult r = JudgeHttpSmscAnswer(s, ReadHttpSmscAnswer(c.raw));
    EXPECT_EQ(r.outcome, c.outcome) << c.raw;
    EXPECT_EQ(r.errorText, c.text) << c.raw;
    EXPECT_EQ(r.smscMessageId, c.id) << c.raw;
  }
  struct KeepCase {
    const char* raw;
    bool keeps;
  } keeps[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nconnection: Close\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n", true},
      {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\n", true},
  };
  for (const KeepCase& c : keeps) EXPECT_EQ(ReadHttpSmscAnswer(c.raw).keepsConnection, c.keeps) << c.raw;
}

}  // namespace
