// Telnet commands from a terminal server: answers, what stays data, commands cut by reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modem/telnet_commands.h"

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

constexpr int IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;

struct Case {
  const char* name;
  std::string input;
  std::string data;
  std::string answers;
  std::vector<std::string> log;
};

TEST(TelnetCommands, AnswersAndData) {
  const Case cases[] = {
      {"DO echo: offer SGA first, then refuse", Bytes({IAC, DO, 1}), "",
       Bytes({IAC, DO, 3, IAC, WILL, 3, IAC, WONT, 1}),
       {"Telnet IN:  DO Echo", "Telnet OUT:  DO Supress Go Ahead", "Telnet OUT:  WILL Supress Go Ahead",
        "Telnet OUT:  WONT Echo"}},
      {"DO SGA is agreed", Bytes({IAC, DO, 3}), "", Bytes({IAC, DO, 3, IAC, WILL, 3, IAC, WILL, 3}),
       {"Telnet IN:  DO Suppress Go Ahead", "Telnet OUT:  DO Supress Go Ahead", "Telnet OUT:  WILL Supress Go Ahead",
        "Telnet OUT:  WILL Suppress Go Ahead"}},
      {"second DO gets no second offer", Bytes({IAC, DO, 1, IAC, DO, 31}), "",
       Bytes({IAC, DO, 3, IAC, WILL, 3, IAC, WONT, 1, IAC, WONT, 31}),
       {"Telnet IN:  DO Echo", "Telnet OUT:  DO Supress Go Ahead", "Telnet OUT:  WILL Supress Go Ahead",
        "Telnet OUT:  WONT Echo", "Telnet IN:  DO Negotiate About Window Size",
        "Telnet OUT:  WONT Negotiate About Window Size"}},
      {"DONT is answered WONT", Bytes({IAC, DONT, 0}), "", Bytes({IAC, WONT, 0}),
       {"Telnet IN:  DONT Binary Transmission", "Telnet OUT:  WONT Binary Transmission"}},
      {"WILL and WONT are dropped unanswered", "A" + Bytes({IAC, WILL, 1, IAC, WONT, 39}) + "B", "AB", "",
       {"Telnet IN:  WILL Echo", "Telnet IN:  WONT Telnet Environment Option"}},
      {"unknown option name", Bytes({IAC, DONT, 200}), "", Bytes({IAC, WONT, 200}),
       {"Telnet IN:  DONT Unknown Option 200 (0xC8)", "Telnet OUT:  WONT Unknown Option 200 (0xC8)"}},
      {"IAC IAC is data 0xFF", "x" + Bytes({IAC, IAC}) + "y", "x\xFFy", "", {}},
      {"IAC IAC at the front", Bytes({IAC, IAC, IAC, IAC}) + "OK", "\xFF\xFFOK", "", {}},
      {"sub-negotiation dropped", "a" + Bytes({IAC, SB, 24, 1, IAC, IAC, 7, IAC, SE}) + "b", "ab", "",
       {"Telnet IN:  Sub-Negotiation Terminal Type"}},
      {"two-byte commands dropped", Bytes({IAC, 241, IAC, 249, IAC, SE}) + "OK", "OK", "",
       {"Telnet IN:  NoOp", "Telnet IN:  Go-Ahead", "Telnet IN:  End-Sup-Negotiation"}},
      {"IAC with no command byte is removed", Bytes({IAC, 7}) + "Username: ", "Username: ", "",
       {"Telnet IN:  Unknown Command 7 (0x07)"}},
      {"several unknown ones in a row", Bytes({IAC, 1, IAC, 2, IAC, 239}) + "z", "z", "",
       {"Telnet IN:  Unknown Command 1 (0x01)", "Telnet IN:  Unknown Command 2 (0x02)",
        "Telnet IN:  Unknown Command 239 (0xEF)"}},
      {"plain text passes", "\r\nOK\r\n", "\r\nOK\r\n", "", {}},
  };
  for (const Case& c : cases) {
    std::string pending;
    bool sawDo = false;
    TelnetDecoded out;
    DecodeTelnet(pending, c.input, sawDo, out);
    EXPECT_EQ(out.data, c.data) << c.name;
    EXPECT_EQ(out.answers, c.answers) << c.name;
    EXPECT_EQ(out.log, c.log) << c.name;
    EXPECT_TRUE(pending.empty()) << c.name;
  }
}

// Every way a read can cut a stream of commands and data gives the same result as one read,
// and nothing after a cut command is taken before its rest.
TEST(TelnetCommands, CutAnywhereByReads) {
  const std::string stream = "Log" + Bytes({IAC, DO, 1}) + "in" + Bytes({IAC, SB, 31, 0, 80, 0, 24, IAC, SE}) +
                             Bytes({IAC, IAC}) + Bytes({IAC, WILL, 3}) + ": " + Bytes({IAC, 9}) + "\r\n";
  std::string pendingWhole;
  bool sawWhole = false;
  TelnetDecoded whole;
  DecodeTelnet(pendingWhole, stream, sawWhole, whole);
  ASSERT_EQ(whole.data, "Login\xFF: \r\n");
  for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
    for (size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
      std::string pending;
      bool sawDo = false;
      TelnetDecoded out;
      DecodeTelnet(pending, stream.substr(0, cut1), sawDo, out);
      // While a command is cut, the data so far is only what came before it.
      EXPECT_EQ(whole.data.compare(0, out.data.size(), out.data), 0) << cut1;
      DecodeTelnet(pending, stream.substr(cut1, cut2 - cut1), sawDo, out);
      DecodeTelnet(pending, stream.substr(cut2), sawDo, out);
      ASSERT_EQ(out.data, whole.data) << cut1 << "," << cut2;
      ASSERT_EQ(out.answers, whole.answers) << cut1 << "," << cut2;
      ASSERT_EQ(out.log, whole.log) << cut1 << "," << cut2;
      ASSERT_TRUE(pending.empty());
    }
  }
}

TEST(TelnetCommands, CutCommandWaitsForItsRest) {
  struct Cut {
    std::string first;
    std::string second;
  } cuts[] = {
      {Bytes({IAC}), Bytes({DO, 1}) + "x"},
      {Bytes({IAC, DO}), Bytes({1}) + "x"},
      {Bytes({IAC, SB, 24, 0, 'a'}), Bytes({IAC, SE}) + "x"},
      {Bytes({IAC, SB, 24, IAC}), Bytes({SE}) + "x"},
  };
  for (const Cut& c : cuts) {
    std::string pending;
    bool sawDo = false;
    TelnetDecoded out;
    DecodeTelnet(pending, c.first, sawDo, out);
    EXPECT_EQ(out.data, "");
    EXPECT_EQ(pending, c.first);
    DecodeTelnet(pending, c.second, sawDo, out);
    EXPECT_EQ(out.data, "x");
    EXPECT_TRUE(pending.empty());
  }
}

TEST(TelnetCommands, EndlessSubNegotiationIsDropped) {
  std::string pending;
  bool sawDo = false;
  TelnetDecoded out;
  DecodeTelnet(pending, Bytes({IAC, SB, 24}) + std::string(600, 'a'), sawDo, out);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(out.data, "");
  DecodeTelnet(pending, "OK", sawDo, out);
  EXPECT_EQ(out.data, "OK");
}

TEST(TelnetCommands, OptionNames) {
  EXPECT_EQ(TelnetOptionName(0), "Binary Transmission");
  EXPECT_EQ(TelnetOptionName(37), "Telnet Authentication Option");
  EXPECT_EQ(TelnetOptionName(38), "Unknown Option 38 (0x26)");
  EXPECT_EQ(TelnetOptionName(39), "Telnet Environment Option");
  EXPECT_EQ(TelnetOptionName(255), "Unknown Option 255 (0xFF)");
}

}  // namespace
