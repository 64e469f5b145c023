// MMSRouting from outside: the mail file a local account gets in MMSCOUT, the message a VASP
// gets in VASPOUT/<name>/, and the values that route nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mms/mms_routing.h"
#include "mms/tests/mms_vectors.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/hex_text.h"
#include "runtime/process_runner.h"
#include "runtime/text_helpers.h"
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

// Python's mail parser, a reader written by others, lists the leaves of a mail file.
const char* const kMailLeaves =
    "import email, sys\n"
    "m = email.message_from_binary_file(open(sys.argv[1], 'rb'))\n"
    "assert m.get_content_type() == 'multipart/mixed' and not m.defects, m.defects\n"
    "for p in m.walk():\n"
    "    if p.is_multipart(): continue\n"
    "    assert not p.defects, p.defects\n"
    "    print('|'.join([p.get_content_type(), str(p.get_param('charset')), p.get_filename(),\n"
    "                    p.get_content_disposition(), p.get_payload(decode=True).hex().upper()]))\n";

TEST(MmsRouting, LocalUserVaspOrNothing) {
  struct Case {
    const char* name;
    std::string routing;
    bool routed;
    const char* folder;  // where the file appears, under the data folder
    std::string message = RetrieveConfThreeParts();
    // The mail's leaves as a mail reader sees them: type, charset, file name, disposition,
    // content as hex.
    std::string leaves = "image/jpeg|None|image.jpg|attachment|FFD8FFD9\n"
                         "text/plain|utf-8|t1.txt|inline|6869\n";
    const char* subject = "Hello";  // "MMS" when the message has none
  } cases[] = {
      {"local account: the content parts, without the presentation", "localuser:alice", true, "MMSCOUT/"},
      {"local account, parts not readable: the message attached whole", "localuser:alice", true, "MMSCOUT/",
       RetrieveConfThreeParts().substr(0, 70),
       "application/vnd.wap.mms-message|None|message.mms|attachment|" + HexEncode(RetrieveConfThreeParts().substr(0, 70)) +
           "\n",
       "MMS"},
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
    EXPECT_EQ(RouteInboundMMS(c.routing, c.message), c.routed);
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
                                   "From: +4912345@example.org\r\nSubject: " + std::string(c.subject) + "\r\n"))
          << text;
      ProcessOptions out;
      out.stdoutPath = home.path() + "leaves.txt";
      out.stderrToStdout = true;
      EXPECT_EQ(RunProcess({"python3", "-c", kMailLeaves, made[0]}, out), 0) << ReadFileText(out.stdoutPath);
      EXPECT_EQ(ReadFileText(out.stdoutPath), c.leaves) << text;
    } else {
      EXPECT_TRUE(made[0].ends_with(".MMS"));
      EXPECT_EQ(text, c.message);
    }
  }
}

}  // namespace
