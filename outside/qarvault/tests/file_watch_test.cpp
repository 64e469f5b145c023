#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "outside/qarvault/qarvault.h"
#include "tests/support/temp_dir.h"

namespace {
void Touch(const std::string& path) { std::ofstream(path) << "x"; }
}  // namespace

// A reader keeps the count it saw and skips the file while it stays the same: every change
// that matters must move the count, missing folders on the way included, and a step that
// changes nothing the reader looks at must not.
TEST(FileWatchTest, CountsMoveWithEveryChangeOnTheWay) {
  TempDir dir;
  const std::string root = dir.path();  // ends in "/"
  struct Step {
    const char* name;
    std::function<void()> act;
    bool moves;
  };
  const struct {
    const char* name;
    std::string path;
    std::vector<Step> steps;
  } cases[] = {
      {"file whose folder is made first",
       root + "f/SET.INI",
       {{"mkdir", [&] { mkdir((root + "f").c_str(), 0755); }, true},
        {"another file beside it", [&] { Touch(root + "f/OTHER"); }, false},
        {"created", [&] { Touch(root + "f/SET.INI"); }, true},
        {"rewritten", [&] { Touch(root + "f/SET.INI"); }, true},
        {"removed", [&] { unlink((root + "f/SET.INI").c_str()); }, true}}},
      {"listing of a folder whose parents are missing",
       root + "a/b/c/",
       {{"an unrelated folder at the top", [&] { mkdir((root + "z").c_str(), 0755); }, false},
        {"first parent made", [&] { mkdir((root + "a").c_str(), 0755); }, true},
        {"unrelated entry in it", [&] { Touch(root + "a/note"); }, false},
        {"second parent made", [&] { mkdir((root + "a/b").c_str(), 0755); }, true},
        {"the folder made", [&] { mkdir((root + "a/b/c").c_str(), 0755); }, true},
        {"an entry added", [&] { Touch(root + "a/b/c/L.TXT"); }, true},
        {"folder removed with its entry",
         [&] {
           unlink((root + "a/b/c/L.TXT").c_str());
           rmdir((root + "a/b/c").c_str());
         },
         true}}},
      {"file under two missing folders",
       root + "u/v/SMS.CTR",
       {{"first folder", [&] { mkdir((root + "u").c_str(), 0755); }, true},
        {"second folder", [&] { mkdir((root + "u/v").c_str(), 0755); }, true},
        {"the file", [&] { Touch(root + "u/v/SMS.CTR"); }, true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t seen = WatchedFileChangeCount(c.path.c_str());
    ASSERT_NE(seen, 0u);
    EXPECT_EQ(WatchedFileChangeCount(c.path.c_str()), seen) << "asked again, nothing changed";
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.name);
      step.act();
      uint64_t now = WatchedFileChangeCount(c.path.c_str());
      EXPECT_NE(now, 0u);
      if (step.moves) {
        EXPECT_NE(now, seen);
      } else {
        EXPECT_EQ(now, seen);
      }
      seen = now;
    }
  }
}
