#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "runtime/folder_wake.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "tests/support/temp_dir.h"

namespace {

bool Readable(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// A write wakes the waiters of the folders that hold it (subfolders included), once per
// burst until the waiter looks again; other folders' waiters sleep on, and so do those
// waiting for other suffixes (a new subfolder wakes them all).
TEST(FolderWake, WritesWakeTheirFoldersWaitersOncePerBurst) {
  DisableFolderWatch(true);
  struct Case {
    const char* path;  // written, under the temporary folder
    bool wakesA, wakesB, wakesSuffixed;
  } cases[] = {
      {"A/x.req", true, false, false},
      {"A/user/x.req", true, false, false},
      {"A/x.in", true, false, true},
      {"A/user/X.REC", true, false, true},
      {"A/x.in.SMS", true, false, false},
      {"A/user/", true, false, true},
      {"B/x.req", false, true, false},
      {"B/x.in", false, true, false},
      {"AB/x.req", false, false, false},
      {"A/", false, false, false},
      {"C/x.req", false, false, false},
  };
  TempDir dir;
  FolderWake a({dir.path() + "A/"});
  FolderWake b({dir.path() + "B/"});
  FolderWake suffixed({dir.path() + "A/"}, {".IN", ".rec"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    a.Rearm();
    b.Rearm();
    suffixed.Rearm();
    uint64_t signalledBefore = a.Signalled();
    for (int i = 0; i < 3; ++i) SignalFolderWrite(dir.path() + c.path);
    EXPECT_EQ(Readable(a.Fd()), c.wakesA);
    EXPECT_EQ(Readable(b.Fd()), c.wakesB);
    EXPECT_EQ(Readable(suffixed.Fd()), c.wakesSuffixed);
    EXPECT_EQ(a.Signalled() - signalledBefore, c.wakesA ? 1u : 0u);
  }
  a.Rearm();
  EXPECT_FALSE(Readable(a.Fd()));
  DisableFolderWatch(false);
}

// A file another program drops in (or into a subfolder made afterwards) is seen through
// inotify; the stop ends a wait at once.
TEST(FolderWake, DroppedFilesWakeAndTheStopEndsTheWait) {
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  TempDir dir;
  std::string folder = dir.path() + "Q/";
  std::filesystem::create_directories(folder);
  FolderWake wake({folder});
  FolderWake suffixed({folder}, {".req"});
  if (!FolderWatchActive()) GTEST_SKIP() << "no inotify here";
  struct Case {
    const char* name;
    std::string path;
  } cases[] = {
      {"in the folder", folder + "x.req"},
      {"in a new subfolder", folder + "user/"},
      {"in that subfolder", folder + "user/y.req"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wake.Rearm();
    suffixed.Rearm();
    if (c.path.back() == '/') {
      std::filesystem::create_directories(c.path);
    } else {
      std::ofstream(c.path + ".tmp") << "[SMS]\r\n";
      std::filesystem::rename(c.path + ".tmp", c.path);
    }
    EXPECT_TRUE(wake.Wait(20000));
    EXPECT_TRUE(suffixed.Wait(20000));
  }
  wake.Rearm();
  AnnounceShutdown();
  EXPECT_FALSE(wake.Wait(60000));
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
}

// inotify's events for a file this process announced itself, or for a temporary file, wake
// nobody: the announcement already did, and a temporary file is no work until renamed.
// Events come in order, so once a file dropped into another folder has woken its waiter
// every earlier event was handled.
TEST(FolderWake, OwnAnnouncedAndTemporaryFilesWakeNoMore) {
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  TempDir dir;
  std::string folder = dir.path() + "Q/", other = dir.path() + "R/";
  std::filesystem::create_directories(folder);
  std::filesystem::create_directories(other);
  FolderWake wake({folder});
  FolderWake sentinel({other});
  if (!FolderWatchActive()) GTEST_SKIP() << "no inotify here";
  struct Case {
    const char* name;
    bool announced;
    const char* file;
    const char* renamedTo;  // then renamed by "another program"; nullptr: left as written
    bool wakes;
    bool unnamed = false;  // written unnamed (O_TMPFILE), linked, then closed
  } cases[] = {
      {"announced, then written", true, "a.req", nullptr, false},
      {"written by another program", false, "b.req", nullptr, true},
      {"a temporary file", false, ".~c.tmp", nullptr, false},
      {"a temporary file given its name", false, ".~d.tmp", "d.req", true},
      // Its close is reported under the kernel's "#inode" name.
      {"announced, written unnamed and linked", true, "e.req", nullptr, false, true},
      {"written unnamed and linked by another program", false, "f.req", nullptr, true, true},
      {"a file named like an unnamed one", false, "#12345", nullptr, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = folder + c.file;
    if (c.announced) {
      SignalFolderWrite(path);
      EXPECT_TRUE(Readable(wake.Fd()));
    }
    wake.Rearm();
    sentinel.Rearm();
    if (c.unnamed) {
      int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0664);
      if (fd < 0) GTEST_SKIP() << "no unnamed files here";
      ASSERT_EQ(write(fd, "[SMS]\r\n", 7), 7);
      std::string self = "/proc/self/fd/" + std::to_string(fd);
      EXPECT_EQ(linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW), 0);
      close(fd);
    } else {
      std::ofstream(path) << "[SMS]\r\n";
    }
    if (c.renamedTo) std::filesystem::rename(path, folder + c.renamedTo);
    // The sentinel arrives by rename, one event: a file written in place also reports its
    // close, late enough to wake the next case's sentinel before that case's file is seen.
    std::string sentinelName = "s" + std::to_string(n++);
    std::ofstream(other + ".~" + sentinelName + ".tmp") << "[SMS]\r\n";
    std::filesystem::rename(other + ".~" + sentinelName + ".tmp", other + sentinelName + ".req");
    ASSERT_TRUE(sentinel.Wait(20000));
    EXPECT_EQ(Readable(wake.Fd()), c.wakes);
  }
}

}  // namespace
