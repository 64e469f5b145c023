// The real gateway resumes queued notifications at start-up: each is fetched from the
// content server, stored in MMS-IN with its parts, acknowledged to the MMSC as Retrieved,
// announced by the receive callback, and its queue file is gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "mms/tests/mms_vectors.h"
#include "mms/tests/recording_mmsc.h"
#include "mms/tests/tshark_check.h"
#include "outside/qarpeer/tests/node_peer.h"
#include "runtime/dates.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/sped_up_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace {

TEST(MmsGateway, QueuedNotificationsSurviveARestart) {
  std::string mms = RetrieveConfThreeParts();
  ScriptedServer content([&](const std::string&, int, int) {
    return ScriptedReply{MmsHttpAnswer(mms), true};
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
  // The queue file goes after its callback has run.
  auto left = [&] {
    std::vector<std::string> out;
    for (const std::string& f : FilesUnder(queue))
      if (f.ends_with(".Q") || f.ends_with(".BAD")) out.push_back(f);
    return out;
  };
  EXPECT_TRUE(WaitUntil(10000, [&] { return left().empty(); })) << left().size() << " queue files left";
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code));
  EXPECT_EQ(code, 0);
  EXPECT_NE(access((queue + "MMSINQ.LCK").c_str(), F_OK), 0);  // removed by the ending worker
}

// The gateway runs 25 hours ahead (faketime): a notification first tried 25 hours earlier
// expires in its next pass (not fetched, acknowledged as Rejected, left as ".BAD"), while
// one first tried 23 hours earlier is still fetched, stored and acknowledged as Retrieved.
TEST(MmsGateway, TwentyFiveHoursLaterANotificationExpires) {
  // The library itself, not its wrapper program, which would stand between the test and the
  // gateway's exit. Only the calendar moves: waits that end by the steady clock keep their length.
  std::vector<std::string> clock = FakedClockEnv("+25h", false);
  if (clock.empty()) GTEST_SKIP() << "faketime is not installed";
  std::string mms = RetrieveConfThreeParts();
  ScriptedServer content([&](const std::string&, int, int) {
    return ScriptedReply{MmsHttpAnswer(mms), true};
  });
  RecordingMmsc mmsc;
  WebGateway gw;
  gw.Configure({}, "[" + ConnectionSectionName("GSM1") + "]\r\nMMSURL=http://127.0.0.1:" + std::to_string(mmsc.port()) +
                       "/ack\r\n");
  std::string queue = gw.home.path() + "PRIVATE/MMSINQ/GSM1/";
  time_t now = time(nullptr);
  auto queueFile = [&](const std::string& name, const std::string& tid, time_t firstTried) {
    std::string location = "http://127.0.0.1:" + std::to_string(content.port()) + "/m/" + tid;
    std::string note = Bytes({0x8C, 0x82}) + "\x98" + Txt(tid) + Bytes({0x8D, 0x92}) + "\x83" + Txt(location);
    std::string stamp = FormatTimestamp14(firstTried);
    WriteFileText(queue + name, "[MMSINQ]\r\nTo=+4970\r\nModemName=GSM1\r\nNotification=" + HexEncode(note) +
                                    "\r\nContentLocation=" + location + "\r\nFirstAttemptTime=" + stamp +
                                    "\r\nRetryCount=1\r\nLastRetryTime=" + stamp + "\r\n");
  };
  queueFile("00000009.Q", "N-9", now);
  queueFile("00000008.Q", "N-8", now + 2 * 3600);
  GatewayProcess gateway(gw.home, "qargate", {}, clock);
  ASSERT_TRUE(WaitReady(gateway, gw.port)) << gateway.Output();
  ASSERT_TRUE(WaitUntil(60000, [&] {
    return mmsc.Requests().size() == 2 && FileExistsNotDirectory(queue + "00000009.BAD") &&
           !FileExistsNotDirectory(queue + "00000008.Q");
  })) << gw.home.DebugLog();
  auto ack = [](const std::string& tid, uint8_t status) {
    return "\r\n\r\n" + Bytes({0x8C, 0x83}) + "\x98" + Txt(tid) + Bytes({0x8D, 0x92, 0x95, status, 0x91, 0x80});
  };
  size_t retrieved = 0, rejected = 0;
  for (const std::string& r : mmsc.Requests()) {
    retrieved += r.ends_with(ack("N-8", 0x81));
    rejected += r.ends_with(ack("N-9", 0x82));
  }
  EXPECT_EQ(retrieved, 1u);
  EXPECT_EQ(rejected, 1u);
  // Only the live one was fetched, and stored.
  std::vector<std::string> fetched = content.Requests();
  ASSERT_EQ(fetched.size(), 1u);
  EXPECT_TRUE(fetched[0].starts_with("GET /m/N-8 ")) << fetched[0];
  size_t stored = 0;
  for (const std::string& f : FilesUnder(gw.home.path() + "MMS-IN/")) stored += f.ends_with(".hdr");
  EXPECT_EQ(stored, 1u);
  EXPECT_NE(gw.home.DebugLog().find("MMS notification expired: first attempt " + FormatTimestamp14(now)), std::string::npos);
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code)) << gateway.Output();
  EXPECT_EQ(code, 0);
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

// A restricted submission over curl: the rights travel in the message as text XML unless
// DRMRestrictTextXML is off, then as WBXML; the text part is wrapped too.
TEST(MmsGateway, CurlSubmissionWithDrmRightsInEitherForm) {
  RecordingMmsc service("HTTP/1.0 200 OK\r\nMessage-ID: m-78\r\n\r\n");
  WebGateway gw;
  gw.Configure({"RouteMMSViaMMSC=Yes"});
  WriteFileText(gw.home.path() + "MMSC.INI", "[MMSC]\r\nWebPort=" + std::to_string(service.port()) + "\r\n");
  GatewayProcess gateway(gw.home);
  ASSERT_TRUE(WaitReady(gateway, gw.port)) << gateway.Output();
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    const char* rights;
  } cases[] = {
      {"no choice: XML", {}, "application/vnd.oma.drm.rights+xml"},
      {"XML asked for", {"-F", "DRMRestrictTextXML=Yes"}, "application/vnd.oma.drm.rights+xml"},
      {"XML turned off: WBXML", {"-F", "DRMRestrictTextXML=No"}, "application/vnd.oma.drm.rights+wbxml"},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-F", "PhoneNumber=+4970", "-F", "MMSText=Locked", "-F", "DRMRestrict=Yes",
                                     "-F", "DRMPermissionDisplay=Yes", "-F", "DRMConstraintCount=2"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back("http://127.0.0.1:" + std::to_string(gw.port) + "/");
    std::string page = Curl(args);
    EXPECT_NE(page.find("MMSMessageID=m-78"), std::string::npos) << page << gw.home.DebugLog();
    std::vector<std::string> requests;
    for (const std::string& r : service.Requests())
      if (!r.empty()) requests.push_back(r);
    ASSERT_EQ(requests.size(), seen + 1) << gw.home.DebugLog();
    const std::string& message = requests[seen++];
    EXPECT_NE(message.find(std::string("Content-Type: ") + c.rights + "\r\n"), std::string::npos) << message;
    EXPECT_NE(message.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << message;
    EXPECT_NE(message.find("Content-Transfer-Encoding: binary\r\n\r\nLocked\r\n"), std::string::npos) << message;
  }
  EXPECT_TRUE(FilesUnder(gw.home.path() + "PRIVATE/TEMP/").empty());
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code));
}

}  // namespace

namespace {

const std::string kScripts = QARPEER_NODE_SCRIPTS;
const std::string kNpm = QARPEER_NPM_DIR;

// A deliver_sm of the npm centre carrying udh + octets as 8-bit data.
std::string DeliverLine(const std::string& udhHex, const std::string& octets) {
  return "deliver {\"source_addr\":\"447700900555\",\"destination_addr\":\"4970\",\"esm_class\":64,"
         "\"data_coding\":4,\"short_message_hex\":\"" +
         udhHex + HexEncode(octets) + "\"}";
}

// The content server serving RetrieveConfThreeParts() as name from folder: its URL, "" when
// it did not start.
std::string StartContentServer(ChildProcess& content, const TempDir& folder, const std::string& name) {
  WriteFileText(folder.path() + name, RetrieveConfThreeParts());
  std::string line;
  if (!content.Start({"python3", MMS_TEST_SCRIPTS "/content_server.py", folder.path()}) ||
      !content.ReadLine(line, 10000) || !line.starts_with("LISTENING "))
    return {};
  return "http://127.0.0.1:" + line.substr(10) + "/" + name;
}

// The push around a notification for location: mms-message content, mms.ua application.
std::string PushOfNotification(const std::string& transaction, const std::string& location) {
  std::string note = Bytes({0x8C, 0x82}) + "\x98" + Txt(transaction) + Bytes({0x8D, 0x92}) + "\x83" + Txt(location);
  return Bytes({0x01, 0x06, 0x03, 0xBE, 0xAF, 0x84}) + note;
}

// A notification pushed by the centre over SMPP to a connection with ReceiveMMS: its two
// segments (the first one sent twice) are recombined, the push is queued, fetched from the
// content server, stored and acknowledged once; the same notification pushed again whole is
// a duplicate and fetched no more. Every deliver_sm is answered with success.
TEST(MmsGateway, NotificationOverSmppIsFetchedStoredAndAcknowledgedOnce) {
  if (!EnsureNodeSmpp(kNpm)) GTEST_SKIP() << "npm could not install smpp@0.5.1 into " << kNpm;
  TempDir folder;
  ChildProcess content;
  std::string location = StartContentServer(content, folder, "m9.mms");
  ASSERT_FALSE(location.empty());
  std::string line;

  NodePeer smsc;
  ASSERT_TRUE(smsc.Start(kNpm, kScripts + "/smsc_server.js", {"{}"}));
  ASSERT_TRUE(smsc.WaitFor("LISTENING ", line, 10000));
  std::string connection = "SMPP - 127.0.0.1:" + line.substr(10);
  RecordingMmsc mmsc;
  WebGateway gw;
  gw.Configure({"Modem1=" + connection, "ReceiveSMS=Yes", "InitRetryDelay=1"},
               "[" + ConnectionSectionName(connection) + "]\r\nUserName=gw\r\nPassword=secret\r\nReceive=Yes\r\nReceiveSingleConnection=Yes\r\n"
               "ReceiveMMS=Yes\r\n"
               "MMSURL=http://127.0.0.1:" + std::to_string(mmsc.port()) + "/ack\r\n");
  GatewayProcess gateway(gw.home);
  ASSERT_TRUE(WaitReady(gateway, gw.port)) << gateway.Output();
  ASSERT_TRUE(smsc.WaitFor("PDU bind_", line, 20000)) << gateway.Output();

  std::string push = PushOfNotification("N-9", location);
  size_t half = push.size() / 2;
  std::string first = DeliverLine("0B05040B8423F0000337" "0201", push.substr(0, half));
  for (const std::string& d : {first, first, DeliverLine("0B05040B8423F0000337" "0202", push.substr(half))})
    smsc.Send(d);

  auto headers = [&] {
    std::vector<std::string> out;
    for (const std::string& f : FilesUnder(gw.home.path() + "MMS-IN/"))
      if (f.ends_with(".hdr")) out.push_back(f);
    return out;
  };
  ASSERT_TRUE(WaitUntil(30000, [&] { return headers().size() == 1 && mmsc.Requests().size() == 1; }))
      << gw.home.DebugLog();
  smsc.Send(DeliverLine("0605040B8423F0", push));
  ASSERT_TRUE(WaitUntil(20000, [&] {
    return gw.home.DebugLog().find("MMS Notification is a duplicate, discarding...") != std::string::npos;
  })) << gw.home.DebugLog();

  std::string text = ReadFileText(headers()[0]);
  EXPECT_TRUE(text.starts_with("Message-type: m-retrieve-conf\r\nTransaction-id: T123\r\nMMS-version: 1.2\r\n"
                               "To: 4970\r\n"))
      << text;
  std::string id = headers()[0].substr(headers()[0].size() - 12, 8);
  EXPECT_EQ(ReadFileText(gw.home.path() + "MMS-IN/" + id + "/image.jpg"), Bytes({0xFF, 0xD8, 0xFF, 0xD9}));
  std::string ack = Bytes({0x8C, 0x83}) + "\x98" + Txt("N-9") + Bytes({0x8D, 0x92, 0x95, 0x81, 0x91, 0x80});
  ASSERT_EQ(mmsc.Requests().size(), 1u);
  EXPECT_TRUE(mmsc.Requests()[0].ends_with("\r\n\r\n" + ack)) << HexEncode(mmsc.Requests()[0]);
  std::vector<std::string> fetches;
  while (content.ReadLine(line, 500)) fetches.push_back(line);
  EXPECT_EQ(fetches, std::vector<std::string>{"GET /m9.mms"});
  int answered = 0;
  for (const std::string& l : smsc.lines()) answered += l == "DELIVER_RESP 0";
  while (answered < 4 && smsc.ReadLine(line, 5000)) answered += line == "DELIVER_RESP 0";
  EXPECT_EQ(answered, 4);
  for (const std::string& f : FilesUnder(gw.home.path() + "PRIVATE/MMSINQ/"))
    EXPECT_FALSE(f.ends_with(".Q") || f.ends_with(".BAD")) << f;
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code));
  EXPECT_EQ(code, 0);
}

}  // namespace

namespace {

// A notification over IP (UDP port 2948, no connection) is queued in MMSINQ/ itself, fetched
// and stored; nothing is kept in the inbound folder.
TEST(MmsGateway, NotificationOverIpIsFetchedAndStored) {
  if (!UdpPortFree(2948)) GTEST_SKIP() << "UDP port 2948 is in use on this machine";
  TempDir folder;
  ChildProcess content;
  std::string location = StartContentServer(content, folder, "m10.mms");
  ASSERT_FALSE(location.empty());
  WebGateway gw;
  gw.Configure({"ListenMMSNotificationIP=Yes", "ReceiveSMS=Yes", "ReceiveMMS=Yes"});
  GatewayProcess gateway(gw.home);
  ASSERT_TRUE(WaitReady(gateway, gw.port)) << gateway.Output();
  ASSERT_TRUE(gateway.WaitForOutput("Listen for MMS Notifications over IP active", 5000)) << gateway.Output();
  std::string push = PushOfNotification("N-10", location);
  SendLoopbackDatagram(2948, push);
  std::vector<std::string> headers;
  ASSERT_TRUE(WaitUntil(20000, [&] {
    headers.clear();
    for (const std::string& f : FilesUnder(gw.home.path() + "MMS-IN/"))
      if (f.ends_with(".hdr")) headers.push_back(f);
    return headers.size() == 1;
  })) << gw.home.DebugLog();
  EXPECT_TRUE(ReadFileText(headers[0]).starts_with(
      "Message-type: m-retrieve-conf\r\nTransaction-id: T123\r\nMMS-version: 1.2\r\n"))
      << ReadFileText(headers[0]);
  std::string line;
  ASSERT_TRUE(content.ReadLine(line, 5000));
  EXPECT_EQ(line, "GET /m10.mms");
  ASSERT_TRUE(WaitUntil(10000, [&] {
    for (const std::string& f : FilesUnder(gw.home.path() + "PRIVATE/MMSINQ/"))
      if (f.ends_with(".Q")) return false;
    return true;
  }));
  EXPECT_TRUE(FilesUnder(gw.home.path() + "SMS-IN/").empty());
  gateway.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(gateway.WaitExit(30000, code));
  EXPECT_EQ(code, 0);
}

}  // namespace
