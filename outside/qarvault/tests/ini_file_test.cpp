#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "outside/qarvault/qarvault.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"

namespace {

const std::string kSample =
    "; installation settings\r\n"
    "top=outside any section\r\n"
    "[Main]\r\n"
    "Name = Alpha Beta  \r\n"
    "name=second\r\n"
    "Empty=\r\n"
    ";Hidden=yes\r\n"
    "  Spaced Key   =   v  \r\n"
    "NoEquals line\r\n"
    "Long=0123456789\n"
    "\r\n"
    "[ main ]\r\n"
    "Name=dup\r\n"
    "Other=fromdup\r\n"
    "[Second]\n"
    "Key=Value=With=Equals\n"
    "Last=no terminator";

class IniFileTest : public DataFolderTest {
 protected:
  std::string Path() const { return home_ + "QARHUB.INI"; }
  std::string Get(const char* section, const char* key, const char* def, uint32_t size,
                  uint32_t* ret = nullptr) {
    std::vector<char> buf(size + 1, '#');
    uint32_t n = SMSIniGetProfileString(section, key, def, buf.data(), size);
    if (ret != nullptr) *ret = n;
    EXPECT_EQ(buf[size], '#') << "wrote past the buffer";
    return std::string(buf.data(), n);
  }
  std::vector<std::string> Multi(const std::vector<char>& buf, uint32_t n) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < n;) {
      std::string s(buf.data() + pos);
      out.push_back(s);
      pos += s.size() + 1;
    }
    return out;
  }
};

TEST_F(IniFileTest, ReadsWithProfileStringSemantics) {
  WriteFileText(Path(), kSample);
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    uint32_t size;
    std::string want;
  } cases[] = {
      {"Main", "Name", "d", 256, "Alpha Beta"},
      {"MAIN", "nAmE", "d", 256, "Alpha Beta"},        // case; first occurrence
      {"main", "Other", "dflt", 256, "dflt"},          // a repeated section stays hidden
      {"Main", "Empty", "d", 256, ""},                 // present but empty
      {"Main", "Hidden", "d", 256, "d"},               // comment line
      {"Main", ";Hidden", "d", 256, "d"},
      {"Main", "spaced key", "d", 256, "v"},           // blanks trimmed on both sides
      {"Main", " Spaced Key ", "d", 256, "v"},
      {"Main", "NoEquals line", "d", 256, "d"},
      {"Main", "Long", "", 5, "0123"},                 // cut to size - 1
      {"Main", "Long", "", 11, "0123456789"},
      {"Main", "Long", "", 1, ""},
      {"Main", "Missing", nullptr, 256, ""},           // null default reads as ""
      {"Main", "Missing", "abcdef", 4, "abc"},         // the default is cut too
      {"Absent", "Name", "def", 256, "def"},
      {"Second", "Key", "", 256, "Value=With=Equals"},
      {"Second", "Last", "", 256, "no terminator"},
      {"Main", "top", "d", 256, "d"},                  // lines before any section
  };
  for (const Case& c : cases) {
    uint32_t ret = 0;
    std::string got = Get(c.section, c.key, c.def, c.size, &ret);
    EXPECT_EQ(got, c.want) << c.section << "/" << c.key;
    EXPECT_EQ(ret, c.want.size()) << c.section << "/" << c.key;
  }
  char one[1] = {'x'};
  EXPECT_EQ(SMSIniGetProfileString("Main", "Name", "", one, 0), 0u);
  EXPECT_EQ(one[0], 'x');
  EXPECT_EQ(SMSIniGetProfileString("Main", "Name", "", nullptr, 10), 0u);
}

TEST_F(IniFileTest, MatchingQuotesAroundAValueAreRemoved) {
  WriteFileText(Path(),
                "[Q]\r\n"
                "Double=\"a\"\r\n"
                "Single='a'\r\n"
                "Mixed=\"a'\r\n"
                "EmptyQuotes=\"\"\r\n"
                "EmptySingle=''\r\n"
                "OneQuote=\"\r\n"
                "Spaced =  \"  a b  \"  \r\n"
                "Inner=a \"b\" c\r\n"
                "OpenOnly=\"abc\r\n"
                "Nested=\"'a'\"\r\n"
                "Twice=\"\"a\"\"\r\n");
  struct Case {
    const char* key;
    std::string want;
  } cases[] = {
      {"Double", "a"},         {"Single", "a"},       {"Mixed", "\"a'"},
      {"EmptyQuotes", ""},     {"EmptySingle", ""},   {"OneQuote", "\""},
      {"Spaced", "  a b  "},   {"Inner", "a \"b\" c"}, {"OpenOnly", "\"abc"},
      {"Nested", "'a'"},       {"Twice", "\"a\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Get("Q", c.key, "d", 256), c.want) << c.key;
  // A section read whole gives its lines as written.
  std::vector<char> buf(512);
  uint32_t n = SMSIniGetProfileSection("Q", buf.data(), static_cast<uint32_t>(buf.size()));
  EXPECT_EQ(Multi(buf, n)[0], "Double=\"a\"");
}

TEST_F(IniFileTest, MissingFileGivesDefaults) {
  EXPECT_EQ(Get("QARHUB", "WebPort", "8800", 100), "8800");
}

TEST_F(IniFileTest, ListsSectionsKeysAndSectionLines) {
  WriteFileText(Path(), kSample);
  std::vector<char> buf(512);
  uint32_t n = SMSIniGetProfileSection("main", buf.data(), 512);
  EXPECT_EQ(Multi(buf, n),
            (std::vector<std::string>{"Name=Alpha Beta", "name=second", "Empty=", ";Hidden=yes",
                                      "Spaced Key=v", "NoEquals line", "Long=0123456789"}));
  EXPECT_EQ(buf[n], '\0');
  EXPECT_EQ(buf[n - 1], '\0');

  n = SMSIniGetProfileString("Main", nullptr, "", buf.data(), 512);
  EXPECT_EQ(Multi(buf, n), (std::vector<std::string>{"Name", "Empty", "Spaced Key", "Long"}));
  n = SMSIniGetProfileString(nullptr, nullptr, "", buf.data(), 512);
  EXPECT_EQ(Multi(buf, n), (std::vector<std::string>{"Main", "Second"}));

  // An empty or missing section gives two zeros.
  buf.assign(512, 'x');
  EXPECT_EQ(SMSIniGetProfileSection("Absent", buf.data(), 512), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], '\0');

  // Cut: the last string is cut and followed by two zeros.
  buf.assign(512, 'x');
  n = SMSIniGetProfileSection("Second", buf.data(), 10);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(std::string(buf.data()), "Key=Valu");
  EXPECT_EQ(buf[8], '\0');
  EXPECT_EQ(buf[9], '\0');
  EXPECT_EQ(buf[10], 'x');
}

TEST_F(IniFileTest, WritesKeepEveryOtherLine) {
  const std::string base =
      "; keep me\r\n"
      "[QARHUB]\n"
      "WebPort=8800\n"
      "  ; indented comment\r\n"
      "Debug = Yes\r\n"
      "\r\n"
      "[Other]\r\n"
      "A=1";
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
    std::string want;
  } cases[] = {
      {"replace", "qarhub", "webport", "9000",
       "; keep me\r\n[QARHUB]\nwebport=9000\r\n  ; indented comment\r\nDebug = Yes\r\n\r\n"
       "[Other]\r\nA=1"},
      {"add key at section end", "QARHUB", "New", "x y",
       "; keep me\r\n[QARHUB]\nWebPort=8800\n  ; indented comment\r\nDebug = Yes\r\nNew=x y\r\n"
       "\r\n[Other]\r\nA=1"},
      {"add key after unterminated last line", "Other", "B", "2",
       "; keep me\r\n[QARHUB]\nWebPort=8800\n  ; indented comment\r\nDebug = Yes\r\n\r\n"
       "[Other]\r\nA=1\r\nB=2\r\n"},
      {"new section appended", "Fresh", "K", "V",
       "; keep me\r\n[QARHUB]\nWebPort=8800\n  ; indented comment\r\nDebug = Yes\r\n\r\n"
       "[Other]\r\nA=1\r\n[Fresh]\r\nK=V\r\n"},
      {"delete key", "QARHUB", "DEBUG", nullptr,
       "; keep me\r\n[QARHUB]\nWebPort=8800\n  ; indented comment\r\n\r\n[Other]\r\nA=1"},
      {"delete section", "other", nullptr, nullptr,
       "; keep me\r\n[QARHUB]\nWebPort=8800\n  ; indented comment\r\nDebug = Yes\r\n\r\n"},
      {"delete missing key", "QARHUB", "Nope", nullptr, base},
      {"delete key of missing section", "Nope", "Nope", nullptr, base},
      {"value with 8-bit text", "Other", "A", "caf\xe9", 
       "; keep me\r\n[QARHUB]\nWebPort=8800\n  ; indented comment\r\nDebug = Yes\r\n\r\n"
       "[Other]\r\nA=caf\xe9\r\n"},
  };
  for (const Case& c : cases) {
    WriteFileText(Path(), base);
    EXPECT_EQ(SMSIniWriteProfileString(c.section, c.key, c.value), 1) << c.name;
    EXPECT_EQ(ReadFileText(Path()), c.want) << c.name;
  }
}

TEST_F(IniFileTest, RefusesValuesThatWouldBreakTheFile) {
  const std::string base = "[QARHUB]\r\nWebPort=8800\r\n";
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"QARHUB", "WebPort", "1\r\n[Evil]"}, {"QARHUB", "WebPort", "a\nb"},
      {"QARHUB", "WebPort", "a\rb"},        {"QARHUB", "WebPort", "tab\there"},
      {"QARHUB", "WebPort", "del\x7f"},     {"QARHUB", "WebPort", "\x01"},
      {"QARHUB", "Web=Port", "1"},          {"QARHUB", "", "1"},
      {"QARHUB", "  ", "1"},                {"QARHUB", ";Key", "1"},
      {"QARHUB", "Key\n", "1"},             {"", "Key", "1"},
      {"A]B", "Key", "1"},                  {"A\nB", "Key", "1"},
      {nullptr, "Key", "1"},
  };
  for (const Case& c : cases) {
    WriteFileText(Path(), base);
    EXPECT_EQ(SMSIniWriteProfileString(c.section, c.key, c.value), 0)
        << (c.key ? c.key : "") << "=" << (c.value ? c.value : "");
    EXPECT_EQ(ReadFileText(Path()), base);
  }
}

TEST_F(IniFileTest, CreatesMissingFileWithCrLf) {
  ASSERT_EQ(SMSIniWriteProfileString("QARHUB", "WebPort", "8800"), 1);
  ASSERT_EQ(SMSIniWriteProfileString("QARHUB", "Debug", "No"), 1);
  EXPECT_EQ(ReadFileText(Path()), "[QARHUB]\r\nWebPort=8800\r\nDebug=No\r\n");
  EXPECT_EQ(Get("QARHUB", "Debug", "", 10), "No");
  // MMSC.INI is a separate file.
  ASSERT_EQ(MMSCIniWriteProfileString("MMSC", "HostName", "mms.example"), 1);
  EXPECT_EQ(ReadFileText(home_ + "MMSC.INI"), "[MMSC]\r\nHostName=mms.example\r\n");
  char buf[64];
  MMSCIniGetProfileString("mmsc", "hostname", "", buf, sizeof buf);
  EXPECT_STREQ(buf, "mms.example");
  EXPECT_EQ(Get("MMSC", "HostName", "none", 64), "none");
}

TEST_F(IniFileTest, SharedVolumeSettingsComeFromSharedIni) {
  WriteFileText(home_ + "SHARED.INI", "[Volume]\r\nPath=/mnt/q\r\n");
  char buf[64];
  EXPECT_EQ(SharedVolumeIniGetProfileString("volume", "PATH", "", buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "/mnt/q");
}

TEST_F(IniFileTest, ReadsSeeChangesMadeByOtherPrograms) {
  WriteFileText(Path(), "[S]\r\nK=first\r\n");
  EXPECT_EQ(Get("S", "K", "", 64), "first");
  // Replaced by rename, as another program's writer does.
  WriteFileText(Path() + ".new", "[S]\r\nK=second\r\n");
  ASSERT_EQ(std::rename((Path() + ".new").c_str(), Path().c_str()), 0);
  EXPECT_EQ(Get("S", "K", "", 64), "second");
  // Rewritten in place with another length.
  WriteFileText(Path(), "[S]\r\nK=third one\r\n");
  EXPECT_EQ(Get("S", "K", "", 64), "third one");
  ::unlink(Path().c_str());
  EXPECT_EQ(Get("S", "K", "gone", 64), "gone");
}

// Every way another program can change the file is seen by the very next read, even
// a rewrite of the same size within one tick of the file clock.
TEST_F(IniFileTest, EveryKindOfEditIsSeenOnTheNextRead) {
  namespace fs = std::filesystem;
  std::string moved = home_.substr(0, home_.size() - 1) + ".moved";
  std::string target = home_ + "target.ini";
  struct Case {
    const char* name;
    std::function<void()> before;  // sets up the first version
    std::function<void()> edit;
    const char* expected;
  } cases[] = {
      {"same size in place", [&] { WriteFileText(Path(), "[S]\r\nK=aaaa\r\n"); },
       [&] { WriteFileText(Path(), "[S]\r\nK=bbbb\r\n"); }, "bbbb"},
      {"replaced by rename", [&] { WriteFileText(Path(), "[S]\r\nK=aaaa\r\n"); },
       [&] {
         WriteFileText(Path() + ".new", "[S]\r\nK=cccc\r\n");
         ASSERT_EQ(std::rename((Path() + ".new").c_str(), Path().c_str()), 0);
       },
       "cccc"},
      {"removed", [&] { WriteFileText(Path(), "[S]\r\nK=aaaa\r\n"); }, [&] { ::unlink(Path().c_str()); }, "none"},
      {"created after a read found none", [&] { ::unlink(Path().c_str()); },
       [&] { WriteFileText(Path(), "[S]\r\nK=dddd\r\n"); }, "dddd"},
      {"directory moved away, a new one put in its place", [&] { WriteFileText(Path(), "[S]\r\nK=aaaa\r\n"); },
       [&] {
         ASSERT_EQ(std::rename(home_.c_str(), moved.c_str()), 0);
         fs::create_directory(home_);
         WriteFileText(Path(), "[S]\r\nK=eeee\r\n");
       },
       "eeee"},
      {"a link whose target is rewritten",
       [&] {
         ::unlink(Path().c_str());
         WriteFileText(target, "[S]\r\nK=aaaa\r\n");
         ASSERT_EQ(::symlink(target.c_str(), Path().c_str()), 0);
       },
       [&] { WriteFileText(target, "[S]\r\nK=ffffff\r\n"); }, "ffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    std::string first = Get("S", "K", "none", 64);
    EXPECT_EQ(Get("S", "K", "none", 64), first);
    c.edit();
    EXPECT_EQ(Get("S", "K", "none", 64), c.expected);
    EXPECT_EQ(Get("S", "K", "none", 64), c.expected);
    std::error_code ec;
    fs::remove_all(moved, ec);
    fs::remove(Path(), ec);
    fs::remove(target, ec);
  }
}

// Writers in threads and in another process at once: no write is lost and readers
// never see a partial file.
TEST_F(IniFileTest, ConcurrentWritersLoseNothing) {
  WriteFileText(Path(), "; header comment\r\n[Load]\r\nSentinel=present\r\n");
  constexpr int kThreads = 4, kPerThread = 40, kChildKeys = 60;
  pid_t child = StartChild([] {
    for (int i = 0; i < kChildKeys; ++i) {
      std::string key = "Child" + std::to_string(i);
      if (!SMSIniWriteProfileString("Load", key.c_str(), ("c" + std::to_string(i)).c_str())) {
        return false;
      }
    }
    return true;
  });
  ASSERT_GT(child, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> badReads{0};
  std::thread reader([&] {
    char buf[64];
    while (!stop) {
      SMSIniGetProfileString("Load", "Sentinel", "", buf, sizeof buf);
      if (std::string(buf) != "present") ++badReads;
    }
  });
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &failures] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string key = "T" + std::to_string(t) + "_" + std::to_string(i);
        if (!SMSIniWriteProfileString("Load", key.c_str(), key.c_str())) ++failures;
      }
    });
  }
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(WaitChild(child), 0);
  stop = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(badReads.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string key = "T" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(Get("Load", key.c_str(), "missing", 64), key);
    }
  }
  for (int i = 0; i < kChildKeys; ++i) {
    std::string key = "Child" + std::to_string(i);
    EXPECT_EQ(Get("Load", key.c_str(), "missing", 64), "c" + std::to_string(i));
  }
  std::string text = ReadFileText(Path());
  EXPECT_EQ(text.rfind("; header comment\r\n[Load]\r\nSentinel=present\r\n", 0), 0u);
  // No temporary file is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(home_)) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "QARHUB.INI" || name == "QARHUB.INI.LCK") << name;
  }
}

TEST_F(IniFileTest, KeepsTheFileMode) {
  WriteFileText(Path(), "[S]\r\nK=1\r\n");
  ASSERT_EQ(::chmod(Path().c_str(), 0640), 0);
  ASSERT_EQ(SMSIniWriteProfileString("S", "K", "2"), 1);
  struct stat st;
  ASSERT_EQ(::stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
