#include "store/unique_files.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "config/settings.h"
#include "config/settings_override.h"
#include "runtime/config_access.h"
#include "store/queue_file.h"
#include "store/tests/store_home.h"
#include "store/unique_ids.h"

namespace {
// Folders to remove just before the next links into them: another thread's clean-up of an
// emptied folder, at the worst moment.
std::atomic<int> g_removeFolderBeforeLink{0};
}  // namespace

extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  using LinkAt = int (*)(int, const char*, int, const char*, int);
  static LinkAt real = reinterpret_cast<LinkAt>(dlsym(RTLD_NEXT, "linkat"));
  if (g_removeFolderBeforeLink.load() > 0) {
    g_removeFolderBeforeLink.fetch_sub(1);
    std::string folder = std::filesystem::path(to).parent_path().string();
    EXPECT_EQ(rmdir(folder.c_str()), 0) << folder;
  }
  return real(fromDir, from, toDir, to, flags);
}

namespace {
void StoreUid(const std::string& home, uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  WriteFileText(PrivateDataDirectory() + "UID.DAT", bytes);
}

uint32_t StoredUid() {
  std::string bytes = ReadFileText(PrivateDataDirectory() + "UID.DAT");
  if (bytes.size() != 4) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[i]);
  return v;
}
}  // namespace

TEST(UniqueFilesTest, NamesCountersAndTakenNames) {
  SettingsOverride settings;
  StoreHome home;
  settings->MessageIDPrefix = "GW";
  StoreUid(home.path(), 1000000);
  std::string q = home.path() + "Q/new/";
  // 1,001,000 is the first id; its name is taken already and must be left alone.
  WriteFileText(q + "GW000F4628.req", "other");
  std::string path = CreateUniqueFile(q, "req", "[SMS]\r\n");
  EXPECT_EQ(path, q + "GW000F4629.req");
  EXPECT_EQ(ReadFileText(q + "GW000F4628.req"), "other");
  EXPECT_EQ(MessageIdFromPath(path), "GW000F4629");
  EXPECT_EQ(CreateUniqueFileNoPrefix(q, "", "x"), q + "000F462A");
  EXPECT_EQ(CreateUniqueFile(q, "../x", "x"), "");
  EXPECT_EQ(CreateUniqueFile(q, "a/b", "x"), "");
}

TEST(UniqueFilesTest, AFolderRemovedBeforeTheLinkIsMadeAgainForTheSameId) {
  SettingsOverride settings;
  StoreHome home;
  settings->MessageIDPrefix = "GW";
  struct Case {
    int removals;  // how often the folder vanishes before a link
    bool created;
  } cases[] = {{1, true}, {2, false}};
  for (const Case& c : cases) {
    StoreUid(home.path(), 1000000);
    ResetUniqueIdsForTest();
    std::string q = home.path() + "Q/u" + std::to_string(c.removals) + "/";
    std::filesystem::create_directories(q);
    g_removeFolderBeforeLink = c.removals;
    std::string path = CreateUniqueFile(q, "req", "[SMS]\r\n");
    g_removeFolderBeforeLink = 0;
    EXPECT_EQ(path, c.created ? q + "GW000F4628.req" : "") << c.removals;
    if (c.created) {
      EXPECT_EQ(ReadFileText(path), "[SMS]\r\n");
    }
    // The first id went to this file (or this failure), none was taken for the retry.
    EXPECT_EQ(NextUniqueId(), 1001001u) << c.removals;
    size_t left = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(q, ec)) {
      ++left;
      EXPECT_EQ(e.path().string(), path) << "no temporary file is left";
    }
    EXPECT_EQ(left, c.created ? 1u : 0u) << c.removals;
  }
}

TEST(UniqueFilesTest, IdsAreNeverReissuedAfterACrash) {
  StoreHome home;
  uint32_t last = 0;
  for (int i = 0; i < 2500; ++i) last = NextUniqueId();
  EXPECT_GE(StoredUid(), last) << "ids beyond the stored value are reserved first";
  // A crash: the counter is lost without SaveUniqueId.
  ResetUniqueIdsForTest();
  EXPECT_GT(NextUniqueId(), last);
  uint32_t now = NextUniqueId();
  SaveUniqueId();
  EXPECT_EQ(StoredUid(), now);
  ResetUniqueIdsForTest();
  EXPECT_EQ(NextUniqueId(), now + 1000);
}

TEST(UniqueFilesTest, SegmentsNeverReplaceAPendingSegment) {
  SettingsOverride settings;
  StoreHome home;
  settings->MessageIDPrefix = "P";
  std::string q = home.path() + "Q/";
  EXPECT_EQ(SegmentFileName("+1?2*3:4/5\\6|7", 0xAB, 3, 2, "req"), "SAR-P+1!2!3!4!5!6!7-ab-3-2.req");
  EXPECT_EQ(SegmentFileName(std::string(60, '9'), 1, 2, 1, "req"), "SAR-P" + std::string(50, '9') + "-1-2-1.req");
  EXPECT_EQ(SegmentFileName("12\n3", 1, 2, 1, "req"), "");
  std::string first = CreateSegmentFile(q, "123", 7, 2, 1, "req", "first");
  ASSERT_EQ(first, q + "SAR-P123-7-2-1.req");
  EXPECT_EQ(CreateSegmentFile(q, "123", 7, 2, 1, "req", "second"), "");
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFileText(first), "first");
  // Every reference but one is pending for this recipient: that one is chosen.
  for (unsigned ref = 0; ref < 256; ++ref) {
    if (ref != 0x42) WriteFileText(q + SegmentFileName("555", ref, 2, 2, "req"), "pending");
  }
  EXPECT_EQ(ChooseConcatReference(q, "555", 2, "req"), 0x42);
  uint8_t a = NextConcatReference();
  EXPECT_EQ(static_cast<uint8_t>(NextConcatReference() - a), 1);
}
