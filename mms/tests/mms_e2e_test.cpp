// The real gateway resumes queued notifications at start-up: each is fetched from the
// content server, stored in MMS-IN with its parts, acknowledged to the MMSC as Retrieved,
// announced by the receive callback, and its queue file is gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mms/tests/mms_vectors.h"
#include "mms/tests/recording_mmsc.h"
#include "mms/tests/tshark_check.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/ports.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace {

TEST(MmsGateway, QueuedNotificationsSurviveARestart) {
  std::string mms = RetrieveConfThreeParts();
  ScriptedServer content([&](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: " +
                             std::to_string(mms.size()) + "\r\n\r\n" + mms,
                         true};
  });
  RecordingMmsc mmsc;
  WebGateway gw;
  std::string script = gw.home.path() + "callback.sh";
  WriteFileText(script, "#!/bin/sh\necho \"$1\" >> \"$0.out\"\n");
  chmod(script.c_str(), 0755);
  std::string section = ConnectionSectionName("GSM1");
  gw.Configure({"ReceiveMMSCallback=" + script + " @@Filename@@"},
               "[" + section + "]\r\nMMSURL=http://127.0.0.1:" + std::to_string(mmsc.port()) + "/ack\r\n");
  std::string note = Bytes({0x8C, 0x82}) + "\x98" + Txt("N-7") + Bytes({0x8D, 0x92}) + "\x83" +
                     Txt("http://127.0.0.1:" + std::to_string(content.port()) + "/m/7");
  std::string queue = gw.home.path() + "PRIVATE/MMSINQ/GSM1/";
  for (const char* name : {"00000001.Q", "00000002.Q"})
    WriteFileText(queue + name, "[MMSINQ]\r\nTo=+4970\r\nModemName=GSM1\r\nNotification=" + HexEncode(note) +
                                    "\r\nContentLocation=http://127.0.0.1:" + std::to_string(content.port()) +
                                    "/m/7\r\n");
  GatewayProcess gateway(gw.home);
  ASSERT_TRUE(WaitReady(gateway, gw.port)) << gateway.Output();
  auto headers = [&] {
    std::vector<std::string> out;
    for (const std::string& f : FilesUnder(gw.home.path() + "MMS-IN/"))
      if (f.ends_with(".hdr")) out.push_back(f);
    return out;
  };
  ASSERT_TRUE(WaitUntil(20000, [&] { return headers().size() == 2 && mmsc.Requests().size() == 2; }))
      << gw.home.DebugLog();
  for (const std::string& h : headers()) {
    std::string text = ReadFileText(h);
    EXPECT_TRUE(text.starts_with("Message-type: m-retrieve-conf\r\nTransaction-id: T123\r\nMMS-version: 1.2\r\n"
                                 "To: +4970\r\n"))
        << text;
    std::string id = h.substr(h.size() - 12, 8);
    EXPECT_EQ(ReadFileText(gw.home.path() + "MMS-IN/" + id + "/image.jpg"), Bytes({0xFF, 0xD8, 0xFF, 0xD9}));
  }
  std::string ack = Bytes({0x8C, 0x83}) + "\x98" + Txt("N-7") + Bytes({0x8D, 0x92, 0x95, 0x81, 0x91, 0x80});
  for (const std::string& r : mmsc.Requests()) EXPECT_TRUE(r.ends_with("\r\n\r\n" + ack));
  ASSERT_TRUE(WaitUntil(10000, [&] { return SplitList(ReadFileText(script + ".out"), "\n").size() == 2; }));
  std::vector<std::string> left;
  for (const std::string& f : FilesUnder(queue))
    if (f.ends_with(".Q") || f.ends_with(".BAD")) left.push_back(f);
  EXPECT_TRUE(left.empty());
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code));
  EXPECT_EQ(code, 0);
  EXPECT_NE(access((queue + "MMSINQ.LCK").c_str(), F_OK), 0);  // removed by the ending worker
}

}  // namespace

namespace {

// curl submits an MMS with a text, an upload and a URL part: the real packer builds it, the
// MMS service receives it as localSystem and tshark reads the message; the answer carries the
// service's message id; TEMP/ is empty afterwards. With the service down: 503, nothing made.
TEST(MmsGateway, CurlSubmissionToTheMmsService) {
  RecordingMmsc service("HTTP/1.0 200 OK\r\nMessage-ID: m-77\r\n\r\n");
  ScriptedServer content([](const std::string&, int, int) {
    return ScriptedReply{"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nGIF89a", true};
  });
  WebGateway gw;
  gw.Configure({"RouteMMSViaMMSC=Yes"});
  WriteFileText(gw.home.path() + "MMSC.INI", "[MMSC]\r\nWebPort=" + std::to_string(service.port()) + "\r\n");
  WriteFileText(gw.home.path() + "photo-upload.jpg", "\xFF\xD8\xFF\xD9");
  GatewayProcess gateway(gw.home);
  ASSERT_TRUE(WaitReady(gateway, gw.port)) << gateway.Output();
  std::string base = "http://127.0.0.1:" + std::to_string(gw.port) + "/";
  std::string page = Curl({"-F", "PhoneNumber=+4970", "-F", "MMSText=Hello there", "-F", "MMSSUBJECT=Holiday", "-F",
                           "MMSFile=@" + gw.home.path() + "photo-upload.jpg;filename=photo.jpg", "-F",
                           "MMSFile=http://127.0.0.1:" + std::to_string(content.port()) + "/img/pic.gif", base});
  EXPECT_TRUE(page.ends_with("\n200")) << page;
  EXPECT_NE(page.find("MMSMessageID=m-77"), std::string::npos) << page << gw.home.DebugLog();
  std::vector<std::string> requests;
  for (const std::string& r : service.Requests())
    if (!r.empty()) requests.push_back(r);
  ASSERT_EQ(requests.size(), 1u) << gw.home.DebugLog();
  std::string password = ReadFileText(gw.home.path() + "PRIVATE/LOCALSYSTEM.KEY");
  EXPECT_TRUE(requests[0].starts_with("POST /localSystem=" + std::string(Trim(password)) + " HTTP/1.0\r\n"))
      << requests[0];
  std::string decoded = TsharkDecode(requests[0], gw.home.path());
  if (!decoded.empty()) {
    EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
    for (const char* shown : {"X-Mms-Message-Type: m-send-req (0x80)", "To: +4970/TYPE=PLMN", "Subject: Holiday",
                              "content-type: text/plain", "content-type: image/jpeg", "content-type: image/gif",
                              "content-type: application/smil", "Name: photo.jpg", "Name: pic.gif"})
      EXPECT_NE(decoded.find(shown), std::string::npos) << shown << "\n" << decoded;
  }
  std::vector<std::string> data = FilesUnder(gw.home.path() + "MMSCDATA/");
  EXPECT_EQ(data.size(), 1u);
  EXPECT_TRUE(FilesUnder(gw.home.path() + "PRIVATE/TEMP/").empty());

  // The service down: the answer says so and nothing is written.
  WriteFileText(gw.home.path() + "MMSC.INI", "[MMSC]\r\nWebPort=" + std::to_string(FreeTcpPort()) + "\r\n");
  page = Curl({"-F", "PhoneNumber=+4970", "-F", "MMSText=Again", base});
  EXPECT_NE(page.find("MMS Service Not Active"), std::string::npos) << page;
  EXPECT_EQ(FilesUnder(gw.home.path() + "MMSCDATA/").size(), 1u);
  EXPECT_TRUE(FilesUnder(gw.home.path() + "PRIVATE/TEMP/").empty());
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code));
}

}  // namespace
