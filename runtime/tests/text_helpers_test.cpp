#include <gtest/gtest.h>

#include "runtime/names.h"
#include "runtime/text_helpers.h"

TEST(ConfigBoolTest, YesNoRule) {
  struct Case {
    const char* text;
    bool expected;
  } cases[] = {
      {"yes", true}, {"Yes", true}, {"Y", true},     {"y", true},      {"1", true},   {"1abc", true},
      {"TRUE", true}, {"true", true}, {"On", true},  {"ON", true},     {"on", true},  {"No", false},
      {"", false},   {"0", false},   {"false", false}, {"Off", false}, {"Ja", false}, {"TRUE ", false},
      {"Onx", false}, {" yes", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigBool(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ConnectionNameTest, SectionNamesAndBack) {
  struct Case {
    const char* display;
    const char* section;
  } cases[] = {
      {"COM3:", "Modem - COM3:"},
      {"SMPP - 10.0.0.1:2775", "SMPP - 10.0.0.1:2775"},
      {"smpp - host:1", "smpp - host:1"},
      {"UCP - host:3000", "UCP - host:3000"},
      {"CIMD - host:9971", "CIMD - host:9971"},
      {"HTTP - http://x/", "HTTP - http://x/"},
      {"IPModem - 1.2.3.4:23", "IPModem - 1.2.3.4:23"},
      {"Modem [1]", "Modem - Modem \\x5B1\\x5D"},
      {"SMPPX", "Modem - SMPPX"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConnectionSectionName(c.display), c.section) << c.display;
  }
  EXPECT_EQ(ConnectionDisplayName("Modem - Modem \\x5B1\\x5D"), "Modem - Modem [1]");
  EXPECT_EQ(ConnectionDisplayName("a\\x5"), "a\\x5");
}

TEST(SplitHostPortTest, PortsAndRejects) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"example.org", true, "example.org", 99}, {"h:2775", true, "h", 2775},   {"h:0", true, "h", 0},
      {"h:65535", true, "h", 65535},           {"h:65536", false, "old", 99}, {"h:99999", false, "old", 99},
      {"h:12x", false, "old", 99},             {"h:", false, "old", 99},      {"h:4294967297", false, "old", 99},
      {"[::1]:2775", true, "::1", 2775},       {"[::1]", true, "::1", 99},    {"[fd00::2]:80", true, "fd00::2", 80},
      {"::1", true, "::1", 99},                {"fd00::2", true, "fd00::2", 99}, {"[::1]:", false, "old", 99},
      {"[::1]x", false, "old", 99},            {"[::1", false, "old", 99},    {"[::1]:70000", false, "old", 99},
  };
  for (const Case& c : cases) {
    std::string host = "old";
    uint16_t port = 99;
    EXPECT_EQ(SplitHostPort(c.text, host, port), c.ok) << c.text;
    EXPECT_EQ(host, c.ok ? c.host : "old") << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(SplitListTest, ItemsTrimmedEmptyOnesLeftOut) {
  using List = std::vector<std::string>;
  const struct {
    const char* text;
    const char* separators;
    List items;
    const char* first;
  } cases[] = {
      {"", ",", {}, ""},
      {" , ,", ",", {}, ""},
      {"a", ",", {"a"}, "a"},
      {" a , b\t,,c d ,", ",", {"a", "b", "c d"}, "a"},
      {", b", ",", {"b"}, ""},  // the first item is the first, even when empty
      {"1;2,3", ",", {"1;2", "3"}, "1;2"},
      {"1;2,3", ",;", {"1", "2", "3"}, "1"},
      {"\r\nx=1; y = 2 ;", ";", {"x=1", "y = 2"}, "x=1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitList(c.text, c.separators), c.items) << c.text;
    EXPECT_EQ(FirstListItem(c.text, c.separators), c.first) << c.text;
  }
}

TEST(FindTokenTest, PlaceholdersAndPlainWords) {
  EXPECT_EQ(FindToken("x=@@Sender@@", "@@sender@@"), 2u);
  EXPECT_EQ(FindToken("x=@@@Sender@@", "@@Sender@@"), 3u);   // extra at-sign before
  EXPECT_EQ(FindToken("@@@@Sender@@", "@@Sender@@"), 2u);
  EXPECT_EQ(FindToken("@Sender@@", "@@Sender@@"), std::string::npos);
  EXPECT_EQ(FindToken("@@Text@@ @@Sender@@", "@@Sender@@"), 9u);
  EXPECT_EQ(FindToken("abcDEF", "def"), 3u);
  EXPECT_EQ(FindNoCase("abcDEF", "cd"), 4u);
  EXPECT_EQ(FindNoCase("abc", "x"), std::string::npos);
}

TEST(TextHelpersTest, SmallHelpers) {
  EXPECT_EQ(SanitizePathName("SMPP - 1.2.3.4:80/x\\y"), "SMPP - 1.2.3.4-80-x-y");
  EXPECT_EQ(EscapeCrLf("a\r\nb\\c"), "a\\r\\nb\\c");
  EXPECT_EQ(UnescapeCrLf("a\\r\\nb\\c\\"), "a\r\nb\\c\\");
  EXPECT_EQ(SkipSpaces("  \tx"), "\tx");
  EXPECT_EQ(SkipBlanks(" \t\r\nx "), "x ");
  EXPECT_EQ(TrimRight("x \t\r\n"), "x");
  EXPECT_EQ(HostFromUrl("HTTPS://host:8080/path"), "host:8080");
  EXPECT_EQ(HostFromUrl("http://h\\x/y"), "h");
  EXPECT_EQ(HostFromUrl("plain/x"), "plain");
  EXPECT_EQ(ParseDecimal("123abc"), 123u);
  EXPECT_EQ(ParseDecimal("abc"), 0u);
  EXPECT_EQ(ParseDecimal(" 42"), 42u);
  EXPECT_EQ(ParseDecimal("99999999999"), 0xFFFFFFFFu);
  EXPECT_TRUE(WildcardMatchNoCase("*.REQ", "abc.req"));
  EXPECT_TRUE(WildcardMatchNoCase("A?C*", "abcdef"));
  EXPECT_FALSE(WildcardMatchNoCase("*.REQ", "abc.req.tmp"));
  EXPECT_FALSE(WildcardMatchNoCase("*.DB", "x.db-journal"));
}

TEST(NamesTest, PathNamesAndKeyValueLines) {
  for (const char* bad : {"", ".", "..", "a/b", "a\\b", "a\nb", "a\rb", "tab\there", "del\x7f"}) {
    EXPECT_FALSE(IsSafePathName(bad)) << bad;
  }
  for (const char* good : {"user", "user.name", "...", "a b", "Z-9_"}) EXPECT_TRUE(IsSafePathName(good)) << good;
  std::string out;
  AppendKeyValueLine(out, "Sender", "123\r\nData=666");
  AppendKeyValueLine(out, "Text", "ok");
  EXPECT_EQ(out, "Sender=123Data=666\r\nText=ok\r\n");
}
