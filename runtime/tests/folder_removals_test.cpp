// Files taken out of a folder are counted as they go (deleted or moved away), only those
// with the waited suffix; the wait ends when enough went, at its time, or at the stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <thread>

#include "runtime/folder_removals.h"
#include "runtime/folder_wake.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(FolderRemovals, CountsWhatLeavesWithItsSuffix) {
  DisableFolderWatch(false);
  TempDir dir;
  std::string folder = dir.path() + "Q/";
  fs::create_directories(folder);
  fs::create_directories(dir.path() + "elsewhere");
  for (const char* name : {"a.req", "b.REQ", "c.req", "d.lck", "e.req", "f.req"}) std::ofstream(folder + name) << "x";
  FolderRemovals removals(folder, ".REQ");
  ASSERT_TRUE(removals.Watching());
  struct Case {
    const char* name;
    std::function<void()> take;
    uint32_t waitFor;
    bool ends;
  } cases[] = {
      {"a deletion", [&] { fs::remove(folder + "a.req"); }, 1, true},
      {"another suffix (any case) is not counted", [&] { fs::remove(folder + "d.lck"); }, 1, false},
      {"a suffix in another case", [&] { fs::remove(folder + "b.REQ"); }, 1, true},
      {"moved away", [&] { fs::rename(folder + "c.req", dir.path() + "elsewhere/c.req"); }, 1, true},
      {"two needed, one went", [&] { fs::remove(folder + "e.req"); }, 2, false},
      {"the second of the two", [&] { fs::remove(folder + "f.req"); }, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.take();
    EXPECT_EQ(removals.Wait(c.waitFor, c.ends ? 10000 : 300), c.ends);
  }
}

TEST(FolderRemovals, StopOrMissingInotifyEndTheWait) {
  TempDir dir;
  std::string folder = dir.path() + "Q/";
  fs::create_directories(folder);
  DisableFolderWatch(true);
  {
    FolderRemovals removals(folder, ".REQ");
    EXPECT_FALSE(removals.Watching());
    EXPECT_FALSE(removals.Wait(1, 50));
  }
  DisableFolderWatch(false);
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
  FolderRemovals removals(folder, ".REQ");
  std::thread stopper([] { AnnounceShutdown(); });
  EXPECT_FALSE(removals.Wait(1, 60000));
  stopper.join();
  ShutdownRequested.store(0);
  ClearStaleShutdownWake();
}

}  // namespace
