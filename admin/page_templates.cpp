#include "admin/page_templates.h"

#include "httpclient/http_text.h"
#include "runtime/text_helpers.h"

namespace {
const std::string* FindValue(const std::vector<std::pair<std::string, std::string>>& tokens, std::string_view name) {
  for (const auto& [token, value] : tokens)
    if (EqualsNoCase(token, name)) return &value;
  return nullptr;
}

// Replaces every known "@@name@@" of line in one pass; an inserted value is never scanned
// again for tokens.
std::string ReplaceTokens(std::string_view line, const std::vector<std::pair<std::string, std::string>>& tokens) {
  std::string out;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t start = line.find("@@", pos);
    if (start == std::string_view::npos) break;
    size_t end = line.find("@@", start + 2);
    if (end == std::string_view::npos) break;
    const std::string* value = FindValue(tokens, line.substr(start + 2, end - start - 2));
    if (value == nullptr) {
      // Not a token: keep the first "@@" and look again from the second.
      out.append(line.substr(pos, end - pos));
      pos = end;
      continue;
    }
    out.append(line.substr(pos, start - pos));
    out += HtmlEscape(*value);
    pos = end + 2;
  }
  out.append(line.substr(pos));
  return out;
}
}  // namespace

std::string ExpandPage(std::string_view templateText, const PageValues& values) {
  std::string out;
  bool crlf = true;
  size_t pos = 0;
  while (pos < templateText.size()) {
    size_t end = FindLineEnd(templateText, pos);
    std::string_view line = templateText.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (end == std::string_view::npos) {
      pos = templateText.size();
    } else {
      pos = end + 1;
      if (templateText[end] == '\r' && pos < templateText.size() && templateText[pos] == '\n') ++pos;
    }
    if (FindNoCase(line, "@@BeginNoCrlf@@") != std::string_view::npos) {
      crlf = false;
      continue;
    }
    if (FindNoCase(line, "@@EndNoCrlf@@") != std::string_view::npos) {
      crlf = true;
      continue;
    }
    const PageValues::List* list = nullptr;
    for (const PageValues::List& l : values.lists) {
      if (FindNoCase(line, "@@" + l.token + "@@") != std::string_view::npos) {
        list = &l;
        break;
      }
    }
    if (list == nullptr) {
      out += ReplaceTokens(line, values.tokens);
      if (crlf) out += "\r\n";
      continue;
    }
    for (const auto& row : list->rows) {
      std::vector<std::pair<std::string, std::string>> tokens = row;
      tokens.insert(tokens.end(), values.tokens.begin(), values.tokens.end());
      out += ReplaceTokens(line, tokens);
      if (crlf) out += "\r\n";
    }
  }
  return out;
}

void PageValues::AddList(std::string token, const std::vector<std::string>& items) {
  List list;
  list.token = std::move(token);
  for (const std::string& item : items) list.rows.push_back({{list.token, item}});
  lists.push_back(std::move(list));
}
