#include "admin/page_templates.h"

#include <gtest/gtest.h>

#include <string>

namespace {
TEST(PageTemplates, TokensListsAndLineEnds) {
  PageValues v;
  v.tokens = {{"Name", "a<b>&\"c\""}, {"Count", "3"}, {"Loop", "@@Count@@"}};
  v.AddList("Item", {"one", "<two>"});
  PageValues::List rows;
  rows.token = "Row";
  rows.rows = {{{"Row", "r1"}, {"Cell", "x"}}, {{"Row", "r2"}, {"Cell", "y"}}};
  v.lists.push_back(rows);
  PageValues::List empty;
  empty.token = "Nothing";
  v.lists.push_back(empty);
  struct Case {
    const char* what;
    std::string page, expected;
  } cases[] = {
      {"escaped value", "<p>@@Name@@</p>", "<p>a&lt;b&gt;&amp;&quot;c&quot;</p>\r\n"},
      {"without case, twice on a line", "@@count@@/@@COUNT@@", "3/3\r\n"},
      {"an inserted value is not expanded again", "@@Loop@@", "@@Count@@\r\n"},
      {"unknown tokens stay", "@@Unknown@@ @@Count@@ @@", "@@Unknown@@ 3 @@\r\n"},
      {"list line once per item", "<li>@@Item@@ of @@Count@@</li>", "<li>one of 3</li>\r\n<li>&lt;two&gt; of 3</li>\r\n"},
      {"row tokens", "@@Row@@=@@Cell@@", "r1=x\r\nr2=y\r\n"},
      {"an empty list drops its line", "a\n@@Nothing@@\nb", "a\r\nb\r\n"},
      {"no line ends between the switches", "a\r\nx @@BeginNoCrlf@@ y\r\nb\r\nc\r\n@@EndNoCrlf@@\r\nd",
       "a\r\nbcd\r\n"},
      {"a long line is kept whole", std::string(5000, 'x') + "@@Count@@", std::string(5000, 'x') + "3\r\n"},
      {"empty template", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandPage(c.page, v), c.expected) << c.what;
}
}  // namespace
