// Retrieval after a notification, seen from outside: the queue files in MMSINQ/, the request
// to the content server, the acknowledgement the MMSC receives (byte for byte), the stored
// message, retries, expiry and the ".BAD" ending; and the push hand-over for port 2948.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mms/mms_data_call.h"
#include "mms/mms_inbound.h"
#include "mms/mms_retrieval.h"
#include "mms/tests/mms_vectors.h"
#include "mms/tests/recording_mmsc.h"
#include "outside/qarvault/qarvault.h"
#include "runtime/dates.h"
#include "runtime/debug_log.h"
#include "runtime/file_io.h"
#include "runtime/hex_text.h"
#include "runtime/text_helpers.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "store/tests/store_home.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_files.h"
#include "tests/support/test_servers.h"

namespace {

const char* const kModem = "GSM1";

std::string Notification(uint16_t contentPort, bool withTransaction = true) {
  std::string pdu = Bytes({0x8C, 0x82});
  if (withTransaction) pdu += "\x98" + Txt("N-42");
  return pdu + Bytes({0x8D, 0x92, 0x8E, 0x02, 0x10, 0x00}) + "\x83" +
         Txt("http://127.0.0.1:" + std::to_string(contentPort) + "/mms?id=42");
}

std::string Ack(uint16_t mmscPort, std::string_view pdu) {
  return "POST /ack HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-length: " + std::to_string(pdu.size()) +
         "\r\nContent-type: application/vnd.wap.mms-message\r\nAccept: application/vnd.wap.mms-message\r\n\r\n" +
         std::string(pdu);
}

std::string QueueText(std::string_view notification, std::string_view location, std::string_view extra = "") {
  return "[MMSINQ]\r\nTo=+4970\r\nModemName=GSM1\r\nNotification=" + HexEncode(notification) +
         "\r\nContentLocation=" + std::string(location) + "\r\n" + std::string(extra);
}

// The MMSC address in the section of the connection "GSM1".
std::string Ini(uint16_t mmscPort) {
  return "[QARHUB]\r\n[" + ConnectionSectionName(kModem) + "]\r\nMMSURL=http://127.0.0.1:" + std::to_string(mmscPort) +
         "/ack\r\n";
}

// Workers started by a hand-over end with the test.
void StopWorkers() {
  AnnounceShutdown();
  WaitForServiceThreads();
  ShutdownRequested.store(0);
}

std::string Location(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/mms?id=42"; }

ScriptedReply Answer(const std::string& status, const std::string& type, const std::string& body) {
  std::string head = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (!type.empty()) head += "Content-Type: " + type + "\r\n";
  return ScriptedReply{head + "\r\n" + body, true};
}

TEST(MmsRetrieval, OutcomesOfOneFetch) {
  const std::string mms = RetrieveConfThreeParts();
  struct Case {
    const char* name;
    ScriptedReply reply;
    bool brokenStore;
    const char* left;        // extension of the queue file afterwards, "" when deleted
    const char* ackStatus;   // "\x81" Retrieved, "\x82" Rejected, nullptr: none sent
    size_t stored;           // header files in MMS-IN
  } cases[] = {
      {"retrieved", Answer("200 OK", "application/vnd.wap.mms-message", mms), false, "", "\x81", 1},
      {"404 is permanent", Answer("404 Not Found", "text/html", "gone"), false, ".BAD", "\x82", 0},
      {"503 is permanent", Answer("503 Busy", "text/html", "busy"), false, ".BAD", "\x82", 0},
      {"wrong type is permanent", Answer("200 OK", "text/html", "<html/>"), false, ".BAD", "\x82", 0},
      {"closed without answer is temporary", ScriptedReply{"", true}, false, ".Q", nullptr, 0},
      {"store failure is permanent", Answer("200 OK", "application/vnd.wap.mms-message", mms), true, ".BAD", "\x82",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer content([&](const std::string&, int, int) { return c.reply; });
    RecordingMmsc mmsc;
    StoreHome home(Ini(mmsc.port()));
    if (c.brokenStore) WriteFileText(home.path() + "MMS-IN", "a file where the folder should be");
    std::string note = Notification(content.port());
    std::string dir = home.path() + "PRIVATE/MMSINQ/GSM1/";
    WriteFileText(dir + "0000ABCD.Q", QueueText(note, Location(content.port())));
    time_t now = 1765000000;
    EXPECT_EQ(ProcessMmsQueuePass(dir, now), std::string(c.left) == ".Q" ? 0u : 1u);
    std::vector<std::string> left = FilesUnder(dir);
    if (*c.left) {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ(left[0], dir + "0000ABCD" + c.left);
    } else {
      EXPECT_TRUE(left.empty());
    }
    ASSERT_EQ(content.Requests().size(), 1u);
    EXPECT_TRUE(content.Requests()[0].starts_with("GET /mms?id=42 HTTP/1.1\r\n"));
    std::vector<std::string> acks = mmsc.Requests();
    if (c.ackStatus) {
      ASSERT_EQ(acks.size(), 1u);
      std::string pdu = Bytes({0x8C, 0x83}) + "\x98" + Txt("N-42") + Bytes({0x8D, 0x92}) + "\x95" + c.ackStatus +
                        Bytes({0x91, 0x80});
      EXPECT_EQ(acks[0], Ack(mmsc.port(), pdu));
    } else {
      EXPECT_TRUE(acks.empty());
      std::string text = ReadFileText(dir + "0000ABCD.Q");
      std::string stamp = FormatTimestamp14(now);
      EXPECT_TRUE(text.ends_with("FirstAttemptTime=" + stamp + "\r\nRetryCount=1\r\nLastRetryTime=" + stamp + "\r\n"))
          << text;
    }
    size_t headers = 0;
    for (const std::string& f : FilesUnder(home.path() + "MMS-IN/"))
      if (f.ends_with(".hdr")) {
        ++headers;
        EXPECT_NE(ReadFileText(f).find("To: +4970\r\n"), std::string::npos);
      }
    EXPECT_EQ(headers, c.stored);
  }
}

TEST(MmsRetrieval, RetriesAndExpiry) {
  time_t now = 1765000000;
  struct Case {
    const char* name;
    std::string extra;
    bool fetched;
    const char* left;
    std::string tail;  // the queue file's end afterwards
  } cases[] = {
      {"retry 3, two minutes ago: skipped",
       "FirstAttemptTime=" + FormatTimestamp14(now - 600) + "\r\nRetryCount=3\r\nLastRetryTime=" +
           FormatTimestamp14(now - 120) + "\r\n",
       false, ".Q", "RetryCount=3\r\nLastRetryTime=" + FormatTimestamp14(now - 120) + "\r\n"},
      {"retry 3, four minutes ago: fetched again, count rewritten",
       "FirstAttemptTime=" + FormatTimestamp14(now - 600) + "\r\nRetryCount=3\r\nLastRetryTime=" +
           FormatTimestamp14(now - 240) + "\r\n",
       true, ".Q",
       "FirstAttemptTime=" + FormatTimestamp14(now - 600) + "\r\nRetryCount=4\r\nLastRetryTime=" +
           FormatTimestamp14(now) + "\r\n"},
      {"retry 20 waits at most 15 minutes",
       "FirstAttemptTime=" + FormatTimestamp14(now - 7200) + "\r\nRetryCount=20\r\nLastRetryTime=" +
           FormatTimestamp14(now - 16 * 60) + "\r\n",
       true, ".Q", "RetryCount=21\r\nLastRetryTime=" + FormatTimestamp14(now) + "\r\n"},
      {"first attempt 25 hours ago: given up",
       "FirstAttemptTime=" + FormatTimestamp14(now - 25 * 3600) + "\r\nRetryCount=30\r\nLastRetryTime=" +
           FormatTimestamp14(now - 3600) + "\r\n",
       false, ".BAD", "RetryCount=30\r\nLastRetryTime=" + FormatTimestamp14(now - 3600) + "\r\n"},
      {"unreadable first attempt never expires",
       "FirstAttemptTime=yesterday\r\nRetryCount=30\r\nLastRetryTime=" + FormatTimestamp14(now - 3600) + "\r\n",
       true, ".Q", "RetryCount=31\r\nLastRetryTime=" + FormatTimestamp14(now) + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer content([](const std::string&, int, int) { return ScriptedReply{"", true}; });
    RecordingMmsc mmsc;
    StoreHome home(Ini(mmsc.port()));
    std::string dir = home.path() + "PRIVATE/MMSINQ/GSM1/";
    std::string note = Notification(content.port(), false);
    WriteFileText(dir + "0000ABCD.Q", QueueText(note, Location(content.port()), c.extra));
    ProcessMmsQueuePass(dir, now);
    EXPECT_EQ(content.Requests().size(), c.fetched ? 1u : 0u);
    std::vector<std::string> left = FilesUnder(dir);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], dir + "0000ABCD" + c.left);
    EXPECT_TRUE(ReadFileText(left[0]).ends_with(c.tail)) << ReadFileText(left[0]);
    if (std::string(c.left) == ".BAD") {
      ASSERT_EQ(mmsc.Requests().size(), 1u);  // rejected, with the transaction id "unknown"
      std::string pdu = Bytes({0x8C, 0x83}) + "\x98" + Txt("unknown") + Bytes({0x8D, 0x92, 0x95, 0x82, 0x91, 0x80});
      EXPECT_EQ(mmsc.Requests()[0], Ack(mmsc.port(), pdu));
    } else {
      EXPECT_TRUE(mmsc.Requests().empty());
    }
  }
}

// Only a modem some connection fetches its MMS over is shared with MMS retrieval; the
// settings are read as they stand.
TEST(MmsDataCall, OnlyModemsNamedForDataCallsAreShared) {
  ASSERT_TRUE(QardialPresent());
  struct Case {
    const char* name;
    std::string sections;
    bool gsm1, gsm2;
  } cases[] = {
      {"no data call", "[" + ConnectionSectionName("GSM1") + "]\r\nMMSURL=http://x/\r\n", false, false},
      {"data call over its own modem", "[" + ConnectionSectionName("GSM1") + "]\r\nUseDial=Yes\r\nWAPGatewayIP=http:1.2.3.4:80\r\n",
       true, false},
      {"data call over another modem, any case",
       "[" + ConnectionSectionName("GSM1") + "]\r\nUseDial=Yes\r\nDialUpProfile=mms\r\nUseModem= gsm2 \r\n", false, true},
      {"UseDial without profile or gateway", "[" + ConnectionSectionName("GSM1") + "]\r\nUseDial=Yes\r\nUseModem=GSM2\r\n", false,
       false},
      {"UseDial off", "[" + ConnectionSectionName("GSM2") + "]\r\nUseDial=No\r\nWAPGatewayIP=http:1.2.3.4:80\r\n", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoreHome home("[QARHUB]\r\nModem1=GSM1\r\nModem2=GSM2\r\n" + c.sections);
    EXPECT_EQ(MmsDataCallWantsModem("GSM1"), c.gsm1);
    EXPECT_EQ(MmsDataCallWantsModem("GSM2"), c.gsm2);
    EXPECT_FALSE(MmsDataCallWantsModem("GSM3"));
    EXPECT_FALSE(MmsDataCallWantsModem(""));
  }
}

TEST(MmsRetrieval, OverTheDataCallThroughTheWapGatewayProxy) {
  TempDir dir;
  TinyProxy proxy(dir.path());
  if (proxy.port() == 0) GTEST_SKIP() << "tinyproxy not installed";
  const std::string mms = RetrieveConfThreeParts();
  ScriptedServer content([&](const std::string&, int, int) {
    return Answer("200 OK", "application/vnd.wap.mms-message", mms);
  });
  struct Case {
    const char* name;
    std::string gateway;
    const char* left;
    bool acked;
  } cases[] = {
      {"fetched through the proxy", "http:127.0.0.1:" + std::to_string(proxy.port()), "", true},
      {"gateway not answering: retried", "http:127.0.0.1:" + std::to_string(FreeTcpPort()), ".Q", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMmsc mmsc;
    StoreHome home(Ini(mmsc.port()) + "UseDial=Yes\r\nDialUpProfile=mms\r\nWAPGatewayIP=" + c.gateway + "\r\n");
    WriteFileText(home.path() + "MMSC.INI", "[MMSC]\r\nHeaderUserAgent=QarTest/1\r\n");
    std::string note = Notification(content.port());
    std::string queue = home.path() + "PRIVATE/MMSINQ/GSM1/";
    WriteFileText(queue + "0000ABCD.Q", QueueText(note, Location(content.port())));
    ProcessMmsQueuePass(queue, 1765000000);
    std::vector<std::string> left = FilesUnder(queue);
    if (*c.left) {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_TRUE(left[0].ends_with(c.left));
    } else {
      EXPECT_TRUE(left.empty());
    }
    size_t stored = 0;
    for (const std::string& f : FilesUnder(home.path() + "MMS-IN/")) stored += f.ends_with(".hdr");
    EXPECT_EQ(stored, c.acked ? 1u : 0u);
    std::vector<std::string> acks = mmsc.Requests();
    if (c.acked) {
      ASSERT_EQ(acks.size(), 1u);
      EXPECT_TRUE(acks[0].starts_with("POST /ack HTTP/1.")) << acks[0];
      EXPECT_NE(acks[0].find("User-Agent: QarTest/1\r\n"), std::string::npos) << acks[0];
      EXPECT_TRUE(acks[0].ends_with("\r\n\r\n" + Bytes({0x8C, 0x83}) + "\x98" + Txt("N-42") +
                                    Bytes({0x8D, 0x92, 0x95, 0x81, 0x91, 0x80})));
      ASSERT_FALSE(content.Requests().empty());
      EXPECT_NE(content.Requests().back().find("User-Agent: QarTest/1\r\n"), std::string::npos);
    } else {
      EXPECT_TRUE(acks.empty());
    }
  }
}

std::string Push(std::string_view contentType, std::string_view body) {
  return Bytes({0x01, 0x06}) + Uintvar(static_cast<uint32_t>(contentType.size())) + std::string(contentType) +
         std::string(body);
}

TEST(MmsPushHandOver, QueuesStoresOrLeaves) {
  StoreHome home("[QARHUB]\r\nDebug=Yes\r\n");
  std::string note = Notification(8080);
  std::string queue = home.path() + "PRIVATE/MMSINQ/SMPP - 127.0.0.1-2775/";
  // The folders' locks are held here, so the workers the hand-over starts end at once and
  // leave the queue files as queued.
  std::vector<UniqueFd> locks;
  for (const std::string& dir : {queue, home.path() + "PRIVATE/MMSINQ/"}) {
    WriteFileText(dir + "MMSINQ.LCK", "");
    locks.emplace_back(open((dir + "MMSINQ.LCK").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(flock(locks.back().get(), LOCK_EX | LOCK_NB), 0);
  }
  // A notification: queued whole, then a duplicate of it discarded.
  ASSERT_TRUE(ReceiveMMSPush("SMPP - 127.0.0.1:2775", "+4970", Push("\xBE", note)));
  std::vector<std::string> files;
  for (const std::string& f : FilesUnder(queue))
    if (f.ends_with(".Q")) files.push_back(f);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileText(files[0]), "[MMSINQ]\r\nTo=+4970\r\nModemName=SMPP - 127.0.0.1:2775\r\nNotification=" +
                                        HexEncode(note) + "\r\nContentLocation=http://127.0.0.1:8080/mms?id=42\r\n");
  EXPECT_EQ(MMSNotificationExist("SMPP - 127.0.0.1:2775", "http://127.0.0.1:8080/mms?id=42"), 1);
  EXPECT_TRUE(ReceiveMMSPush("SMPP - 127.0.0.1:2775", "+4970", Push("\xBE", note)));
  EXPECT_EQ(FilesUnder(queue).size(), 2u);  // the notification and the lock
  // No connection (the UDP receiver): MMSINQ/ itself.
  ASSERT_TRUE(ReceiveMMSPush("", "", Push(Txt("application/vnd.wap.mms-message"), Notification(8081))));
  size_t rootFiles = 0;
  for (const std::string& f : FilesUnder(home.path() + "PRIVATE/MMSINQ/"))
    if (f.find("/MMSINQ/SMPP") == std::string::npos && f.ends_with(".Q")) ++rootFiles;
  EXPECT_EQ(rootFiles, 1u);
  // A whole message in the push is stored; when it cannot be, the message stays.
  ASSERT_TRUE(ReceiveMMSPush("X", "+4971", Push("\xBE", RetrieveConfThreeParts())));
  size_t stored = 0;
  for (const std::string& f : FilesUnder(home.path() + "MMS-IN/")) stored += f.ends_with(".hdr");
  EXPECT_EQ(stored, 1u);
  // Not ours, or nothing in it: handled, nothing written.
  EXPECT_TRUE(ReceiveMMSPush("X", "+4971", Push("\xAE", "<si/>")));
  EXPECT_TRUE(ReceiveMMSPush("X", "+4971", Push("\xBE", "")));
  EXPECT_TRUE(ReceiveMMSPush("X", "+4971", Bytes({0x01})));
  StopWorkers();
}

TEST(MmsPushHandOver, MessageThatCannotBeStoredStays) {
  StoreHome home;
  WriteFileText(home.path() + "MMS-IN", "a file where the folder should be");
  EXPECT_FALSE(ReceiveMMSPush("X", "+4971", Push("\xBE", RetrieveConfThreeParts())));
}

TEST(MmsWorkers, TwoStartsGiveOneThread) {
  StopWorkers();
  StoreHome home;
  int32_t before = ActiveThreadCount();
  StartInboundMMSWorker(kModem);
  StartInboundMMSWorker(kModem);
  StartInboundMMSWorker("GSM2");
  EXPECT_EQ(ActiveThreadCount(), before + 2);
  std::string lock = home.path() + "PRIVATE/MMSINQ/GSM1/MMSINQ.LCK";
  StopWorkers();
  EXPECT_EQ(ActiveThreadCount(), before);
  EXPECT_FALSE(FileExistsNotDirectory(lock));  // removed when the worker ended
}


// A worker passing over notifications that are not yet due again writes its scan lines once,
// not on every pass: three passes (each records a new notification's retry) give one pair.
TEST(MmsWorkers, ScanLinesAreNotRepeatedEveryPass) {
  StopWorkers();
  StoreHome home;
  std::string logs = home.path() + "debug/";
  WriteFileText(logs + "keep", "");
  SetDebugLogDirectory(logs);
  DebugSettings.Debug = true;
  std::string queue = home.path() + "PRIVATE/MMSINQ/GSM1/";
  uint16_t refused = FreeTcpPort();
  for (const char* name : {"0000000A.Q", "0000000B.Q", "0000000C.Q"}) {
    SCOPED_TRACE(name);
    WriteFileText(queue + name, QueueText(Notification(refused), Location(refused) + "&" + name));
    StartInboundMMSWorker(kModem);  // the first start, then wake-ups
    EXPECT_TRUE(WaitUntil(120000, [&] { return ReadFileText(queue + name).find("RetryCount=1\r\n") != std::string::npos; }))
        << ReadFileText(queue + name);
  }
  StopWorkers();
  DebugSettings.Debug = false;
  std::string debug = ReadFileText(logs + "SMSDEBUG.LOG");
  SetDebugLogDirectory("");
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = debug.find(text); at != std::string::npos; at = debug.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Begin scan loop\r\n"), 1u) << debug;
  EXPECT_EQ(count("End scan loop\r\n"), 1u) << debug;
}

}  // namespace
