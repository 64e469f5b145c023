#include "admin/mms_subscribers.h"

#include <gtest/gtest.h>

namespace {
TEST(MmsSubscribers, FolderLevelsOfANumber) {
  struct Case {
    const char* number;
    const char* folder;
  } cases[] = {
      {"447000123456", "R/447000/123/447000123456"},
      {"4470001", "R/447000/1XX/4470001"},
      {"+4470", "R/+4470X/XXX/+4470"},
      {"", "R/XXXXXX/XXX/X"},
  };
  for (const Case& c : cases) EXPECT_EQ(SubscriberFolder("R/", c.number), c.folder) << c.number;
}
}  // namespace
