// A temporary file that takes a child program's output; removed with its owner.
#pragma once

#include <string>

class TempOutput {
 public:
  TempOutput();
  ~TempOutput();
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  const std::string& path() const { return path_; }
  std::string Text() const;

 private:
  std::string path_;
};
