// The terminal's stand-in for message boxes and dialog pages: questions answered by lines
// of standard input, so that a person or a script can drive it. End of input cancels.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

class ConsoleDialog {
 public:
  ConsoleDialog(std::istream& in, std::ostream& out) : in_(in), out_(out) {}
  // A line of text; def when the answer is empty; nothing at end of input.
  std::optional<std::string> Ask(const std::string& question, const std::string& def = "");
  // As Ask, without echo on a terminal; nothing at end of input.
  std::optional<std::string> AskSecret(const std::string& question);
  // Yes or no; no at end of input.
  bool Confirm(const std::string& question);
  // A choice by number from 1, or a typed value when allowOther; nothing at end of input.
  std::optional<std::string> Choose(const std::string& question, const std::vector<std::string>& choices,
                                    bool allowOther);
  void Say(const std::string& text);
  bool ended() const { return ended_; }

 private:
  std::optional<std::string> ReadLine();
  std::istream& in_;
  std::ostream& out_;
  bool ended_ = false;
};
