// The submission core without any listener: what each recipient gets, what is refused,
// and what reaches the disk and the accounts.
#include "submit/submission.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "accounting/accounting.h"
#include "accounting/user_entries.h"
#include "config/settings.h"
#include "config/settings_override.h"
#include "store/tests/store_home.h"
#include "store/unique_files.h"
#include "submit/recipients.h"

namespace fs = std::filesystem;

namespace {

// The file of a message id under dir, "" when there is none.
std::string FileOf(const std::string& dir, const std::string& id) {
  for (const std::string& f : FilesUnder(dir))
    if (fs::path(f).stem() == id) return f;
  return {};
}

Submission TextTo(std::vector<std::string> recipients, std::string text) {
  Submission s;
  s.message.SubmittedBy = "10.0.0.1";
  s.message.Data = std::move(text);
  s.recipients = std::move(recipients);
  return s;
}

void SetBalance(const StoreHome& home, const std::string& user, int64_t thousandths) {
  WriteFileText(home.path() + "USERS/" + user + "/SMS.CTR", std::string(reinterpret_cast<char*>(&thousandths), 8));
}

class SubmitCore : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallAccountingHooks();
    ResetUserUsageCache();
    settings->MaxQDirEntries = 10000;
    settings->DefaultMsgLimitPerDay = 100;
    settings->DefaultMsgLimitPerMonth = 1000;
  }
  void TearDown() override { ResetUserUsageCache(); }
  StoreHome home;
  SettingsOverride settings;
};
}  // namespace

TEST_F(SubmitCore, EachRecipientGetsTheIdsOfItsFilesOrAnError) {
  settings->AllowAlphaRecip = true;
  // "a/b" cannot name a segment file: nothing is written for it, the others go on.
  SubmissionResult r = SubmitMessage(TextTo({"447", "a/b", "448"}, std::string(161, 'q')));
  ASSERT_EQ(r.status, SubmissionStatus::Accepted) << r.error;
  ASSERT_EQ(r.recipients.size(), 3u);
  EXPECT_EQ(r.recipients[1].recipient, "a/b");
  EXPECT_TRUE(r.recipients[1].messageIds.empty());
  EXPECT_EQ(r.recipients[1].error, "Not written");
  for (size_t i : {0u, 2u}) {
    const RecipientResult& rr = r.recipients[i];
    ASSERT_EQ(rr.messageIds.size(), 2u) << rr.recipient;
    EXPECT_TRUE(rr.error.empty());
    for (const std::string& id : rr.messageIds) {
      std::string file = ReadFileText(FileOf(home.path() + "Q/", id));
      EXPECT_NE(file.find("PhoneNumber=" + rr.recipient + "\r\n"), std::string::npos) << id << "\n" << file;
      EXPECT_NE(file.find("UDH=050003"), std::string::npos) << file;
    }
  }
  EXPECT_EQ(FilesUnder(home.path() + "Q/").size(), 4u);
}

TEST_F(SubmitCore, RefusedAndInvalidSubmissionsWriteNothingAndKeepNothing) {
  SetBalance(home, "payer", 1500);
  struct {
    const char* name;
    Submission s;
    SubmissionStatus status;
    std::string error;
  } cases[] = {
      {"no recipient", TextTo({}, "x"), SubmissionStatus::Invalid, "Invalid format for telephone number."},
      {"bad binary", TextTo({"1"}, "12G4"), SubmissionStatus::Invalid,
       "Invalid format for Text/Data parameter when binary flag is set (hexadecimal digit characters only)."},
      {"bad header", TextTo({"1"}, "x"), SubmissionStatus::Invalid,
       "Invalid format for UDH (hexadecimal digit characters only)."},
      {"special", TextTo({"1"}, "x"), SubmissionStatus::NotSupported, "WAPURL"},
      {"credit", TextTo({"1", "2"}, "x"), SubmissionStatus::Refused, "Account payer:  credit limit exceeded."},
  };
  cases[1].s.message.Binary = true;
  cases[2].s.message.UDH = "0500030102";
  cases[3].s.specialContent = "WAPURL";
  cases[4].s.message.SubmitUser = "payer";
  for (auto& c : cases) {
    SubmissionResult r = SubmitMessage(c.s);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
    EXPECT_TRUE(r.recipients.empty()) << c.name;
  }
  EXPECT_TRUE(FilesUnder(home.path() + "Q/").empty());
  // The refused reservation left the balance and the day's quota as they were.
  EXPECT_EQ(CreditCheckOrDebit("payer", nullptr, 0, CreditMode::Check), 1500);
  std::string text;
  EXPECT_TRUE(QuotaCheckOrCount("payer", &text, 100, true));
  // One recipient is covered, and is charged one credit.
  Submission one = TextTo({"1"}, "x");
  one.message.SubmitUser = "payer";
  EXPECT_EQ(SubmitMessage(one).status, SubmissionStatus::Accepted);
  EXPECT_EQ(CreditCheckOrDebit("payer", nullptr, 0, CreditMode::Check), 500);
}

TEST_F(SubmitCore, ForcedSenderVoiceMailAndTheInboundStore) {
  static std::atomic<int> wakes{0};
  SetInboundWakeHook([] { ++wakes; });
  struct {
    std::string sender, localUser, kind;
    std::string expected;  // lines the file holds
    std::string forced = "A, B";
  } cases[] = {
      {"b", "bob", "", "[SMS-IN]\r\nSubmittedBy=10.0.0.1\r\nSender=b\r\nRouteToLocalUser=bob\r\nData=hi\r\n"},
      {"x", kLocalInbound, "", "[SMS-IN]\r\nSubmittedBy=10.0.0.1\r\nSender=A\r\nData=hi\r\n"},
      {"A", "bob", "FaxOn", "UDH=0401020101\r\ndcs=D9\r\nBinary=1\r\n"},
      // An empty item in the account's list never lets an empty sender through.
      {"", kLocalInbound, "", "[SMS-IN]\r\nSubmittedBy=10.0.0.1\r\nSender=A\r\nData=hi\r\n", ",A,,B"},
  };
  for (auto& c : cases) {
    Submission s = TextTo({"447"}, "hi");
    s.message.Sender = c.sender;
    s.forcedSender = c.forced;
    s.message.Inbound = true;
    s.localUser = c.localUser;
    s.specialContent = c.kind.empty() ? "" : "VoiceMail";
    s.voiceMail = {c.kind, 0, "hi"};
    int before = wakes.load();
    SubmissionResult r = SubmitMessage(s);
    ASSERT_EQ(r.status, SubmissionStatus::Accepted) << r.error;
    ASSERT_EQ(r.recipients.size(), 1u);
    ASSERT_EQ(r.recipients[0].messageIds.size(), 1u);
    std::string path = FileOf(home.path() + "SMS-IN/", r.recipients[0].messageIds[0]);
    ASSERT_FALSE(path.empty()) << c.expected;
    EXPECT_NE(ReadFileText(path).find(c.expected), std::string::npos) << ReadFileText(path);
    EXPECT_EQ(wakes.load(), before + 1);
  }
  SetInboundWakeHook(nullptr);
}

// The list directory's names are kept between submissions: every change to it, made while
// submissions go on, is seen by the very next one.
TEST_F(SubmitCore, ListDirectoryChangesAreSeenByTheNextSubmission) {
  namespace fs = std::filesystem;
  std::string dir = home.path() + "DLists/";
  std::string moved = home.path() + "DLists.old";
  struct {
    const char* step;
    std::function<void()> change;
    const char* list;
    std::vector<std::string> expected;
  } steps[] = {
      {"no list directory", [] {}, "team,333", {"333"}},
      {"list created", [&] { WriteFileText(dir + "team.TXT", "111\r\n"); }, "team,333", {"111", "333"}},
      {"second list", [&] { WriteFileText(dir + "crew.TXT", "222\r\n"); }, "crew", {"222"}},
      {"list removed", [&] { fs::remove(dir + "team.TXT"); }, "team,333", {"333"}},
      {"list renamed", [&] { fs::rename(dir + "crew.TXT", dir + "staff.TXT"); }, "crew,staff", {"222"}},
      {"directory moved away", [&] { fs::rename(dir, moved); }, "staff,333", {"333"}},
      {"new directory in its place", [&] { WriteFileText(dir + "staff.TXT", "444\r\n"); }, "staff", {"444"}},
      {"directory removed", [&] { fs::remove_all(dir); }, "staff", {}},
  };
  for (auto& st : steps) {
    SCOPED_TRACE(st.step);
    st.change();
    for (int again = 0; again < 2; ++again) {
      uint16_t port = 0;
      EXPECT_EQ(ExpandRecipients(st.list, "", port), st.expected);
    }
  }
}

TEST_F(SubmitCore, ListsOfTheUserExpandAndAddressesGivePorts) {
  WriteFileText(home.path() + "DLists/ann/team.TXT", "111 - A\r\n222:9\r\n");
  struct {
    std::string user, sender;
    std::vector<std::string> entries;
    uint16_t sourcePort, destPort;
    std::vector<std::string> recipients;
    std::string udh;  // "" for none
  } cases[] = {
      {"ann", "Shop", {"Team", "333"}, 0, 0, {"111", "222", "333"}, "06050400090000"},
      {"", "Shop", {"Team", "333"}, 0, 0, {"Team", "333"}, ""},  // not a list of the anonymous user
      {"", "Shop", {"333:80"}, 0, 0, {"333"}, "06050400500000"},
      {"", "44:7", {"333:80"}, 0, 81, {"333"}, "06050400510007"},
      {"", "44:7", {"333"}, 0, 0, {"333"}, "06050400000007"},
  };
  for (auto& c : cases) {
    settings->AllowAlphaRecip = c.user.empty() && c.entries[0] == "Team";
    Submission s = TextTo(c.entries, "x");
    s.message.SubmitUser = c.user;
    s.message.Sender = c.sender;
    s.sourcePort = c.sourcePort;
    s.destPort = c.destPort;
    SubmissionResult r = SubmitMessage(s);
    ASSERT_EQ(r.status, SubmissionStatus::Accepted) << r.error;
    std::vector<std::string> got;
    for (const RecipientResult& rr : r.recipients) got.push_back(rr.recipient);
    EXPECT_EQ(got, c.recipients) << c.entries[0];
    std::string file = ReadFileText(FileOf(home.path() + "Q/", r.recipients.back().messageIds.at(0)));
    if (c.udh.empty())
      EXPECT_EQ(file.find("UDH="), std::string::npos) << file;
    else
      EXPECT_NE(file.find("UDH=" + c.udh + "\r\n"), std::string::npos) << file;
  }
  settings->AllowAlphaRecip = false;
}

TEST_F(SubmitCore, AMessageWithAPartThatCannotBeWrittenLeavesNoFile) {
  // Each case takes the segment names of one part number for every reference: the
  // earlier segments are written, that one fails, and the message must go whole or not at all.
  struct {
    const char* name;
    size_t length;  // GSM characters: 161 makes two parts, 400 three
    unsigned total, failing;
  } cases[] = {
      {"second of two", 161, 2, 2},
      {"third of three", 400, 3, 3},
      {"second of three", 400, 3, 2},
  };
  // Where a segment of this recipient lands.
  SubmissionResult probe = SubmitMessage(TextTo({"4470"}, std::string(161, 'p')));
  ASSERT_EQ(probe.recipients.at(0).messageIds.size(), 2u);
  std::string dir = fs::path(FileOf(home.path() + "Q/", probe.recipients[0].messageIds[0])).parent_path().string() + "/";
  for (const std::string& f : FilesUnder(home.path() + "Q/")) fs::remove(f);
  for (auto& c : cases) {
    std::vector<std::string> planted;
    for (unsigned reference = 0; reference < 256; ++reference) {
      planted.push_back(dir + SegmentFileName("4471", reference, c.total, c.failing, "req"));
      WriteFileText(planted.back(), "taken");
    }
    // Another recipient of the same submission is not held back.
    SubmissionResult r = SubmitMessage(TextTo({"4471", "4472"}, std::string(c.length, 'q')));
    ASSERT_EQ(r.recipients.size(), 2u) << c.name;
    EXPECT_TRUE(r.recipients[0].messageIds.empty()) << c.name;
    EXPECT_EQ(r.recipients[0].error, "Not written") << c.name;
    EXPECT_EQ(r.recipients[1].messageIds.size(), c.total) << c.name;
    EXPECT_TRUE(r.recipients[1].error.empty()) << c.name;
    std::vector<std::string> left = FilesUnder(home.path() + "Q/");
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = planted;
    for (const std::string& id : r.recipients[1].messageIds) expected.push_back(FileOf(home.path() + "Q/", id));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected) << c.name;
    for (const std::string& f : left) fs::remove(f);
  }
}
