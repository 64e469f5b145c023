// A temporary data folder with QARHUB.INI bound, for the smsc tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

class SmscTestHome : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Writes QARHUB.INI (CR LF added to each line of text).
  void WriteConfig(const std::string& text);
  const std::string& home() const { return home_; }

 private:
  std::string home_;
};

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
