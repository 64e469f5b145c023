// Replays the fuzz target's seed corpus in the normal and sanitizer test runs, so that a
// crash found once stays covered.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(HttpSmscFuzzCorpus, EveryInputReplaysCleanly) {
  std::vector<std::string> files = FilesUnder(HTTP_SMSC_FUZZ_CORPUS);
  ASSERT_GE(files.size(), 6u);
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    std::string bytes = ReadFileText(path);
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

}  // namespace
