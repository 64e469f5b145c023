// The administration pages' templates: lines with "@@name@@" tokens, list tokens whose
// line is repeated once per item, and the "@@BeginNoCrlf@@"/"@@EndNoCrlf@@" switches.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct PageValues {
  // Token name (without the "@@", matched without case) and its text, inserted HTML-escaped.
  std::vector<std::pair<std::string, std::string>> tokens;
  // A line holding a list's token is written once per row (not at all when there is none),
  // with the row's own tokens (the list's token among them) besides the page's.
  struct List {
    std::string token;
    std::vector<std::vector<std::pair<std::string, std::string>>> rows;
  };
  std::vector<List> lists;
  // A list of one token: each item is a row of that token alone.
  void AddList(std::string token, const std::vector<std::string>& items);
};

// The page from the template text. Lines end in CR LF unless switched off; a line holding
// a switch is dropped. Unknown tokens stay as they are.
std::string ExpandPage(std::string_view templateText, const PageValues& values);
