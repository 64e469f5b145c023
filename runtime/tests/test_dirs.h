// A fresh temporary directory per test, removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qartest.XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made != nullptr ? std::string(made) + "/" : std::string("/tmp/");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
