#include "store/unique_files.h"

#include <gtest/gtest.h>

#include "runtime/config_access.h"
#include "service/settings.h"
#include "store/queue_file.h"
#include "store/tests/store_home.h"
#include "store/unique_ids.h"

namespace {
void StoreUid(const std::string& home, uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  WriteTestFile(PrivateDataDirectory() + "UID.DAT", bytes);
}

uint32_t StoredUid() {
  std::string bytes = ReadTestFile(PrivateDataDirectory() + "UID.DAT");
  if (bytes.size() != 4) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[i]);
  return v;
}
}  // namespace

TEST(UniqueFilesTest, NamesCountersAndTakenNames) {
  StoreHome home;
  Settings.MessageIDPrefix = "GW";
  StoreUid(home.path(), 1000000);
  std::string q = home.path() + "Q/new/";
  // 1,001,000 is the first id; its name is taken already and must be left alone.
  WriteTestFile(q + "GW000F4628.req", "other");
  std::string path = CreateUniqueFile(q, "req", "[SMS]\r\n");
  EXPECT_EQ(path, q + "GW000F4629.req");
  EXPECT_EQ(ReadTestFile(q + "GW000F4628.req"), "other");
  EXPECT_EQ(MessageIdFromPath(path), "GW000F4629");
  EXPECT_EQ(CreateUniqueFileNoPrefix(q, "", "x"), q + "000F462A");
  EXPECT_EQ(CreateUniqueFile(q, "../x", "x"), "");
  EXPECT_EQ(CreateUniqueFile(q, "a/b", "x"), "");
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
  StoreHome home;
  Settings.MessageIDPrefix = "P";
  std::string q = home.path() + "Q/";
  EXPECT_EQ(SegmentFileName("+1?2*3:4/5\\6|7", 0xAB, 3, 2, "req"), "SAR-P+1!2!3!4!5!6!7-ab-3-2.req");
  EXPECT_EQ(SegmentFileName(std::string(60, '9'), 1, 2, 1, "req"), "SAR-P" + std::string(50, '9') + "-1-2-1.req");
  EXPECT_EQ(SegmentFileName("12\n3", 1, 2, 1, "req"), "");
  std::string first = CreateSegmentFile(q, "123", 7, 2, 1, "req", "first");
  ASSERT_EQ(first, q + "SAR-P123-7-2-1.req");
  EXPECT_EQ(CreateSegmentFile(q, "123", 7, 2, 1, "req", "second"), "");
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadTestFile(first), "first");
  // Every reference but one is pending for this recipient: that one is chosen.
  for (unsigned ref = 0; ref < 256; ++ref) {
    if (ref != 0x42) WriteTestFile(q + SegmentFileName("555", ref, 2, 2, "req"), "pending");
  }
  EXPECT_EQ(ChooseConcatReference(q, "555", 2, "req"), 0x42);
  uint8_t a = NextConcatReference();
  EXPECT_EQ(static_cast<uint8_t>(NextConcatReference() - a), 1);
}
