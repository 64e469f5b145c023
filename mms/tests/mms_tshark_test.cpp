// The hand-written PDUs checked by another decoder: tshark's MMS dissector reads each one
// carried in an HTTP answer, without a malformed or warning report, and shows its fields.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mms/tests/mms_vectors.h"
#include "mms/tests/tshark_check.h"
#include "runtime/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"

namespace {

TEST(MmsVectorsInTshark, DecodedWithoutComplaint) {
  std::string tshark = FindProgram("", "tshark");
  if (tshark.empty()) GTEST_SKIP() << "tshark not installed";
  struct Case {
    const char* name;
    std::string pdu;
    std::vector<std::string> shown;
  } cases[] = {
      {"retrieve-conf", RetrieveConfThreeParts(),
       {"X-Mms-Message-Type: m-retrieve-conf (0x84)", "X-Mms-Transaction-ID: T123", "X-Mms-MMS-Version: 1.2",
        "From: +4912345/TYPE=PLMN", "To: +4911111/TYPE=PLMN", "To: +4922222/TYPE=PLMN", "Subject: Hello",
        "Part: 1, content-type: application/smil", "Part: 2, content-type: image/jpeg",
        "Part: 3, content-type: text/plain", "Name: image.jpg", "X-Extra: v"}},
      {"notification-ind", NotificationInd(),
       {"X-Mms-Message-Type: m-notification-ind (0x82)", "X-Mms-Transaction-ID: N-42", "X-Mms-MMS-Version: 1.0",
        "X-Mms-Message-Size: 4096", "X-Mms-Content-Location: http://127.0.0.1/mms?id=42"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string http = MmsHttpAnswer(c.pdu);
    WriteFileText(dir.path() + "mms.pcap", PcapOfHttpAnswer(http));
    ProcessOptions options;
    options.stdoutPath = dir.path() + "out.txt";
    options.stderrToStdout = true;
    options.timeoutMs = 120000;
    ASSERT_EQ(RunProcess({tshark, "-r", dir.path() + "mms.pcap", "-d", "tcp.port==8080,http", "-V"}, options), 0);
    std::string out = ReadFileText(options.stdoutPath);
    ASSERT_NE(out.find("MMS Message Encapsulation"), std::string::npos) << out;
    EXPECT_EQ(out.find("Malformed"), std::string::npos) << out;
    EXPECT_EQ(out.find("Expert Info (Warning"), std::string::npos) << out;
    EXPECT_EQ(out.find("Expert Info (Error"), std::string::npos) << out;
    for (const std::string& s : c.shown) EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;
  }
}

}  // namespace
