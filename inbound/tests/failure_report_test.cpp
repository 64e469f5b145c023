#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "inbound/failure_report.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/file_io.h"
#include "runtime/text_helpers.h"
#include "tests/support/data_folder.h"
#include "tests/support/test_files.h"

namespace {
SmsMessageRecord GivenUp() {
  SmsMessageRecord m;
  m.PhoneNumber = "+4477001234";
  m.Sender = "12345";
  m.SubmitUser = "alice";
  m.Data = "Hello there, this text is longer than nineteen characters";
  return m;
}
}  // namespace

TEST(FailureReportTest, TextFollowsTheReceiptLayout) {
  setenv("TZ", "UTC0", 1);
  tzset();
  const time_t queued = 1767225600 + 13 * 3600 + 5 * 60;  // 2026-01-01 13:05
  const time_t now = queued + 86400 + 3600;               // 2026-01-02 14:05
  std::string text = FailureReportText(GivenUp(), "6B1743CF", 0x10045, "SMPP - 127.0.0.1:2775", queued, now);
  EXPECT_EQ(text,
            "[SMS-IN]\r\n"
            "ModemName=SMPP - 127.0.0.1:2775\r\n"
            "RouteToLocalUser=alice\r\n"
            "Sender=+4477001234\r\n"
            "PhoneNumber=12345\r\n"
            "Data=id:6B1743CF sub:001 dlvrd:000 submit date:2601011305 done date:2601021405 stat:REJECTD err:045 "
            "text:Hello there, this t\r\n"
            "Binary=0\r\n"
            "ReceiptFailed=Yes\r\n"
            "ReceiptMessageId=6B1743CF\r\n");

  SmsMessageRecord anonymous = GivenUp();
  anonymous.SubmitUser.clear();
  anonymous.Binary = true;
  anonymous.Data = "0102";
  std::string bare = FailureReportText(anonymous, "X", 1, "c", queued, now);
  EXPECT_EQ(bare.find("RouteToLocalUser"), std::string::npos);
  EXPECT_NE(bare.find("stat:REJECTD err:001 text:\r\n"), std::string::npos) << bare;
}

// The text is cut after 19 characters, not 19 bytes, and a dropped Windows-1252 text is
// read as such: the report holds valid UTF-8.
TEST(FailureReportTest, TextIsCutAtCharacters) {
  const struct {
    const char* data;
    const char* text;
  } cases[] = {
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3"
       "\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9xyz",
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3"
       "\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
      {"\xE2\x82\xAC 5 \xE2\x82\xAC 6 \xE2\x82\xAC 7 \xE2\x82\xAC 8 \xE2\x82\xAC 9 \xE2\x82\xAC",
       "\xE2\x82\xAC 5 \xE2\x82\xAC 6 \xE2\x82\xAC 7 \xE2\x82\xAC 8 \xE2\x82\xAC 9"},
      {"caf\xE9 \x80" "5", "caf\xC3\xA9 \xE2\x82\xAC" "5"},
  };
  for (const auto& c : cases) {
    SmsMessageRecord m = GivenUp();
    m.Data = c.data;
    std::string text = FailureReportText(m, "X", 1, "c", 0, 0);
    EXPECT_NE(text.find(std::string(" text:") + c.text + "\r\n"), std::string::npos) << text;
  }
}

TEST(FailureReportTest, ReportIsWrittenIntoTheInboundDirectory) {
  TestDataFolder home;
  ASSERT_TRUE(WriteFailureReport(GivenUp(), "6B1743CF", 0x45, "SMPP - h:1", 1767225600));
  std::vector<std::string> files;
  for (auto& e : std::filesystem::recursive_directory_iterator(home.path() + "SMS-IN")) {
    if (e.is_regular_file()) files.push_back(e.path().string());
  }
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(EndsWithNoCase(files[0], ".rec")) << files[0];
  std::string text;
  ASSERT_TRUE(ReadWholeFile(files[0], text));
  EXPECT_NE(text.find("ReceiptMessageId=6B1743CF\r\n"), std::string::npos);
  EXPECT_NE(text.find("stat:REJECTD err:045"), std::string::npos);
}
