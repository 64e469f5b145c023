// A fresh temporary directory, removed with everything in it when the object goes.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }  // ends in "/"

 private:
  std::string path_;
};
