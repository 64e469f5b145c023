// The readers of the modem's replies, fed what modems answer (and what they get wrong).
#include <gtest/gtest.h>

#include <string>

#include "smsc/modem/modem_replies.h"
#include "smsc/modem/modem_session.h"

namespace {

std::string Show(const CpmsReply& r) {
  std::string out = r.found ? (r.empty ? "empty" : "found") : "none";
  for (const CpmsEntry& e : r.entries) out += " " + e.name + ":" + std::to_string(e.used) + "/" + std::to_string(e.total);
  return out;
}

TEST(ModemReplies, CpmsEntries) {
  struct Case {
    const char* reply;
    const char* want;
  } cases[] = {
      {"\r\n+CPMS: \"SM\",3,20,\"ME\",0,50,\"SM\",3,20\r\n\r\nOK\r\n", "found SM:3/20 ME:0/50 SM:3/20"},
      {"\r\n+CPMS: 0,20,0,20,0,20\r\n\r\nOK\r\n", "found :0/20 :0/20 :0/20"},
      {"+CPMS: SM,1,10\r\nOK\r\n", "found SM:1/10"},
      {"+CPMS: \"sm\", 2 , 10\r\n", "found SM:2/10"},
      {"+CPMS: \r\nOK\r\n", "empty"},
      {"+CPMS: ,,\r\n", "empty"},
      {"+CPMS: \"SM\",", "found"},  // cut short: no entry without its counts
      {"+CPMS: \"SM\",4294967299,20\r\n", "found SM:4294967295/20"},
      {"+CPMS: \"SM\",1,20,\"ME\",1,20,\"MT\",1,20,\"SR\",1,20\r\n", "found SM:1/20 ME:1/20 MT:1/20"},
      {"OK\r\n", "none"},
      {"+CPMS: \"TOOLONGSTORAGE\",1,2\r\n", "found"},
  };
  for (const Case& c : cases) EXPECT_EQ(Show(ParseCpmsReply(c.reply)), c.want) << c.reply;
}

TEST(ModemReplies, CpmsOfferedStorages) {
  struct Case {
    const char* reply;
    bool sr, sm, me, mt;
  } cases[] = {
      {"+CPMS: (\"SM\"),(\"SM\"),(\"SM\")\r\nOK\r\n", false, true, false, false},
      {"+CPMS: (\"ME\",\"SM\",\"SR\",\"MT\"),(\"ME\",\"SM\"),(\"SM\")\r\n", true, true, true, true},
      {"+CPMS: (SM,ME)\r\n", false, false, false, false},  // unquoted names are not offers
      {"ERROR\r\n", false, false, false, false},
  };
  for (const Case& c : cases) {
    CpmsOffer o = ParseCpmsOffer(c.reply);
    EXPECT_EQ(o.sr, c.sr) << c.reply;
    EXPECT_EQ(o.sm, c.sm) << c.reply;
    EXPECT_EQ(o.me, c.me) << c.reply;
    EXPECT_EQ(o.mt, c.mt) << c.reply;
  }
}

std::string Show(const std::vector<CmglEntry>& entries) {
  std::string out;
  for (const CmglEntry& e : entries) {
    out += "[" + std::to_string(e.index) + "|" + e.status + "|" + e.sender + "|" + e.body + "]";
  }
  return out;
}

TEST(ModemReplies, CmglEntries) {
  struct Case {
    const char* reply;
    bool textMode;
    const char* want;
  } cases[] = {
      {"\r\n+CMGL: 1,0,,23\r\n07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07\r\n"
       "+CMGL: 4,1,,5\r\n0791AB\r\n\r\nOK\r\n",
       false,
       "[1|||07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07][4|||0791AB]"},
      // A listing line without its PDU, or with no hex: nothing to decode.
      {"+CMGL: 2,0,,23\r\nOK\r\n", false, ""},
      {"+CMGL: 2,0,,23\r\n", false, ""},
      {"+CMGL: ,0,,23\r\n0791\r\n", false, ""},
      {"+CMGL: 3,\"REC UNREAD\",\"+4917012\",,\"26/12/08,10:00:00+00\"\r\nHello\r\nthere  \r\n"
       "+CMGL: 5,\"REC READ\",\"Shop\"\r\nSecond\r\n\r\nOK\r\n",
       true, "[3|REC UNREAD|+4917012|Hello\r\nthere][5|REC READ|Shop|Second]"},
      {"+CMGL: 7,\"REC UNREAD\",\"+4917\r\nText\r\nERROR\r\n", true, "[7|REC UNREAD|+4917|Text]"},
      {"+CMGL: 8,\"REC UNREAD\",\"+49\"\r\nno end", true, "[8|REC UNREAD|+49|no end]"},
      {"+CMGL: 9", true, "[9|||]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Show(ParseCmglReply(c.reply, c.textMode)), c.want) << c.reply;
}

TEST(ModemReplies, CmglTextIsCut) {
  std::string reply = "+CMGL: 1,\"REC UNREAD\",\"" + std::string(600, '9') + "\"\r\n" + std::string(2000, 'x') +
                      "\r\nOK\r\n";
  std::vector<CmglEntry> e = ParseCmglReply(reply, true);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].sender.size(), 512u);
  EXPECT_EQ(e[0].body.size(), 1023u);
}

TEST(ModemReplies, CnumNumber) {
  struct Case {
    const char* reply;
    const char* want;
  } cases[] = {
      {"+CNUM: \"Own\",\"+4930123456\",145\r\nOK\r\n", "+4930123456"},
      {"+CNUM: \"\",\"4930123456\",129\r\n", "+4930123456"},
      {"+CNUM: ,\"+4930\",145\r\n", "+4930"},
      {"+CNUM: \"Own\"\r\n", ""},
      {"OK\r\n", ""},
      {"+CNUM: \"\",\"\",129\r\n", ""},
      {"+CNUM: \"\",\"123456789012345678901234567890123456789012345678901234567890\",129\r\n",
       "+1234567890123456789012345678901234567890123456789"},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseCnumNumber(c.reply), c.want) << c.reply;
}

TEST(ModemReplies, CnmiAdjustments) {
  struct Case {
    const char* reply;
    const char* value;
    const char* indications;
    const char* reports1;
    const char* reports2;
  } cases[] = {
      {"+CNMI: 2,0,0,0,0\r\nOK\r\n", "2,0,0,0,0", "2,1", "2,0,0,1", "2,0,0,2"},
      {"+CNMI: 2,1,0,1,0\r\n", "2,1,0,1,0", "", "", ""},
      {"+CNMI: 1,2,0,2,1\r\n", "1,2,0,2,1", "", "1,2,0,1", "1,2,0,2"},
      {"+CNMI: 3\r\n", "3", "", "", ""},
      {"+CNMI: 3,\r\n", "3,", "3,1", "", ""},
      {"OK\r\n", "", "", "", ""},
  };
  for (const Case& c : cases) {
    std::string value = CnmiValue(c.reply);
    EXPECT_EQ(value, c.value) << c.reply;
    EXPECT_EQ(CnmiWithIndications(value), c.indications) << c.reply;
    EXPECT_EQ(CnmiWithReports(value, '1'), c.reports1) << c.reply;
    EXPECT_EQ(CnmiWithReports(value, '2'), c.reports2) << c.reply;
  }
}

TEST(ModemReplies, StatusLines) {
  EXPECT_TRUE(CregNotRegistered("+CREG: 0,0\r\nOK\r\n"));
  EXPECT_TRUE(CregNotRegistered("+CREG: 2, 0,\"00C3\",\"0010\"\r\n"));
  EXPECT_FALSE(CregNotRegistered("+CREG: 0,1\r\n"));
  EXPECT_FALSE(CregNotRegistered("+CREG: 0\r\n"));  // a single value never fails the test
  EXPECT_FALSE(CregNotRegistered("+CREG: 0,2\r\n"));
  EXPECT_TRUE(CopsSelected("+COPS: 0,0,\"SIM Operator\"\r\n"));
  EXPECT_FALSE(CopsSelected("+COPS: 0\r\n"));
  EXPECT_TRUE(CfunNotFull("+CFUN: 4\r\n"));
  EXPECT_FALSE(CfunNotFull("+CFUN: 1\r\nOK\r\n"));
  EXPECT_FALSE(CfunNotFull("OK\r\n"));
  EXPECT_TRUE(CfunResetSupported("+CFUN: (0,1,4),(0-1)\r\n"));
  EXPECT_FALSE(CfunResetSupported("+CFUN: (0,1,4)\r\n"));
  EXPECT_TRUE(CsmsPhase2Plus("+CSMS: 1,1,1,1\r\n"));
  EXPECT_FALSE(CsmsPhase2Plus("+CSMS: 0,1,1,1\r\n"));
  EXPECT_EQ(CmgsReference("\r\n+CMGS: 17\r\n\r\nOK\r\n"), "17");
  EXPECT_EQ(CmgsReference("OK\r\n"), "");
  EXPECT_TRUE(ReplyOk("\r\nOK\r\n"));
  EXPECT_FALSE(ReplyOk("\r\nOK"));
  EXPECT_FALSE(ReplyOk("\r\nTOKEN"));
}

TEST(ModemText, PayloadKeepsLineEndsButNoControlBytes) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"pay \x1a" "ATD5551234;", "pay ATD5551234;"},
      {"a\x1b" "b", "ab"},
      {"line\r\nnext", "line\r\nnext"},
      {"tab\there\x7f", "tabhere"},
      {"Gr\xc3\xbc\xc3\x9f" "e", "Gr\xc3\xbc\xc3\x9f" "e"},
  };
  for (const Case& c : cases) EXPECT_EQ(TextModePayload(c.text), c.want) << c.text;
}

}  // namespace
