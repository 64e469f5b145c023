// The fuzz target's seed corpus replayed in every normal and sanitizer test run.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(CimdPacketFuzzReplay, SeedCorpusRunsClean) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QARBOLT_TEST_DIR "/corpus")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0)
        << entry.path();
    ++count;
  }
  EXPECT_GE(count, 8u);
}
