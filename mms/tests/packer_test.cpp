// qarpacker from outside: the real program turns header files in either spelling into MMS
// messages; a stored message packed again and stored again gives the same header file; bad
// part paths and missing parts exit non-zero and write nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mms/mms_store.h"
#include "mms/packer/packer.h"
#include "mms/tests/mms_vectors.h"
#include "runtime/config_access.h"
#include "runtime/process_runner.h"
#include "store/tests/store_home.h"
#include "tests/support/test_files.h"

namespace {

std::string Packer() { return RealProgramDirectory() + "qarpacker"; }

// The stored header with its message id replaced by "ID".
std::string Stored(const std::string& path) {
  std::string text = ReadFileText(path);
  std::string id = path.substr(path.rfind('/') + 1, 8);
  for (size_t at; (at = text.find(id)) != std::string::npos;) text.replace(at, id.size(), "ID");
  return text;
}

TEST(Packer, StoredMessageRoundTrip) {
  StoreHome home;
  std::string first;
  ASSERT_TRUE(ParseInboundMMS("", "", std::string_view(RetrieveConfThreeParts()), &first));
  ASSERT_EQ(RunProcess({Packer(), first}, ProcessOptions{}), 0);
  std::string packed = ReadFileText(first.substr(0, first.size() - 4) + ".MMS");
  ASSERT_FALSE(packed.empty());
  std::string second;
  ASSERT_TRUE(ParseInboundMMS("", "", std::string_view(packed), &second));
  EXPECT_EQ(Stored(second), Stored(first));
  EXPECT_EQ(Stored(second), RetrieveConfThreePartsHeader());
}

TEST(Packer, SubmissionSpellingAndFailures) {
  struct Case {
    const char* name;
    std::string header;
    int exit;
    std::string stored;  // the header file ParseInboundMMS makes of the result
  } cases[] = {
      {"submission spelling, related with the SMIL first",
       "X-MMS-Message-type: m-send-req\r\nX-MMS-MMS-Version: Auto\r\nX-MMS-Transaction-ID: 0000002A\r\n"
       "To: +4970/TYPE=PLMN\r\nSubject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?=\r\nX-MMS-Delivery-Report: Yes\r\n"
       "X-MMS-Priority: High\r\nX-Custom: 1\r\n\r\n"
       "X-QarMMS-Content-Location: W.txt;text/plain;charset=utf-8\r\n"
       "X-QarMMS-Content-Location: W\\pic.gif\r\n"
       "X-QarMMS-Content-Location: W.smil;application/smil;charset=utf-8\r\n",
       0,
       "Message-type: m-send-req\r\nTransaction-id: 0000002A\r\nMMS-version: 1.2\r\nFrom: Insert-address-token\r\n"
       "Delivery-report: Yes\r\nPriority: high\r\nSubject: Gr\xC3\xBC\xC3\x9F" "e\r\nTo: +4970/TYPE=PLMN\r\nX-Custom: 1\r\n"
       "Content-type: application/vnd.wap.multipart.related; start=<W.smil>; type=application/smil\r\n"
       "X-QarMMS-Content-Location: ID\\W.txt;text/plain;charset=utf-8\r\n"
       "X-QarMMS-Content-Location: ID\\pic.gif;image/gif\r\n"
       "X-QarMMS-Content-Location: ID\\W.smil;application/smil;charset=utf-8\r\n"},
      {"1.3 fields, no SMIL: mixed",
       "x-mms-message-type: m-send-req\r\nx-mms-mms-version: auto\r\nX-MMS-Applic-ID: app\r\n"
       "X-QarMMS-Content-Location: W/pic.gif\r\n",
       0,
       "Message-type: m-send-req\r\nTransaction-id: 1\r\nMMS-version: 1.3\r\nFrom: Insert-address-token\r\n"
       "X-Mms-Applic-ID: app\r\nContent-type: application/vnd.wap.multipart.mixed\r\n"
       "X-QarMMS-Content-Location: ID\\pic.gif;image/gif\r\n"},
      {"part outside the folder", "X-MMS-Message-type: m-send-req\r\nX-QarMMS-Content-Location: ..\\QARHUB.INI\r\n", 4,
       ""},
      {"absolute part path", "X-MMS-Message-type: m-send-req\r\nX-QarMMS-Content-Location: /etc/passwd\r\n", 4, ""},
      {"missing part", "X-MMS-Message-type: m-send-req\r\nX-QarMMS-Content-Location: W/none.jpg\r\n", 4, ""},
      {"unknown message type", "X-MMS-Message-type: m-nothing\r\n", 4, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoreHome home;
    std::string dir = home.path() + "PRIVATE/TEMP/";
    WriteFileText(dir + "W.txt", "Hello");
    WriteFileText(dir + "W/pic.gif", "GIF89a");
    WriteFileText(dir + "W.smil", "<smil/>");
    WriteFileText(dir + "W.hdr", c.header);
    ProcessOptions quiet;
    quiet.stdoutPath = dir + "out.txt";
    quiet.stderrToStdout = true;
    EXPECT_EQ(RunProcess({Packer(), "-q", dir + "W.hdr"}, quiet), c.exit) << ReadFileText(quiet.stdoutPath);
    std::string packed = ReadFileText(dir + "W.MMS");
    if (c.exit != 0) {
      EXPECT_TRUE(packed.empty());
      continue;
    }
    std::string stored;
    ASSERT_TRUE(ParseInboundMMS("", "", std::string_view(packed), &stored));
    EXPECT_EQ(Stored(stored), c.stored);
  }
}

}  // namespace
