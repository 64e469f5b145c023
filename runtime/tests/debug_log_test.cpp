#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "runtime/clock.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "tests/support/temp_dir.h"
#include "runtime/thread_registry.h"

namespace {
std::string Slurp(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out);
  return out;
}

class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DebugSettings.Debug = true;
    DebugSettings.CopyToStderr = false;
    DebugSettings.RotationWaitMs = 0;
    DebugSettings.DebugMaxSize = 512;
    SetDebugLogDirectory(dir.path());
  }
  void TearDown() override {
    CloseDebugLog();
    SetClockOverride(0);
    DebugSettings.Debug = false;
    DebugSettings.CopyToStderr = true;
  }
  std::string log() const { return dir.path() + "SMSDEBUG.LOG"; }
  std::string bak() const { return dir.path() + "SMSDEBUG.BAK"; }
  TempDir dir;
};
}  // namespace

TEST_F(DebugLogTest, LineFormatFromAnUnregisteredThread) {
  WriteDebugLog("HandlerRoutine", "Initiating shutdown...");
  std::string text = Slurp(log());
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d:\d\d:\d\d:\d\d\d \[0\] HandlerRoutine:  Initiating shutdown\.\.\.\r\n)")))
      << text;
}

TEST_F(DebugLogTest, LineCarriesTheThreadNumber) {
  std::thread t([] {
    uint32_t n = AssignThreadNumber("ThreadFlushCounters");
    WriteDebugLog("x", "y");
    EXPECT_EQ(ReleaseThreadNumber(), n);
  });
  t.join();
  EXPECT_NE(Slurp(log()).find("] x:  y\r\n"), std::string::npos);
  EXPECT_EQ(Slurp(log()).find("[0] x"), std::string::npos);
}

TEST_F(DebugLogTest, SecretsNeverReachTheLog) {
  WriteDebugLog("ThreadProcessConnection", "Processing request /?User=a&Password=LineS3cret");
  WriteDebugLogf("RetrieveURL", "Retrieving %s", "http://u:FmtS3cret@h/");
  WriteDebugLogAlways("Debug2", "PW=AlwaysS3cret");
  // Split over two dump lines: the mask sees the whole request.
  std::string request = "GET / HTTP/1.1\r\nAuthorization: Basic RHVtcFMzY3JldA==\r\n";
  WriteDebugHexDump("ProcessRead", request.data(), request.size());
  std::string cut = "GET /x HTTP/1.1\r\nReferer: http://u:CutS3cret@h/\r\n";
  WriteDebugHexDump("ProcessRead", cut.data(), cut.size(), cut.find("S3cret"));
  std::string text = Slurp(log());
  for (const char* secret : {"LineS3cret", "FmtS3cret", "AlwaysS3cret", "RHVtcF", "Mzy3", "3cretA", "Y3JldA", "u:Cut"})
    EXPECT_EQ(text.find(secret), std::string::npos) << secret << "\n" << text;
  EXPECT_NE(text.find("Password=****"), std::string::npos) << text;
}

TEST_F(DebugLogTest, OffWritesNothing) {
  DebugSettings.Debug = false;
  WriteDebugLog("a", "b");
  EXPECT_FALSE(FileExists(log()));
}

TEST_F(DebugLogTest, FirstLineAfterStartMovesTheOldLogToBackup) {
  {
    UniqueFd fd(open(log().c_str(), O_WRONLY | O_CREAT, 0644));
    WriteText(fd.get(), "previous run\r\n");
    UniqueFd old(open(bak().c_str(), O_WRONLY | O_CREAT, 0644));
    WriteText(old.get(), "older backup\r\n");
  }
  WriteDebugLog("main", "first");
  EXPECT_EQ(Slurp(bak()), "previous run\r\n");
  EXPECT_EQ(Slurp(log()).find("previous run"), std::string::npos);
  WriteDebugLog("main", "second");
  EXPECT_EQ(Slurp(bak()), "previous run\r\n");  // no rotation within the day
  EXPECT_NE(Slurp(log()).find("second"), std::string::npos);
}

TEST_F(DebugLogTest, RotatesAtTheChangeOfDay) {
  SetClockOverride(1767225600 + 12 * 3600);
  WriteDebugLog("main", "day one");
  SetClockOverride(1767225600 + 36 * 3600);
  WriteDebugLog("main", "day two");
  EXPECT_NE(Slurp(bak()).find("day one"), std::string::npos);
  EXPECT_EQ(Slurp(log()).find("day one"), std::string::npos);
  EXPECT_NE(Slurp(log()).find("day two"), std::string::npos);
}

TEST_F(DebugLogTest, SizeLimitRotatesAndIsComputedIn64Bits) {
  DebugSettings.DebugMaxSize = 1;
  WriteDebugLog("main", "start");
  ASSERT_EQ(truncate(log().c_str(), 1048576 + 1), 0);  // just past 1 MiB
  WriteDebugLog("main", "after growth");
  EXPECT_NE(Slurp(log()).find("after growth"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(bak().c_str(), &st), 0);
  EXPECT_GT(st.st_size, 1048576);

  // 4097 MiB wraps to 1 MiB in 32 bits: a 2 MiB log must not rotate.
  DebugSettings.DebugMaxSize = 4097;
  ASSERT_EQ(truncate(log().c_str(), 2 * 1048576), 0);
  WriteDebugLog("main", "no rotation");
  ASSERT_EQ(stat(log().c_str(), &st), 0);
  EXPECT_GT(st.st_size, 2 * 1048576);

  // 0: no size limit at all.
  DebugSettings.DebugMaxSize = 0;
  WriteDebugLog("main", "still no rotation");
  ASSERT_EQ(stat(log().c_str(), &st), 0);
  EXPECT_GT(st.st_size, 2 * 1048576);
}

TEST_F(DebugLogTest, ConcurrentLinesStayWhole) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) WriteDebugLog("worker", std::string(50, static_cast<char>('a' + t)));
    });
  }
  for (auto& th : threads) th.join();
  std::string text = Slurp(log());
  std::regex line(R"(\d\d:\d\d:\d\d:\d\d\d \[\d+\] worker:  ([a-h])\1{49}\r\n)");
  size_t count = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    ASSERT_TRUE(std::regex_match(text.substr(pos, end + 2 - pos), line)) << text.substr(pos, end + 2 - pos);
    pos = end + 2;
    ++count;
  }
  EXPECT_EQ(count, 1600u);
}

TEST_F(DebugLogTest, ClosedLogReopensOnlyWhenPointedAgain) {
  WriteDebugLog("main", "before close");
  CloseDebugLog();
  WriteDebugLog("main", "Routing DB Count = 0");
  EXPECT_EQ(Slurp(log()).find("Routing DB Count"), std::string::npos);
}

// A line repeated by every round of an idle loop is written when its text changes, and
// otherwise once a minute with the count of the rounds in between.
TEST_F(DebugLogTest, RepeatedLineIsWrittenWhenItChangesOrOnceAMinute) {
  struct Step {
    const char* text;
    bool minuteLater;      // the last line was written more than a minute ago
    const char* written;   // what the log gains ("" nothing)
  } steps[] = {
      {"SkipQSize = 0", false, "SkipQClean:  SkipQSize = 0\r\n"},
      {"SkipQSize = 0", false, ""},
      {"SkipQSize = 0", false, ""},
      {"SkipQSize = 0", true, "SkipQClean:  SkipQSize = 0 (3 times since the last line)\r\n"},
      {"SkipQSize = 0", false, ""},
      {"SkipQSize = 1000", false, "SkipQClean:  SkipQSize = 1000\r\n"},
      {"SkipQSize = 0", false, "SkipQClean:  SkipQSize = 0\r\n"},
  };
  RepeatedDebugLine line;
  size_t before = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.text);
    if (s.minuteLater) line.writtenTick -= kRepeatedDebugLineEveryMs + 1;
    WriteDebugLogUnlessRepeated(line, "SkipQClean", s.text);
    std::string text = Slurp(log());
    std::string gained = text.substr(before);
    before = text.size();
    if (*s.written == '\0') {
      EXPECT_EQ(gained, "");
    } else {
      EXPECT_NE(gained.find(std::string("] ") + s.written), std::string::npos) << gained;
    }
  }
  DebugSettings.Debug = false;
  WriteDebugLogUnlessRepeated(line, "SkipQClean", "changed while off");
  EXPECT_EQ(Slurp(log()).size(), before);
}
