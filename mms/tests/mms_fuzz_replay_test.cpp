// Replays the fuzz target's seed corpus in every test run, and stores each seed whole, so
// that an input found once stays covered.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "mms/mms_store.h"
#include "store/tests/store_home.h"
#include "tests/support/test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(MmsFuzzCorpus, EveryInputReplaysAndStoresCleanly) {
  std::vector<std::string> files = FilesUnder(MMS_FUZZ_CORPUS);
  ASSERT_GE(files.size(), 3u);
  StoreHome home;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    std::string bytes = ReadFileText(path);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
    EXPECT_TRUE(ParseInboundMMS("", bytes, bytes));
  }
}

}  // namespace
