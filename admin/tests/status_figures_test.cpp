#include "admin/status_figures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "admin/markup_escapes.h"
#include "runtime/file_io.h"
#include "store/counters.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {
// A counter file with the given cells set.
void WriteCounterFile(const std::string& path, const std::map<unsigned, uint32_t>& cells) {
  std::string bytes(kCounterFileSize, '\0');
  for (auto [cell, value] : cells)
    for (int i = 0; i < 4; ++i) bytes[cell * 4 + i] = static_cast<char>(value >> (8 * i));
  WriteFileText(path, bytes);
}

struct tm Day(int year, int month, int day) {
  struct tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return t;
}

TEST(StatusFigures, DaySumsReachBackIntoThePreviousYear) {
  struct Case {
    const char* what;
    struct tm today;
    std::map<int, std::map<unsigned, uint32_t>> files;  // year -> cells
    DaySums expected;
  } cases[] = {
      {"3 January: four days of the week and the rest of the month from last year",
       Day(2026, 1, 3),
       {{2026, {{0, 1}, {1, 1}, {2, 1}, {3, 99}}},
        {2025, {{364, 10}, {360, 100}, {358, 1000}, {338, 5}, {337, 10000}}}},
       {1, 13, 1118}},
      {"1 January after a leap year: its last cell is 365",
       Day(2025, 1, 1),
       {{2025, {{0, 2}}}, {2024, {{365, 7}, {364, 5}, {359, 3}, {358, 50}}}},
       {2, 14, 67}},
      {"the middle of the year reads one file", Day(2026, 3, 10), {{2026, {{68, 4}, {62, 6}, {61, 8}, {39, 16}, {38, 32}}}, {2025, {{364, 64}}}},
       {4, 10, 34}},
      {"no files at all", Day(2026, 6, 1), {}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const auto& [year, cells] : c.files) WriteCounterFile(dir.path() + "C-" + std::to_string(year) + ".CTR", cells);
    DaySums got = SumCounterDays([&](int year) { return dir.path() + "C-" + std::to_string(year) + ".CTR"; }, c.today);
    EXPECT_EQ(got.today, c.expected.today) << c.what;
    EXPECT_EQ(got.last7, c.expected.last7) << c.what;
    EXPECT_EQ(got.last30, c.expected.last30) << c.what;
  }
}

TEST(StatusFigures, OnlyHeldFlagFilesAreLiveSessionsAndNoneIsDeleted) {
  TempDir dir;
  struct File {
    const char* name;
    bool held;
  } files[] = {
      {"127.0.0.1-40000-T-alice.FLG", true},
      {"10.1.2.3-40001-R-bob-smith.FLG", true},  // an account name with "-"
      {"127.0.0.1-40002-S-carol.FLG", false},    // its session ended
      {"malformed.FLG", true},
      {"127.0.0.1-40003-T-dave.TXT", true},
  };
  std::vector<int> locks;
  for (const File& f : files) {
    WriteFileText(dir.path() + f.name, "");
    if (!f.held) continue;
    int fd = open((dir.path() + f.name).c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    locks.push_back(fd);
  }
  std::vector<SmppClient> clients = LiveSmppClients(dir.path());
  std::map<std::string, SmppClient> byAccount;
  for (const SmppClient& c : clients) byAccount[c.account] = c;
  ASSERT_EQ(byAccount.size(), 2u);
  EXPECT_EQ(byAccount["alice"].address, "127.0.0.1");
  EXPECT_EQ(byAccount["alice"].port, "40000");
  EXPECT_EQ(byAccount["alice"].bindType, "T");
  EXPECT_EQ(byAccount["bob-smith"].address, "10.1.2.3");
  EXPECT_EQ(byAccount["bob-smith"].bindType, "R");
  for (const File& f : files) EXPECT_TRUE(FileExists(dir.path() + f.name)) << f.name;
  for (int fd : locks) close(fd);
  EXPECT_TRUE(LiveSmppClients(dir.path()).empty());
  EXPECT_TRUE(LiveSmppClients(dir.path() + "missing/").empty());
}

TEST(StatusFigures, EscapesKeepEveryDocumentReadable) {
  struct Case {
    std::string in, xml, json, label;
  } cases[] = {
      {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;", "a<b>&\\\"c'", "a<b>&\\\"c'"},
      {"line\r\nnext\x01", "line\r\nnext", "line\\u000d\\u000anext\\u0001", "line\\nnext\x01"},
      {"bad \xff byte", "bad \xEF\xBF\xBD byte", "bad \xEF\xBF\xBD byte", "bad \xEF\xBF\xBD byte"},
      {"cut \xC3", "cut \xEF\xBF\xBD", "cut \xEF\xBF\xBD", "cut \xEF\xBF\xBD"},
      {"\xC3\xA9t\xC3\xA9 \\", "\xC3\xA9t\xC3\xA9 \\", "\xC3\xA9t\xC3\xA9 \\\\", "\xC3\xA9t\xC3\xA9 \\\\"},
      {"\xED\xA0\x80 surrogate", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StatusXmlEscape(c.in), c.xml) << c.in;
    EXPECT_EQ(JsonEscape(c.in), c.json) << c.in;
    EXPECT_EQ(MetricsLabelEscape(c.in), c.label) << c.in;
  }
}
}  // namespace
