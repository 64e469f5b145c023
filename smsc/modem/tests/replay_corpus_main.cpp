// Replays a fuzz target's seed corpus where libFuzzer is not available (the sanitizer
// build): every file whole and cut at every length, so that a reader that runs past the end
// of what it was given shows up under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t files = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (size_t n = 0; n <= bytes.size(); ++n) {
        // A copy of exactly n bytes: reading past it is caught.
        std::string cut = bytes.substr(0, n);
        auto exact = std::make_unique<uint8_t[]>(n ? n : 1);
        std::copy(cut.begin(), cut.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), n);
      }
      ++files;
    }
  }
  printf("replayed %zu files\n", files);
  return files == 0 ? 1 : 0;
}
