// When a reply ends, and when a pushed message is complete.
#include <gtest/gtest.h>

#include <string>

#include "modem/pushed_scan.h"
#include "modem/reply_end.h"

namespace {

struct EndCase {
  const char* name;
  std::string reply;
  bool waitForPrompt;
  const char* expected;
  bool finished;
};

TEST(ReplyEnd, EndConditions) {
  const EndCase cases[] = {
      {"plain OK", "\r\nOK\r\n", false, "", true},
      {"OK with LF only", "OK\n", false, "", true},
      {"OK not yet ended", "\r\nOK", false, "", false},
      {"ERROR ends", "\r\nERROR\r\n", false, "", true},
      {"ERROR cut before its line end", "\r\nERROR", false, "", false},
      {"CMS ERROR ends whatever is expected", "\r\n+CMS ERROR: 500\r\n", false, "+CMGS:", true},
      {"CMS ERROR cut in its number", "\r\n+CMS ERROR: 5", false, "+CMGS:", false},
      {"CME ERROR ends", "\r\n+CME ERROR: 16\r\n", false, "", true},
      {"expected text then OK", "\r\n+CMGS: 12\r\n\r\nOK\r\n", false, "+CMGS:", true},
      {"OK before the expected text does not end", "\r\nOK\r\n", false, "+CMGS:", false},
      {"expected without its OK", "\r\n+CPMS: 1,20\r\n", false, "+CPMS:", false},
      {"prompt ends in prompt mode", "\r\n> ", true, "", true},
      {"prompt ignored outside prompt mode", "\r\n> ", false, "", false},
      {"error beats the prompt", "\r\n+CMS ERROR: 331\r\n", true, "", true},
      {"empty", "", false, "", false},
      {"OKAY is no OK", "OKAY\r\n", false, "", false},
  };
  for (const EndCase& c : cases) {
    EXPECT_EQ(ReplyFinished(c.reply, c.waitForPrompt, c.expected), c.finished) << c.name;
  }
}

TEST(ReplyEnd, PromptAlternatives) {
  struct Case {
    const char* reply;
    const char* prompts;
    bool seen;
  } cases[] = {
      {"\r\nUsername: ", "Username+++User name+++User+++Login", true},
      {"login: ", "Username+++User name+++User+++Login", false},  // case counts
      {"\r\nLogin: ", "Username+++User name+++User+++Login", true},
      {"Password: ", "Password+++pass", true},
      {"passphrase", "Password+++pass", true},
      {"PASS", "Password+++pass", false},
      {"\r\nOK\r\n", "OK", true},
      {"anything", "", false},
      {"a+++b", "+++", false},
  };
  for (const Case& c : cases) EXPECT_EQ(PromptSeen(c.reply, c.prompts), c.seen) << c.reply << " / " << c.prompts;
}

struct ScanCase {
  const char* name;
  std::string buffer;
  PushedShape shape;
  std::string pdu = {};
  std::string rest = {};  // the buffer with the message taken out (complete and malformed ones)
};

// SMSC field 07 91 2143658709F1 and a 23-octet SMS-DELIVER.
const std::string kPdu = "07912143658709F1040B919471103254F600006240312100000004C8329BFD";
constexpr const char* kPduLen = "23";

TEST(PushedScan, Completeness) {
  const std::string head = std::string("\r\n+CMT: ,") + kPduLen + "\r\n";
  const ScanCase cases[] = {
      {"none", "\r\nOK\r\n", PushedShape::None},
      {"header cut", "\r\n+CMT: ,2", PushedShape::Incomplete},
      {"header without PDU line", head, PushedShape::Incomplete},
      {"PDU line cut", head + kPdu.substr(0, 30), PushedShape::Incomplete},
      {"one digit of the SMSC length", head + "0", PushedShape::Incomplete},
      {"whole PDU, line end still to come", head + kPdu, PushedShape::Pdu, kPdu, "\r\n"},
      {"whole PDU with OK after", head + kPdu + "\r\n\r\nOK\r\n", PushedShape::Pdu, kPdu, "\r\n\r\nOK\r\n"},
      {"PDU line ended short", head + kPdu.substr(0, 40) + "\r\n", PushedShape::Pdu, kPdu.substr(0, 40), "\r\n"},
      {"alpha field and length", "+CMT: \"Bob\"," + std::string(kPduLen) + "\r\n" + kPdu + "\r\n", PushedShape::Pdu,
       kPdu, ""},
      {"length over 1024 is not waited for", "\r\n+CMT: ,1025\r\n07912143", PushedShape::Malformed, "",
       "\r\n07912143"},
      {"huge length is not waited for", "+CMT: ,99999999999\r\n", PushedShape::Malformed, "", ""},
      {"1024 is still a length", "+CMT: ,1024\r\n0791", PushedShape::Incomplete},
      {"PDU line not hex", head + "hello\r\n", PushedShape::Malformed, "", "\r\nhello\r\n"},
      {"text form", "\r\n+CMT: \"+4917012\",,\"26/12/08,10:00:00+00\"\r\nHi there\r\nOK\r\n", PushedShape::TextCmt,
       "", "\r\nOK\r\n"},
      {"text form, text line cut", "+CMT: \"+4917012\",,\"26/12/08,10:00:00+00\"\r\nHi th", PushedShape::Incomplete},
      {"no comma is text form", "+CMT: \"+4917012\"\r\nHi\r\n", PushedShape::TextCmt, "", ""},
      {"CDS in PDU form", "\r\n+CDS: 25\r\n" + kPdu + "\r\n", PushedShape::Pdu, kPdu, "\r\n"},
      {"CDS PDU line cut", "+CDS: 25\r\n0791214365", PushedShape::Incomplete},
      {"CDS text form", "+CDS: 6,12,\"+4912345\",145,\"26/12/08,10:00:00+00\",\"26/12/08,10:00:05+00\",0\r\nX",
       PushedShape::TextCds, "", "X"},
      {"CDS with garbage", "+CDS: abc\r\nOK\r\n", PushedShape::Malformed, "", "OK\r\n"},
      {"CDS length over 1024", "+CDS: 2000\r\n0791\r\n", PushedShape::Malformed, "", "0791\r\n"},
      {"earlier of the two", "+CDS: 25\r\n" + kPdu + "\r\n+CMT: ,23\r\n", PushedShape::Pdu, kPdu,
       "+CMT: ,23\r\n"},
  };
  for (const ScanCase& c : cases) {
    PushedScan s = ScanPushed(c.buffer);
    ASSERT_EQ(s.shape, c.shape) << c.name;
    if (c.shape == PushedShape::Pdu) {
      EXPECT_EQ(s.pdu, c.pdu) << c.name;
    }
    if (c.shape == PushedShape::None || c.shape == PushedShape::Incomplete) continue;
    std::string rest = c.buffer;
    rest.erase(s.begin, s.end - s.begin);
    EXPECT_EQ(rest, c.rest) << c.name;
  }
}

TEST(PushedScan, TextFormFields) {
  std::string longText(600, 'x');
  struct Case {
    std::string buffer;
    std::string sender;
    std::string text;
  } cases[] = {
      {"+CMT: \"+4917012\",,\"26/12/08\"\r\nHello\r\n", "+4917012", "Hello"},
      {"+CMT: 4917012,,\"26/12/08\"\r\nHello\r\n", "4917012", "Hello"},
      {"+CMT: \"" + std::string(70, '7') + "\",,\"x\"\r\nA\r\n", std::string(49, '7'), "A"},
      {"+CMT: \"Shop\"\r\n" + longText + "\r\n", "Shop", std::string(499, 'x')},
  };
  for (const Case& c : cases) {
    PushedScan s = ScanPushed(c.buffer);
    ASSERT_EQ(s.shape, PushedShape::TextCmt) << c.buffer;
    EXPECT_EQ(s.sender, c.sender);
    EXPECT_EQ(s.text, c.text);
  }
}

}  // namespace
