// /AddrBook and /DLists through the real listener, and concurrent edits of one list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "web/address_book.h"
#include "web/submission.h"
#include "web/tests/web_test_support.h"
#include "web/web_settings.h"

namespace fs = std::filesystem;

namespace {

std::string Body(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

class Lists : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetWebTestSettings();
    RegisterSubmissionHandlers();
    std::error_code ec;
    fs::remove_all(TestGateway.home + "DLists", ec);
    std::string html = WebSettings.HtmlDirectory;
    WriteFileText(html + "Address Book.htm", "<ul>\r\n<li>@@AddrBookMembers@@</li>\r\n</ul>\r\n");
    WriteFileText(html + "DList Index.htm", "<p>Lists</p>\r\n<li>@@DListIndex@@</li>\r\n");
    WriteFileText(html + "DList Members.htm",
                  "<h1>@@DListName@@</h1>\r\n<m>@@DListMembers@@</m>\r\n<a>@@AddrBookMembers@@</a>\r\n");
    WriteFileText(html + "DList Import.htm", "<form>@@DListName@@</form>\r\n");
    WriteFileText(html + "Address Book Import.htm", "<form>import</form>\r\n");
  }
  std::string Dir() { return TestGateway.home + "DLists/"; }
};
}  // namespace

TEST_F(Lists, MemberWithNameGoesToListAndAddressBook) {
  std::string r = RawExchange("GET /DLists?DListName=team&DListMemberAction=Add&DListMember=447700900123"
                              "&DListMemberName=Bob HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(r.substr(0, r.find("\r\n")), "HTTP/1.1 200 OK");
  EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(ReadFileText(Dir() + "team.TXT"), "447700900123 - Bob\r\n");
  EXPECT_EQ(ReadFileText(Dir() + "ADDRESS.LST"), "447700900123 - Bob\r\n");
  EXPECT_EQ(Body(r), "<h1>team</h1>\r\n<m>447700900123 - Bob</m>\r\n<a>447700900123 - Bob</a>\r\n<a>#team [DList]</a>\r\n");
  // Present already: not added twice.
  RawExchange("GET /DLists?DListName=team&DListMemberAction=Add&DListMember=447700900123 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReadFileText(Dir() + "team.TXT"), "447700900123 - Bob\r\n");
}

TEST_F(Lists, LastMemberRemovedDeletesTheList) {
  RawExchange("GET /DLists?DListName=solo&DListMemberAction=Add&DListMember=111 HTTP/1.0\r\n\r\n");
  EXPECT_NE(Body(RawExchange("GET /DLists HTTP/1.0\r\n\r\n")).find("<li>solo</li>"), std::string::npos);
  RawExchange("GET /DLists?DListName=solo&DListMemberAction=Delete&DListMember=111 HTTP/1.0\r\n\r\n");
  EXPECT_FALSE(fs::exists(Dir() + "solo.TXT"));
  EXPECT_EQ(Body(RawExchange("GET /DLists HTTP/1.0\r\n\r\n")), "<p>Lists</p>\r\n");
}

TEST_F(Lists, AddressBookImportListAndDelete) {
  EXPECT_EQ(Body(RawExchange("GET /AddrBook?AddrBookMemberAction=List HTTP/1.0\r\n\r\n")),
            "ERROR : ADDRESS.LST not found\r\n");
  std::string data = "%2B447700900123,Bob%0D%0A4477%2000%20Al%20Smith%0D%0A%2B447700900123%20-%20Robert%0D%0A";
  RawExchange("GET /AddrBook?AddrBookAction=Import&AddrBookImportData=" + data + " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReadFileText(Dir() + "ADDRESS.LST"), "4477 - 00 Al Smith\r\n+447700900123 - Robert\r\n");
  std::string r = RawExchange("GET /AddrBook?AddrBookMemberAction=List HTTP/1.0\r\n\r\n");
  EXPECT_NE(r.find("Content-type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(Body(r), "OK : ADDRESS.LST\r\n4477 - 00 Al Smith\r\n+447700900123 - Robert\r\n");
  WriteFileText(Dir() + "old.TXT", "1\r\n");
  r = RawExchange("GET /AddrBook?AddrBookMemberAction=Delete&AddrBookMember=4477,%23old%20[DList] HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(r), "<ul>\r\n<li>+447700900123 - Robert</li>\r\n</ul>\r\n");
  EXPECT_FALSE(fs::exists(Dir() + "old.TXT"));
  // Import without data shows the import page; replace starts afresh.
  EXPECT_EQ(Body(RawExchange("GET /AddrBook?AddrBookAction=Import HTTP/1.0\r\n\r\n")), "<form>import</form>\r\n");
  RawExchange("GET /AddrBook?AddrBookAction=Import&AddrBookImportReplace=Yes&AddrBookImportData=9 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReadFileText(Dir() + "ADDRESS.LST"), "9\r\n");
}

TEST_F(Lists, ListAnswersImportAndBadNames) {
  RawExchange("GET /DLists?DListName=club&DListAction=Import&DListImportData=1%0D%0A2,Two%0D%0A1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReadFileText(Dir() + "club.TXT"), "1\r\n2 - Two\r\n");
  EXPECT_EQ(Body(RawExchange("GET /DLists?DListName=club&DListAction=List HTTP/1.0\r\n\r\n")),
            "OK : club\r\n1\r\n2 - Two\r\n");
  EXPECT_EQ(Body(RawExchange("GET /DLists?DListName=none&DListAction=List HTTP/1.0\r\n\r\n")),
            "ERROR : none not found\r\n");
  RawExchange("GET /DLists?DListName=empty&DListAction=Add HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(RawExchange("GET /DLists?DListAction=List HTTP/1.0\r\n\r\n")), "club\r\nempty\r\n");
  RawExchange("GET /DLists?DListName=empty&DListAction=Delete HTTP/1.0\r\n\r\n");
  EXPECT_FALSE(fs::exists(Dir() + "empty.TXT"));
  std::string r = RawExchange("GET /DLists?DListName=..&DListMemberAction=Add&DListMember=1 HTTP/1.0\r\n\r\n");
  EXPECT_NE(r.find("Invalid distribution list name."), std::string::npos);
  // A missing template leaves the answer to the listener: 404.
  fs::remove(WebSettings.HtmlDirectory + "DList Index.htm");
  r = RawExchange("GET /DLists HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.substr(0, r.find("\r\n")), "HTTP/1.0 404 Not Found");
}

TEST_F(Lists, ConcurrentEditsOfOneListLoseNothing) {
  std::string path = Dir() + "busy.TXT";
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        std::string number = std::to_string(1000 + t * 100 + i);
        if (i % 5 == 0)
          RawExchange("GET /DLists?DListName=busy&DListMemberAction=Add&DListMember=" + number + " HTTP/1.0\r\n\r\n");
        else
          AddListLine(path, number, false);
        if (i % 3 == 0) RemoveListLine(path, "1", true);  // a member that is never there
      }
    });
  for (auto& t : threads) t.join();
  auto lines = ReadListLines(path);
  std::set<std::string> unique(lines.begin(), lines.end());
  EXPECT_EQ(lines.size(), 200u);
  EXPECT_EQ(unique.size(), 200u);
  // Concurrent removal of every member: the file ends up deleted, nothing left behind.
  threads.clear();
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) RemoveListLine(path, std::to_string(1000 + t * 100 + i), true);
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(fs::exists(path));
}
