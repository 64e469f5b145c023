#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "runtime/file_io.h"
#include "web/responses.h"
#include "httpclient/socket_io.h"
#include "web/tests/web_test_support.h"
#include "web/web_menu.h"

namespace {
const std::string kPage =
    "A<!@@StartBlockTextSMS@@>T<!@@EndBlockTextSMS@@>"
    "<!@@StartBlockMMS@@>M<!@@EndBlockMMS@@>"
    "<!@@StartBlockWAPMM@@>W<!@@EndBlockWAPMM@@>"
    "<!@@StartBlockAdvanced@@>V<!@@EndBlockAdvanced@@>"
    "<!@@StartBlockHeavy@@>H<!@@EndBlockHeavy@@>"
    "<!@@StartBlockAvailableCredits@@>C=@@AvailableCredits@@<!@@EndBlockAvailableCredits@@>Z";

TEST(WebMenu, BlocksFollowWebOptions) {
  struct Case { uint8_t options; const char* expected; };
  const Case cases[] = {
      {0, "ATMWVHZ"}, {176, "ATMWVHZ"}, {177, "ATHZ"}, {178, "ATMHZ"}, {179, "ATWHZ"}, {180, "ATMWHZ"},
  };
  for (const Case& c : cases) EXPECT_EQ(FilterWebMenuBlocks(kPage, c.options, std::nullopt), c.expected) << +c.options;
  EXPECT_EQ(FilterWebMenuBlocks(kPage, 177, std::string("1.500")), "ATHC=1.500Z");
  EXPECT_EQ(FilterWebMenuBlocks("x<!@@StartBlockMMS@@>y", 177, std::nullopt), "xy");  // no end marker
}

TEST(WebMenu, StaticPathsStayUnderTheHtmlFolder) {
  std::string html = TestGateway.home + "menu-html/";
  WriteFileText(html + "page.htm", "in");
  WriteFileText(html + "sub/inner.htm", "inner");
  WriteFileText(TestGateway.home + "secret.txt", "secret");
  std::filesystem::create_symlink(TestGateway.home + "secret.txt", html + "link.htm");
  struct Case { const char* path; bool ok; };
  const Case cases[] = {
      {"/page.htm", true},          {"/sub/inner.htm?x=1", true}, {"/sub/./inner.htm", true},
      {"/%70age.htm", true},        {"/../secret.txt", false},    {"/%2e%2e/secret.txt", false},
      {"/..%2fsecret.txt", false},  {"/sub/../../secret.txt", false}, {"/..\\secret.txt", false},
      {"//etc/passwd", false},      {"/link.htm", false},        {"/sub/", false},
      {"/", false},                 {"/page.htm%00.gif", false}, {"/C:/x", false},
  };
  for (const Case& c : cases) {
    std::string resolved;
    EXPECT_EQ(ResolveWebMenuFile(html, c.path, resolved), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(resolved.rfind(std::filesystem::canonical(html).string() + "/", 0), 0u) << resolved;
    }
  }
}

TEST(WebMenu, ShippedPagesInstalledIntoAFreshFolderOnly) {
  std::string html = TestGateway.home + "fresh-html/";
  ASSERT_TRUE(InstallDefaultWebPages(html));
  std::string page;
  ASSERT_TRUE(ReadWholeFile(html + "default.htm", page));
  EXPECT_NE(page.find("Qar SMS/MMS Gateway"), std::string::npos);
  struct Case {
    const char* file;
    std::vector<const char*> placeholders;
  };
  const Case cases[] = {
      {"Address Book.htm", {"@@AddrBookMembers@@"}},
      {"Address Book Import.htm", {}},
      {"DList Index.htm", {"@@DListIndex@@"}},
      {"DList Import.htm", {"@@DListName@@"}},
      {"DList Members.htm", {"@@DListName@@", "@@DListMembers@@", "@@AddrBookMembers@@"}},
      {"SUBMITOK.HTM", {"@@ContinueURL@@", "@@SubmitInfo@@"}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(ReadWholeFile(html + c.file, page)) << c.file;
    for (const char* token : c.placeholders) EXPECT_NE(page.find(token), std::string::npos) << c.file << token;
  }
  // The operator's folder: a changed page is kept, a removed template stays removed.
  WriteFileText(html + "default.htm", "operator's page");
  std::filesystem::remove(html + "DList Index.htm");
  ASSERT_TRUE(InstallDefaultWebPages(html));
  ASSERT_TRUE(ReadWholeFile(html + "default.htm", page));
  EXPECT_EQ(page, "operator's page");
  EXPECT_FALSE(std::filesystem::exists(html + "DList Index.htm"));
}

TEST(WebResponses, ErrorPageEscapesAndBrowserStatus) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  WebConnection c;
  c.socket = a.get();
  c.http11 = true;
  c.keepAlive = false;
  SendErrorPage(c, "400 Bad Request", "T<i>", "bad <script>\"x\"", "d&");
  c.browser = true;
  c.keepAlive = true;
  SendErrorPage(c, "400 Bad Request", "T", "x");
  std::string out = ReadUntilQuiet(b.get(), 300);
  EXPECT_EQ(out.rfind("HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-type: text/html\r\n"
                      "Expires: Tue, 01 Jan 1980 1:00:00 GMT\r\nCache-Control: no-cache\r\nContent-Length: ",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("<HTML><HEAD><TITLE>\r\nT&lt;i&gt;\r\n</TITLE></HEAD><BODY><H1>\r\nError:  bad &lt;script&gt;"
                     "&quot;x&quot;\r\n</H1>\r\nd&amp;\r\n</BODY></HTML>\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n"), std::string::npos);
}

TEST(WebResponses, SendAFileSendsPrefixAndWholeFile) {
  std::string path = TestGateway.home + "big.bin";
  std::string content;
  for (int i = 0; i < 40000; ++i) content += char('a' + i % 26);
  WriteFileText(path, content);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  UniqueFd file = OpenFileWithRetry(path, O_RDONLY, 0, 100);
  ASSERT_TRUE(file.valid());
  std::string received;
  std::thread reader([&] { received = ReadUntilQuiet(b.get(), 500); });
  EXPECT_TRUE(SendAFile(a.get(), nullptr, file.get(), "PREFIX\r\n"));
  a.reset();
  reader.join();
  EXPECT_EQ(received, "PREFIX\r\n" + content);
}
}  // namespace
