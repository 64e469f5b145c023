#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>

TempDir::TempDir() {
  std::error_code ec;
  std::string base = std::filesystem::temp_directory_path(ec).string();
  if (ec || base.empty()) base = "/tmp";
  std::string pattern = base + "/qartest.XXXXXX";
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? std::string(made) + "/" : base + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}
