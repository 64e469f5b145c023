// MMSRouting from outside: the mail file a local account gets in MMSCOUT, the message a VASP
// gets in VASPOUT/<name>/, and the values that route nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mms/mms_routing.h"
#include "mms/tests/mms_vectors.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/base64.h"
#include "store/tests/store_home.h"
#include "tests/support/test_files.h"

namespace {

void AddAccount(const char* name) {
  SMSUserFile* file = nullptr;
  ASSERT_NE(SMSOpenUserFile(&file, SMS_USER_READWRITE), 0);
  SMSUserRecord r;
  std::memset(&r, 0, sizeof r);
  std::strncpy(r.UserName, name, sizeof r.UserName - 1);
  std::strcpy(r.Password, "pw");
  ASSERT_NE(SMSAddUser(file, &r), 0);
  SMSCloseUserFile(file);
}

TEST(MmsRouting, LocalUserVaspOrNothing) {
  const std::string mms = RetrieveConfThreeParts();
  struct Case {
    const char* name;
    std::string routing;
    bool routed;
    const char* folder;  // where the file appears, under the data folder
  } cases[] = {
      {"local account", "localuser:alice", true, "MMSCOUT/"},
      {"unknown account", "localuser:nobody", false, ""},
      {"VASP with a protocol", "shop", true, "VASPOUT/shop/"},
      {"VASP without VASP.INI", "other", false, ""},
      {"path in the name", "../shop", false, ""},
      {"an address", "a@b.c", false, ""},
      {"empty", "", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoreHome home;
    WriteFileText(home.path() + "MMSC.INI", "[MMSC]\r\nDomainName=example.org\r\n");
    AddAccount("alice");
    WriteFileText(home.path() + "VASPOUT/shop/VASP.INI", "[VASP]\r\nProtocol=MM7\r\n");
    WriteFileText(home.path() + "VASPOUT/other/readme.txt", "no VASP.INI");
    EXPECT_EQ(RouteInboundMMS(c.routing, mms), c.routed);
    std::vector<std::string> made;
    for (const std::string& dir : {"MMSCOUT/", "VASPOUT/shop/", "VASPOUT/other/"})
      for (const std::string& f : FilesUnder(home.path() + dir))
        if (!f.ends_with("VASP.INI") && !f.ends_with("readme.txt")) made.push_back(f);
    if (!c.routed) {
      EXPECT_TRUE(made.empty());
      continue;
    }
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made[0].starts_with(home.path() + c.folder)) << made[0];
    std::string text = ReadFileText(made[0]);
    if (std::string(c.folder) == "MMSCOUT/") {
      EXPECT_TRUE(made[0].ends_with(".RFC"));
      EXPECT_TRUE(text.starts_with("To: alice@example.org\r\nX-MMSC-RCPT-TO: alice@example.org\r\n"
                                   "From: +4912345@example.org\r\nSubject: Hello\r\n"))
          << text;
      EXPECT_NE(text.find(Base64Encode(mms).substr(0, 76) + "\r\n"), std::string::npos);
    } else {
      EXPECT_TRUE(made[0].ends_with(".MMS"));
      EXPECT_EQ(text, mms);
    }
  }
}

}  // namespace
