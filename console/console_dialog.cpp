#include "console/console_dialog.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <istream>
#include <ostream>

#include "runtime/text_helpers.h"

std::optional<std::string> ConsoleDialog::ReadLine() {
  std::string line;
  if (ended_ || !std::getline(in_, line)) {
    ended_ = true;
    return std::nullopt;
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  size_t start = line.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : line.substr(start);
}

std::optional<std::string> ConsoleDialog::Ask(const std::string& question, const std::string& def) {
  out_ << question;
  if (!def.empty()) out_ << " [" << def << "]";
  out_ << ": " << std::flush;
  std::optional<std::string> answer = ReadLine();
  if (!answer) {
    out_ << "\n";
    return std::nullopt;
  }
  return answer->empty() ? def : *answer;
}

std::optional<std::string> ConsoleDialog::AskSecret(const std::string& question) {
  struct termios saved;
  bool terminal = &in_ == &std::cin && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    struct termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::optional<std::string> answer = Ask(question);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    out_ << "\n" << std::flush;
  }
  return answer;
}

bool ConsoleDialog::Confirm(const std::string& question) {
  for (int tries = 0; tries < 5; ++tries) {
    out_ << question << " (y/n): " << std::flush;
    std::optional<std::string> answer = ReadLine();
    if (!answer) {
      out_ << "\n";
      return false;
    }
    if (EqualsNoCase(*answer, "y") || EqualsNoCase(*answer, "yes")) return true;
    if (EqualsNoCase(*answer, "n") || EqualsNoCase(*answer, "no")) return false;
    out_ << "Please answer y or n.\n";
  }
  return false;
}

std::optional<std::string> ConsoleDialog::Choose(const std::string& question, const std::vector<std::string>& choices,
                                                 bool allowOther) {
  for (size_t i = 0; i < choices.size(); ++i) out_ << "  " << (i + 1) << ") " << choices[i] << "\n";
  for (int tries = 0; tries < 5; ++tries) {
    std::optional<std::string> answer = Ask(question);
    if (!answer) return std::nullopt;
    uint32_t n = ParseDecimal(*answer);
    bool number = !answer->empty() && answer->find_first_not_of("0123456789") == std::string::npos;
    if (number && n >= 1 && n <= choices.size()) return choices[n - 1];
    if (allowOther && !answer->empty() && !number) return answer;
    out_ << "Please enter a number from the list" << (allowOther ? " or a name" : "") << ".\n";
  }
  return std::nullopt;
}

void ConsoleDialog::Say(const std::string& text) { out_ << text << "\n" << std::flush; }
