// Owns a directory handle of opendir and closes it once.
#pragma once

#include <dirent.h>

#include <string>
#include <utility>

class UniqueDir {
 public:
  UniqueDir() = default;
  explicit UniqueDir(const std::string& path) : dir_(opendir(path.c_str())) {}
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  UniqueDir(UniqueDir&& o) noexcept : dir_(std::exchange(o.dir_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& o) noexcept {
    if (this != &o) {
      reset();
      dir_ = std::exchange(o.dir_, nullptr);
    }
    return *this;
  }
  ~UniqueDir() { reset(); }

  explicit operator bool() const { return dir_ != nullptr; }
  // The next entry ("." and ".." included); nullptr at the end or when the directory did not open.
  struct dirent* Next() { return dir_ != nullptr ? readdir(dir_) : nullptr; }
  void reset() {
    if (dir_ != nullptr) closedir(dir_);
    dir_ = nullptr;
  }

 private:
  DIR* dir_ = nullptr;
};
