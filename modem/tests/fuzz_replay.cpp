// Runs a libFuzzer target over its seed corpus in the ordinary and sanitizer builds: every
// file of each directory given, then every prefix of it, once.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int a = 1; a < argc; ++a) {
    std::string dir = argv[a];
    if (dir.back() != '/') dir.push_back('/');
    for (const std::string& path : FilesUnder(dir)) {
      std::string bytes = ReadFileText(path);
      for (size_t n = 0; n <= bytes.size(); ++n) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), n);
        ++runs;
      }
    }
  }
  std::printf("%zu inputs replayed\n", runs);
  return runs > 0 ? 0 : 1;
}
