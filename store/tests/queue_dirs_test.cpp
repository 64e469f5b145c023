#include "store/queue_dirs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "config/settings.h"
#include "config/settings_override.h"
#include "runtime/clock.h"
#include "runtime/file_io.h"
#include "runtime/text_helpers.h"
#include "store/counters.h"
#include "store/dir_listing.h"
#include "store/tests/store_home.h"

TEST(QueueDirsTest, DirectoriesAndTheirSettings) {
  StoreHome home;
  EXPECT_EQ(OutboundQueueRoot(), home.path() + "Q/");
  EXPECT_EQ(InboundDir(), home.path() + "SMS-IN/");
  EXPECT_EQ(UserDir("bob"), home.path() + "USERS/bob/");
  EXPECT_EQ(UserLogDir("bob"), home.path() + "USERS/bob/");
  EXPECT_EQ(BulkQueueDir(), home.path() + "BULKQ/");
  EXPECT_TRUE(FileExists(home.path() + "BULKQ"));
  EXPECT_EQ(UserDir(".."), "");
  EXPECT_EQ(UserDir("a/b"), "");
  home.WriteIni("[QARHUB]\r\nQDir=" + home.path() + "queue\r\nUsersQDir=" + home.path() + "uq\r\nUsersLogDir=" +
                home.path() + "ul/\r\nEnableBulkSmsIn=No\r\n");
  EXPECT_EQ(OutboundQueueRoot(), home.path() + "queue/");
  EXPECT_EQ(UserQueueDir("bob"), home.path() + "uq/bob/Q/");
  EXPECT_EQ(UserLogDir("bob"), home.path() + "ul/bob/");
  EXPECT_EQ(UserQueueDir("."), "");
}

TEST(QueueDirsTest, OutboundSubdirectories) {
  SettingsOverride settings;
  StoreHome home;
  std::string root = home.path() + "Q/";
  settings->MaxQDirEntries = 10000;
  struct Case {
    const char* route;
    const char* user;
    uint32_t sequence;
    bool routeQueues;
    uint32_t queueSize;
    std::string expected;
  } cases[] = {
      {"", "", 5, false, 0, root},
      {"R1", "", 5, false, 0, root},
      {"R1", "", 5, true, 0, root + "RT_-_R1_-_/"},
      {"R:1", "u", 5, true, 0, root + "RT_-_R-1_-_u/"},
      {"", "a:b/c", 1, false, 0, root + "a-b-c/"},
      {"", "", 25000, false, 30000, root + "###0002/"},
      {"", "", 25000, false, 5000, root},
      {"", "bob", 20000, false, 30000, root + "bob###0002/"},
      {"", "..", 1, false, 0, ""},
      {"", "a\nb", 1, false, 0, ""},
      {"R\r", "", 1, true, 0, ""},
  };
  for (const Case& c : cases) {
    settings->UseRouteQueues = c.routeQueues;
    CounterResetQueueSizes();
    CounterAdd(kSmsQSize, c.queueSize);
    EXPECT_EQ(OutboundQueueDir(c.route, c.user, c.sequence), c.expected) << c.route << "/" << c.user;
  }
}

TEST(QueueDirsTest, DelayTreeStartsAtTheNextMinute) {
  StoreHome home;
  std::string root = home.path() + "Q/";
  time_t now = LocalAt(2026, 12, 7, 9, 29, 10);
  SetClockOverride(now);
  EXPECT_EQ(OutboundQueueDir("", "", 0, now + 45), root) << "09:29:55 is the current minute";
  EXPECT_EQ(OutboundQueueDir("", "", 0, now - 3600), root);
  EXPECT_EQ(OutboundQueueDir("", "", 0, now + 50), root + "DELAYQ/20261207/0930/");
  EXPECT_TRUE(FileExists(root + "DELAYQ/20261207/0930"));
  EXPECT_EQ(OutboundQueueDir("", "u", 0, now + 86400), root + "DELAYQ/20261208/0929/u/");
}

TEST(QueueDirsTest, InboundOverflowBuckets) {
  SettingsOverride settings;
  StoreHome home;
  settings->MaxQDirEntries = 2;
  CounterResetQueueSizes();
  EXPECT_EQ(InboundQueueDir(), home.path() + "SMS-IN/");
  CounterAdd(kSmsInQSize, 2);
  CounterAdd(kSmsRcptQSize, 1);
  std::string a = InboundQueueDir(), b = InboundQueueDir(), c = InboundQueueDir();
  ASSERT_EQ(a.size(), home.path().size() + 16);
  EXPECT_EQ(a, b);
  EXPECT_NE(b, c) << "a new bucket after MaxQDirEntries files";
  EXPECT_EQ(std::stoul(c.substr(c.size() - 9, 8), nullptr, 16), std::stoul(a.substr(a.size() - 9, 8), nullptr, 16) + 1);
  std::string u = UserQueueDir("bob");
  EXPECT_EQ(u.substr(0, home.path().size() + 12), home.path() + "USERS/bob/Q/");
  EXPECT_EQ(u.size(), home.path().size() + 21);
}

TEST(QueueDirsTest, WalkFindsRootAndSubdirectoryFilesAndRemovesOldEmptyOnes) {
  StoreHome home;
  std::string root = home.path() + "Q/";
  WriteFileText(root + "a.REQ", "");
  WriteFileText(root + "b.req", "");
  WriteFileText(root + "c.err", "");
  WriteFileText(root + ".~1-1.tmp", "");
  WriteFileText(root + "sub/d.Req", "");
  WriteFileText(root + "sub/deeper/e.req", "");
  WriteFileText(root + "ext.d/f.req", "");
  CreatePathDirectories(root + "oldempty/");
  CreatePathDirectories(root + "newempty/");
  SetMTime(root + "oldempty", NowSeconds() - 120);
  QueueWalk walk;
  std::string rel;
  std::set<std::string> found;
  for (bool more = QueueWalkFirst(walk, root, "*.REQ", false, rel); more; more = QueueWalkNext(walk, rel)) {
    found.insert(rel);
  }
  EXPECT_EQ(found, (std::set<std::string>{"a.REQ", "b.req", "sub/d.Req"}));
  EXPECT_FALSE(FileExists(root + "oldempty"));
  EXPECT_TRUE(FileExists(root + "newempty"));
  found.clear();
  for (bool more = QueueWalkFirst(walk, root, "*.REQ", true, rel); more; more = QueueWalkNext(walk, rel)) {
    found.insert(rel);
  }
  EXPECT_EQ(found.count("ext.d/f.req"), 1u);
  QueueWalkClose(walk);
}

TEST(QueueDirsTest, QueueCacheServesTheSameFilesAsTheDirectory) {
  SettingsOverride settings;
  StoreHome home;
  std::string root = home.path() + "Q/";
  WriteFileText(root + "a.req", "");
  WriteFileText(root + "s1/b.req", "");
  WriteFileText(root + "s1/c.req", "");
  WriteFileText(root + "s2/x.err", "");
  for (bool cached : {false, true}) {
    settings->UseQCache = cached;
    if (cached) QCacheScanOnce();
    QueueFind dirs, files;
    std::string name, file;
    std::set<std::string> all;
    for (bool d = QueueFindFirst(dirs, name); d; d = QueueFindNext(dirs, name)) {
      for (bool f = QueueFileFindFirst(files, name, file); f; f = QueueFileFindNext(files, file)) {
        all.insert(name + "|" + file);
      }
    }
    EXPECT_EQ(all, (std::set<std::string>{".|a.req", "s1|b.req", "s1|c.req"})) << cached;
  }
  EXPECT_TRUE(QCacheFirstScanComplete());
}

TEST(QueueDirsTest, RouteQueueSkip) {
  SettingsOverride settings;
  StoreHome home;
  struct Case {
    bool routeQueues;
    const char* dir;
    bool skip;
  } cases[] = {
      {true, "RT_-_Slow_-_bob", true},      {true, "RT_-_fast_-_", false},  {true, "RT_-_SMPP - h-1_-_", false},
      {true, "RT_-__-_bob", false},         {true, "bob", false},           {false, "RT_-_Slow_-_bob", false},
      {true, "RT_-_Backup_-_", false},      {true, "RT_-_Other", false},
  };
  for (const Case& c : cases) {
    settings->UseRouteQueues = c.routeQueues;
    EXPECT_EQ(RouteQueueSkip(c.dir, "FAST", "SMPP - h:1", "backup", ""), c.skip)
        << c.dir;
  }
}

// A filtered listing asks about every entry but "." and ".." and publishing's temporary
// files, knows a linked folder for a folder, and sorts only what it keeps.
TEST(DirListingTest, FilteredListingsSeeEveryEntryOnceAndKeepWhatTheyAccept) {
  StoreHome home;
  std::string dir = home.path() + "listing/";
  ASSERT_TRUE(CreatePathDirectories(dir + "sub/"));
  for (const char* name : {"b.IN", "a.SMS", "c.rec", "d.sms", "A.in", ".~half.tmp"}) {
    std::ofstream(dir + name) << "x";
  }
  ASSERT_EQ(symlink((dir + "sub").c_str(), (dir + "linked").c_str()), 0);
  ASSERT_EQ(symlink((dir + "a.SMS").c_str(), (dir + "e.in").c_str()), 0);
  std::set<std::string> asked, askedAsFolder;
  auto inOrFolder = [&](std::string_view name, bool directory) {
    asked.insert(std::string(name));
    if (directory) askedAsFolder.insert(std::string(name));
    return directory || EndsWithNoCase(name, ".in");
  };
  std::vector<std::string> kept;
  for (const DirEntry& e : ListDirectoryWhere(dir, inOrFolder)) kept.push_back(e.name);
  EXPECT_EQ(kept, (std::vector<std::string>{"A.in", "b.IN", "e.in", "linked", "sub"}));
  EXPECT_EQ(asked, (std::set<std::string>{"A.in", "a.SMS", "b.IN", "c.rec", "d.sms", "e.in", "linked", "sub"}));
  EXPECT_EQ(askedAsFolder, (std::set<std::string>{"linked", "sub"}));
  // Patterns match without regard to case, files and folders apart.
  EXPECT_EQ(ListNames(dir, "*.sms", false), (std::vector<std::string>{"a.SMS", "d.sms"}));
  EXPECT_EQ(ListNames(dir, "*", true), (std::vector<std::string>{"linked", "sub"}));
  EXPECT_TRUE(ListNames(dir, "*.sms", true).empty());
  // Without a filter, everything.
  EXPECT_EQ(ListDirectory(dir).size(), 8u);
  EXPECT_TRUE(ListDirectoryWhere(home.path() + "missing/", inOrFolder).empty());
}
