#include <gtest/gtest.h>

#include <string>

#include "smsc/skip_queue.h"

namespace {

TEST(SkipQueue, AddFindCleanAndLimits) {
  SkipQueue q;
  SkipQBeginPass(q);
  SkipQAdd(q, "b.req");
  SkipQAdd(q, "a.req");
  SkipQAdd(q, std::string(47, 'x'));
  SkipQAdd(q, std::string(48, 'y'));  // too long: never kept
  // Not found before the first sort: the pass that added them met them already.
  EXPECT_FALSE(SkipQFind(q, "a.req"));
  SkipQClean(q);
  ASSERT_EQ(q.entries.size(), 3u);
  EXPECT_EQ(q.sortedCount, 3u);
  EXPECT_EQ(q.entries[0].name, "a.req");

  // Next pass: only a.req is met again; b.req and the long one went away.
  SkipQBeginPass(q);
  EXPECT_TRUE(SkipQFind(q, "a.req"));
  EXPECT_FALSE(SkipQFind(q, "A.REQ"));  // exact, case-sensitive
  EXPECT_FALSE(SkipQFind(q, std::string(48, 'y')));
  SkipQClean(q);
  ASSERT_EQ(q.entries.size(), 1u);
  EXPECT_EQ(q.entries[0].name, "a.req");

  // Growth by 1000 and the shrink back after a clean.
  for (int i = 0; i < 2500; ++i) SkipQAdd(q, std::to_string(i) + ".f");
  EXPECT_GE(q.entries.capacity(), 2501u);
  SkipQBeginPass(q);
  EXPECT_TRUE(SkipQFind(q, "a.req"));
  SkipQClean(q);
  EXPECT_EQ(q.entries.size(), 1u);
  EXPECT_LE(q.entries.capacity(), 1001u);
  SkipQFree(q);
  EXPECT_TRUE(q.entries.empty());
  EXPECT_EQ(q.sortedCount, 0u);
}

}  // namespace
