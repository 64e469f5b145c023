// The two-way command table, the choice of a command, its tokens, argument splitting and
// mail files.
#include <gtest/gtest.h>

#include "inbound/two_way_command.h"

namespace {

TEST(TwoWayCommand, TableLinesInTabAndSpaceForm) {
  struct Case {
    const char* value;
    const char* keyword;
    const char* command;
    bool capture;
    const char* recipients;
  } cases[] = {
      {"HELLO\t/usr/bin/hello @@SMS@@\tYes\t4477*,4478", "HELLO", "/usr/bin/hello @@SMS@@", true, "4477*,4478"},
      {"HELLO\thttp://h/x?a=@@TEXT@@\tNo", "HELLO", "http://h/x?a=@@TEXT@@", false, ""},
      // The older form: keyword, command and flag separated by single spaces.
      {"WEATHER /opt/weather Yes", "WEATHER", "/opt/weather", true, ""},
      // One tab: only the last space becomes a field separator.
      {"NEWS\t/opt/news --all now Yes", "NEWS", "/opt/news --all now", true, ""},
      {"ALONE", "ALONE", "", false, ""},
  };
  for (const Case& c : cases) {
    TwoWayCommandLine line = ParseCommandLine(c.value);
    EXPECT_EQ(line.keyword, c.keyword) << c.value;
    EXPECT_EQ(line.command, c.command) << c.value;
    EXPECT_EQ(line.capture, c.capture) << c.value;
    EXPECT_EQ(line.recipients, c.recipients) << c.value;
  }
}

TEST(TwoWayCommand, ChoiceByScoreListAndBinary) {
  std::vector<TwoWayCommandLine> table = {
      {"HEL*", "wild", true, ""},
      {"HELP", "exact", true, ""},
      {"INFO*", "info-any", false, ""},
      {"I*", "info-listed", true, "5555,66*"},
      {"BIN*", "bin-plain", false, ""},
      {"B*", "bin @@Binary@@", false, ""},
      {"*", "fallback", false, "7777"},
  };
  struct Case {
    const char* keyword;
    const char* recipient;
    bool binary;
    const char* command;  // "" for none
  } cases[] = {
      // Equal to the pattern beats a wildcard of the same length.
      {"help", "1", false, "exact"},
      {"HELLO", "1", false, "wild"},
      // A matching recipient list beats every line without one, even a longer pattern.
      {"INFO", "5555", false, "info-listed"},
      {"INFO", "6601", false, "info-listed"},
      {"INFO", "1234", false, "info-any"},
      // A binary message only gets a command that asks for binary content.
      {"BINX", "1", true, "bin @@Binary@@"},
      {"BINX", "1", false, "bin-plain"},
      {"ZZZ", "1", false, ""},
      {"ZZZ", "7777", false, "fallback"},
  };
  for (const Case& c : cases) {
    CommandChoice choice = ChooseCommand(table, c.keyword, c.recipient, c.binary);
    EXPECT_EQ(choice.found ? choice.command : "", c.command) << c.keyword << " " << c.recipient;
  }
}

TEST(TwoWayCommand, KeywordEndsAtTheFirstBlankOrControl) {
  EXPECT_EQ(KeywordOf("HELLO world"), "HELLO");
  EXPECT_EQ(KeywordOf("a\r\nb"), "a");
  EXPECT_EQ(KeywordOf(std::string(300, 'k')), std::string(199, 'k'));
  EXPECT_EQ(KeywordOf(""), "");
}

TEST(TwoWayCommand, TokensInOnePass) {
  TokenValues v;
  v.sender = "+4477";
  v.recipient = "5555";
  v.keyword = "HI";
  v.text = "HI there @@SENDER@@";
  v.rest = "there @@SENDER@@";
  v.pid = 0x3f;
  v.dcs = 8;
  v.binary = true;
  v.date = "20261208";
  v.time = "223000";
  struct Case {
    const char* pattern;
    TokenEscape escape;
    std::string expected;
  } cases[] = {
      {"@@sender@@/@@RECIP@@/@@SmsPrefix@@", TokenEscape::None, "+4477/5555/HI"},
      // An inserted value is never read again for tokens.
      {"[@@SMS@@]", TokenEscape::None, "[there @@SENDER@@]"},
      {"@@PID@@@@DCS@@@@BINARY@@", TokenEscape::None, "3F081"},
      {"@@MSGDATE@@T@@MSGTIME@@", TokenEscape::None, "20261208T223000"},
      // Unknown tokens and lone markers stay.
      {"a@@b@@UNKNOWN@@c@@", TokenEscape::None, "a@@b@@UNKNOWN@@c@@"},
      {"x@@@SENDER@@", TokenEscape::None, "x@+4477"},
      {"q=@@FULLSMS@@", TokenEscape::Url, "q=HI%20there%20@@SENDER@@"},
      {"s=@@SENDER@@", TokenEscape::Url, "s=%2B4477"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReplaceTokens(c.pattern, v, c.escape), c.expected) << c.pattern;

  // A text cannot split a request: CR, LF, other control bytes and DEL are escaped.
  v.text = "a\r\nHost: evil\x01\x7f";
  EXPECT_EQ(ReplaceTokens("t=@@TEXT@@", v, TokenEscape::Url), "t=a%0D%0AHost:%20evil%01%7F");
  // The result is cut at 8192 characters.
  v.text = std::string(5000, 'x');
  EXPECT_EQ(ReplaceTokens("@@TEXT@@@@TEXT@@", v, TokenEscape::None).size(), 8192u);
}

TEST(TwoWayCommand, ArgumentSplitting) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {"/bin/prog a b", {"/bin/prog", "a", "b"}},
      {"  prog   \"two words\"  x\t@@SMS@@ ", {"prog", "two words", "x", "@@SMS@@"}},
      {"prog \"\" end", {"prog", "", "end"}},
      {"prog a\"b c\"d", {"prog", "ab cd"}},
      {"prog \"open", {"prog", "open"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandArguments(c.line), c.args) << c.line;
}

TEST(TwoWayCommand, MailFileLines) {
  struct Case {
    const char* mailto;
    const char* sender;
    std::string expected;
  } cases[] = {
      {"mailto:bob@example.com", "+4477",
       "From: +4477@sms.example\r\nTo: bob@example.com\r\nSubject: SMS\r\n"
       "Content-type: text/plain; charset=\"utf-8\"\r\n\r\nthe text"},
      {"mailto:a@x,b@y?cc=c@z&bcc=d@w&subject=Hi%20there&body=B", "joe@host",
       "From: joe@sms.example\r\nTo: a@x\r\nTo: b@y\r\nCc: c@z\r\nBcc: d@w\r\nSubject: Hi there\r\n"
       "Content-type: text/plain; charset=\"utf-8\"\r\n\r\nB"},
      // Decoded line breaks never make a header of their own.
      {"mailto:a@x%0D%0ABcc:%20spy@evil?subject=S%0d%0aBcc:%20spy2@evil&to=t@x%0ABcc:x@y", "1",
       "From: 1@sms.example\r\nTo: a@xBcc: spy@evil\r\nTo: t@xBcc:x@y\r\nSubject: SBcc: spy2@evil\r\n"
       "Content-type: text/plain; charset=\"utf-8\"\r\n\r\nthe text"},
      {"mailto:nobody", "1", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MailFileText(c.mailto, c.sender, "the text", "sms.example"), c.expected) << c.mailto;
}

}  // namespace
