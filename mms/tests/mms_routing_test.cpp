// MMSRouting from outside: the mail file a local account gets in MMSCOUT, the message a VASP
// gets in VASPOUT/<name>/, and the values that route nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mms/mms_routing.h"
#include "mms/tests/mms_vectors.h"
#include "outside/outside_tables.h"
#include "outside/subscriber_store.h"
#include "tests/support/gateway_process.h"
#include "runtime/hex_text.h"
#include "runtime/process_runner.h"
#include "runtime/text_helpers.h"
#include "store/tests/store_home.h"
#include "tests/support/test_files.h"

namespace {

// An MMS subscriber of the ledger library's store.
void AddSubscriber(const char* number, const char* alias, bool forwarding) {
  SubscriberStore store(OutsideLibraries.ledger);
  ASSERT_NE(store.db, nullptr);
  MMSCUserRecord r{};
  std::strncpy(r.PhoneNumber, number, sizeof r.PhoneNumber - 1);
  std::strncpy(r.Alias, alias, sizeof r.Alias - 1);
  r.EMailForwarding = forwarding ? 1 : 0;
  ASSERT_NE(OutsideLibraries.ledger.Call<sqlMMSCAddUser_t>(ledger::sqlMMSCAddUser)(store.db, &r), 0);
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
  LoadLedgerLibrary(BinDirectory());
  ASSERT_TRUE(OutsideLibraries.ledger.Loaded());
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
      {"alias in another case", "localuser:ALICE", true, "MMSCOUT/"},
      {"subscriber named by number", "localuser:4470001", true, "MMSCOUT/"},
      {"subscriber without e-mail forwarding", "localuser:bob", false, ""},
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
    AddSubscriber("4470001", "alice", true);
    AddSubscriber("4470002", "bob", false);
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
      std::string to = c.routing.substr(10) + "@example.org";
      EXPECT_TRUE(text.starts_with("To: " + to + "\r\nX-MMSC-RCPT-TO: " + to + "\r\n"
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
