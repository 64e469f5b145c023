// End-to-end: the real qargate on a temporary data folder and free ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <regex>
#include <set>

#include "runtime/unique_fd.h"
#include "tests/support/gateway_process.h"
#include "tests/support/ports.h"

namespace fs = std::filesystem;

namespace {
using Gateway = WebGateway;

uint8_t StatusByte(const GatewayHome& home, size_t index) {
  std::string block = ReadFileText(home.path() + "PRIVATE/QAR_QARHUB_ShMem");
  return index < block.size() ? static_cast<uint8_t>(block[index]) : 0xFF;
}

// Names and modification times of every file under dir.
std::set<std::string> Snapshot(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(dir, ec)) {
    out.insert(e.path().string() + "@" + std::to_string(e.last_write_time(ec).time_since_epoch().count()));
  }
  return out;
}
}  // namespace

TEST(GatewayTest, SigtermGivesAnOrderedShutdownAndExitZero) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  EXPECT_EQ(StatusByte(g.home, 1), 1);  // web server started
  EXPECT_EQ(StatusByte(g.home, 2), 0);
  p.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(20000, code)) << p.Output();
  EXPECT_EQ(code, 0);
  std::string out = p.Output();
  size_t initiating = out.find("HandlerRoutine: Initiating shutdown...");
  size_t closing = out.find("main: Shutdown:  Closing log files");
  size_t complete = out.find("Shutdown complete!\n");
  ASSERT_NE(initiating, std::string::npos) << out;
  ASSERT_NE(closing, std::string::npos) << out;
  ASSERT_NE(complete, std::string::npos) << out;
  EXPECT_LT(initiating, closing);
  EXPECT_LT(closing, complete);
  EXPECT_EQ(complete + strlen("Shutdown complete!\n"), out.size());
  std::string log = g.home.DebugLog();
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\d\d:\d\d:\d\d:\d\d\d \[0\] HandlerRoutine:  Initiating shutdown\.\.\.\r\n)")))
      << log;
  EXPECT_FALSE(PortAccepts(g.port));
}

TEST(GatewayTest, SecondInstanceIsRefusedWithoutTouchingAnyQueue) {
  Gateway g;
  g.Configure();
  GatewayProcess first(g.home);
  ASSERT_TRUE(WaitReady(first, g.port)) << first.Output();
  WriteFileText(g.home.path() + "Q/0000ABCD.REQ", "[SMS]\r\nPhoneNumber=1\r\nData=x\r\n");
  WriteFileText(g.home.path() + "SMS-IN/0000ABCE.IN", "[SMS-IN]\r\nSender=1\r\n");
  auto before = Snapshot(g.home.path() + "Q");
  auto beforeIn = Snapshot(g.home.path() + "SMS-IN");
  auto beforeStats = Snapshot(g.home.path() + "PRIVATE/STATS");

  GatewayProcess second(g.home);
  int code = -1;
  ASSERT_TRUE(second.WaitExit(10000, code));
  EXPECT_EQ(code, 255);
  EXPECT_EQ(second.Output(), "Qar SMS/MMS Gateway v2011.01.14 is already active on this workstation.\n");
  EXPECT_EQ(Snapshot(g.home.path() + "Q"), before);
  EXPECT_EQ(Snapshot(g.home.path() + "SMS-IN"), beforeIn);
  EXPECT_EQ(Snapshot(g.home.path() + "PRIVATE/STATS"), beforeStats);
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(StatusByte(g.home, 1), 1);  // the running gateway's block is left alone
}

TEST(GatewayTest, KilledGatewayNeverBlocksTheNextStart) {
  Gateway g;
  g.Configure();
  {
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
    // A stale stop request in the block must not stop the next gateway either.
    int fd = open((g.home.path() + "PRIVATE/QAR_QARHUB_ShMem").c_str(), O_RDWR);
    p.Signal(SIGKILL);
    int code;
    ASSERT_TRUE(p.WaitExit(5000, code));
    EXPECT_EQ(code, 128 + SIGKILL);
    ASSERT_EQ(pwrite(fd, "\x01", 1, 0), 1);
    close(fd);
  }
  GatewayProcess again(g.home);
  ASSERT_TRUE(WaitReady(again, g.port)) << again.Output();
  sleep(2);
  EXPECT_TRUE(again.Running()) << again.Output();
  again.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(again.WaitExit(20000, code));
  EXPECT_EQ(code, 0);
}

TEST(GatewayTest, LargerRestartTriggerStopsItAndASmallerOneDoesNothing) {
  Gateway g;
  g.Configure({"ConfigurationUpdateTriggerRestart=20261201120000"});
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  g.Configure({"ConfigurationUpdateTriggerRestart=20251201120000"});
  sleep(3);
  ASSERT_TRUE(p.Running());
  g.Configure({"ConfigurationUpdateTriggerRestart=20261201120001"});
  auto start = std::chrono::steady_clock::now();
  int code = -1;
  ASSERT_TRUE(p.WaitExit(15000, code)) << p.Output();
  EXPECT_EQ(code, 0);
  EXPECT_NE(p.Output().find("main: Restarting for configuration update"), std::string::npos);
  // About a second to notice it, plus the ordered shutdown.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
}

TEST(GatewayTest, StopRequestInTheStatusBlockStopsIt) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  int fd = open((g.home.path() + "PRIVATE/QAR_QARHUB_ShMem").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  void* map = mmap(nullptr, 512, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  static_cast<volatile uint8_t*>(map)[0] = 1;
  int code = -1;
  ASSERT_TRUE(p.WaitExit(15000, code)) << p.Output();
  EXPECT_EQ(code, 0);
  munmap(map, 512);
  close(fd);
}

// A web port that cannot be opened: status byte 2, the daily alert, then thirty seconds for
// the operator to read it before the exit with -1. A stop ends the thirty seconds.
TEST(GatewayTest, WebPortInUseSetsTheStatusByteAndExits) {
  enum class Stop { None, StatusByte, Signal };
  struct Case {
    const char* how;
    Stop stop;
  };
  for (const Case& c : {Case{"no stop", Stop::None}, Case{"stop byte", Stop::StatusByte}, Case{"SIGTERM", Stop::Signal}}) {
    SCOPED_TRACE(c.how);
    Gateway g;
    UniqueFd blocker = HoldTcpPort(g.port);
    ASSERT_TRUE(blocker.valid());
    g.Configure();
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitUntil(15000, [&] { return StatusByte(g.home, 2) == 1; })) << p.Output();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusByte(g.home, 1), 0);
    EXPECT_NE(p.Output().find("main: Error 98 from socket bind"), std::string::npos) << p.Output();
    EXPECT_TRUE(fs::exists(g.home.path() + "PRIVATE/SOCKET.ERR"));
    if (c.stop == Stop::StatusByte) {
      UniqueFd block(open((g.home.path() + "PRIVATE/QAR_QARHUB_ShMem").c_str(), O_WRONLY));
      uint8_t one = 1;
      ASSERT_EQ(pwrite(block.get(), &one, 1, 0), 1);
    } else if (c.stop == Stop::Signal) {
      p.Signal(SIGTERM);
    }
    int code = -1;
    ASSERT_TRUE(p.WaitExit(45000, code)) << p.Output();
    EXPECT_EQ(code, 255);
    auto waited = std::chrono::steady_clock::now() - start;
    if (c.stop == Stop::None) {
      EXPECT_GT(waited, std::chrono::seconds(25));
    } else {
      EXPECT_LT(waited, std::chrono::seconds(10));
    }
  }
}

TEST(GatewayTest, FatalSignalWritesExceptLogOnceAndExits177) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  p.Signal(SIGSEGV);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(10000, code));
  EXPECT_EQ(code, 177);
  std::string log = ReadFileText(g.home.path() + "PRIVATE/EXCEPT.LOG");
  std::regex entry(R"(Exception occurred in thread #\d+\r\nThread Description:  [^\r\n]*\r\n[A-Z][a-z]+ \d+, \d{4} @ \d\d:\d\d\r\n-------\r\n)");
  EXPECT_TRUE(std::regex_match(log, entry)) << log;
  EXPECT_NE(g.home.DebugLog().find("UnhandledExceptionFilter:  Exception occurred in thread #"), std::string::npos);

  GatewayProcess again(g.home);  // the crash left nothing that blocks a start
  ASSERT_TRUE(WaitReady(again, g.port)) << again.Output();
}

TEST(GatewayTest, ConnectionEnumerationStartsOneWorkerPerTransmitter) {
  Gateway g;
  // TransmitterCount lives in each connection's own section: a modem's has "Modem - " in
  // front, brackets are written escaped.
  g.Configure({"Debug2=Yes", "Modem1=SMPP - 127.0.0.1:1", "Modem3=UCP - 127.0.0.1:2", "Modem150=COM3:",
               "Modem202=CIMD - 127.0.0.1:3", "Modem5=SMPP - [::1]:4"},
              "[SMPP - 127.0.0.1:1]\r\nTransmitterCount=3\r\n[Modem - COM3:]\r\nTransmitterCount=2\r\n"
              "[SMPP - \\x5B::1\\x5D:4]\r\nTransmitterCount=2\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  ASSERT_TRUE(p.WaitForOutput("ThreadProcessInboundSMS: Kind 1", 20000)) << p.Output();
  // Every worker has been started by now; each writes its line when it first runs.
  const std::set<std::string> expected = {"0x10001", "0x20001", "0x30001", "0x10003",
                                          "0x10005", "0x20005", "0x10096", "0x20096"};
  std::string out;
  std::set<std::string> parameters;
  WaitUntil(10000, [&] {
    out = p.Output();
    parameters.clear();
    std::regex line(R"(ThreadProcessModem: Parameter (0x[0-9A-F]+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) parameters.insert((*it)[1]);
    return parameters.size() >= expected.size();
  });
  EXPECT_EQ(parameters, expected) << out;
  EXPECT_NE(out.find("UseRouteCache: Yes"), std::string::npos);  // five transmitters
}

// Worker 0 (EnableLocalRoutingThread or SDKLinkEnabled) delivers to local users without
// any SMS centre, and never fails: what it cannot send stays queued as it was.
TEST(GatewayTest, LocalRoutingWorkerDeliversToLocalUsersAndFailsNothing) {
  struct Case {
    const char* flag;
    const char* extra;
  } cases[] = {
      {"EnableLocalRoutingThread=Yes", ""},
      {"SDKLinkEnabled=Yes", "[SDKLink]\r\n4488=127.0.0.1:9\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag);
    Gateway g;
    g.Configure({c.flag, "InitRetryDelay=1", "InitRetryDelayMax=1"},
                std::string("[Inbound SMS Routing]\r\nbob=4477*\r\n") + c.extra);
    std::string queue = g.home.path() + "Q/";
    fs::create_directories(queue);
    auto drop = [&](const std::string& name, const std::string& body) {
      WriteFileText(queue + ".~" + name + ".tmp", "[SMS]\r\n" + body);
      fs::rename(queue + ".~" + name + ".tmp", queue + name);
    };
    drop("0000AAA1.req", "Data=for the SDK\r\nPhoneNumber=4488\r\n");
    drop("0000AAA2.req", "Data=no route\r\nPhoneNumber=4499\r\n");
    drop("0000AAA3.req", "Data=for bob\r\nPhoneNumber=447700900123\r\n");
    const std::string untouched1 = ReadFileText(queue + "0000AAA1.req");
    const std::string untouched2 = ReadFileText(queue + "0000AAA2.req");
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
    std::vector<std::string> delivered;
    ASSERT_TRUE(WaitUntil(20000, [&] {
      delivered.clear();
      std::error_code ec;
      for (auto& e : fs::recursive_directory_iterator(g.home.path() + "USERS/bob", ec)) {
        if (e.path().extension() == ".req") delivered.push_back(ReadFileText(e.path().string()));
      }
      return !delivered.empty() && !fs::exists(queue + "0000AAA3.req");
    })) << p.Output();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_NE(delivered[0].find("Data=for bob\r\n"), std::string::npos) << delivered[0];
    // A later pass delivers another one; the others are still as they were then, with no
    // retry state.
    drop("0000AAA4.req", "Data=again for bob\r\nPhoneNumber=447700900124\r\n");
    EXPECT_TRUE(WaitUntil(20000, [&] { return !fs::exists(queue + "0000AAA4.req"); })) << p.Output();
    bool sdk = std::string(c.flag).rfind("SDKLink", 0) == 0;
    if (sdk) {
      // The virtual SMSC tried the number's address, where nothing listens: a retry.
      EXPECT_TRUE(WaitUntil(20000, [&] {
        return ReadFileText(queue + "0000AAA1.req").find("[ErrorDetail]\r\nRetryCount=") != std::string::npos;
      })) << ReadFileText(queue + "0000AAA1.req");
      EXPECT_NE(ReadFileText(queue + "0000AAA1.req")
                    .find("LastErrorInfo=HTTPSMSC:  Unable to connect to server 127.0.0.1:9 -- SDKLINK - VirtualSMSC"),
                std::string::npos);
    } else {
      EXPECT_EQ(ReadFileText(queue + "0000AAA1.req"), untouched1);
    }
    EXPECT_EQ(ReadFileText(queue + "0000AAA2.req"), untouched2);
    std::string out = p.Output();
    EXPECT_EQ(out.find("Failure --"), std::string::npos) << out;
    EXPECT_EQ(out.find("Error initializing SMSC Interface"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(g.home.path() + "PRIVATE/SDKLINK - VirtualSMSC.ERR"));
    EXPECT_EQ(out.find("forwarding to the numbers of [SDKLink] is not available"), std::string::npos) << out;
  }
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Typos in [QARHUB] and in a connection section are named once each, with the nearest key,
// in the debug log, on standard error and in the event log (seen here as its alert mails).
TEST(GatewayTest, UnknownKeysAreReportedOnceWithTheNearestName) {
  Gateway g;
  g.Configure({"Debugg=Yes", "Modem1=SMPP - 127.0.0.1:1", "Modem2=SMPP - 127.0.0.1:1", "Qwertyuiop=1",
               "AlertEMailRecip=ops@example.com", "debug2=No"},
              "[SMPP - 127.0.0.1:1]\r\nWindowSise=5\r\nwindowsize=1\r\nRoute3=44\r\nRetryDelay=5\r\n");
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  const std::vector<std::string> expected = {
      "unknown key Debugg in [QARHUB]; did you mean Debug?",
      "unknown key Qwertyuiop in [QARHUB]",
      "unknown key WindowSise in [SMPP - 127.0.0.1:1]; did you mean WindowSize?",
  };
  std::string output = p.Output();
  std::string debugLog = g.home.DebugLog();
  std::string mails;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(g.home.path() + "MMSCOUT", ec)) mails += ReadFileText(e.path().string()) + "\n";
  for (const std::string& line : expected) {
    EXPECT_EQ(CountOf(output, "Settings: " + line + "\n"), 1u) << line << output;
    EXPECT_EQ(CountOf(debugLog, "Settings:  " + line + "\r\n") + CountOf(debugLog, "Settings:  " + line + "\n"), 1u)
        << line << debugLog;
    EXPECT_EQ(CountOf(mails, "\r\n\r\n" + line + "\r\n"), 1u) << line << mails;
  }
  EXPECT_EQ(CountOf(output, "unknown key"), expected.size()) << output;
  EXPECT_EQ(CountOf(debugLog, "unknown key"), expected.size()) << debugLog;
  p.Signal(SIGTERM);
  int code = -1;
  EXPECT_TRUE(p.WaitExit(60000, code));
}

TEST(GatewayTest, SupervisorRestartsTheGatewayAndStopsItOnSigterm) {
  Gateway g;
  g.Configure({"ConfigurationUpdateTriggerRestart=1"});
  GatewayProcess svc(g.home, "qargatesvc", {"--restart-delay", "0"});
  ASSERT_TRUE(WaitReady(svc, g.port)) << svc.Output();
  g.Configure({"ConfigurationUpdateTriggerRestart=2"});
  ASSERT_TRUE(svc.WaitForOutput("qargatesvc: gateway exited with code 0", 15000)) << svc.Output();
  // The trigger stays at 2, so the new gateway runs on.
  ASSERT_TRUE(WaitUntil(20000, [&] {
    std::string out = svc.Output();
    size_t exited = out.find("gateway exited with code 0");
    return out.find("qargatesvc: started", exited) != std::string::npos && PortAccepts(g.port);
  })) << svc.Output();
  svc.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(svc.WaitExit(30000, code)) << svc.Output();
  EXPECT_EQ(code, 0);
  EXPECT_NE(svc.Output().find("Shutdown complete!"), std::string::npos);
  EXPECT_FALSE(PortAccepts(g.port));
}

TEST(GatewayTest, ReceiveMarkersFollowTheAccounts) {
  Gateway g;
  g.Configure();
  for (auto args : std::vector<std::vector<std::string>>{{"add", "alice", "pw", "--receive"}, {"add", "bob", "pw"}}) {
    GatewayProcess tool(g.home, "qaruser", args);
    int code = -1;
    ASSERT_TRUE(tool.WaitExit(10000, code));
    ASSERT_EQ(code, 0) << tool.Output();
  }
  WriteFileText(g.home.path() + "USERS/bob/RECV.FLG", "");  // stale marker
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  EXPECT_TRUE(fs::exists(g.home.path() + "USERS/alice/RECV.FLG"));
  EXPECT_FALSE(fs::exists(g.home.path() + "USERS/bob/RECV.FLG"));
}

TEST(GatewayTest, DamagedMessageIdDatabaseIsRenamedAndRebuilt) {
  Gateway g;
  std::string track = g.home.path() + "TRACK/";
  g.Configure({"Debug2=Yes", "MessageIDTrackingDir=" + track});
  WriteFileText(track + "sub/BAD.DB", std::string(4096, 'x'));
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  // The check runs before the workers start; "Kind 1" is logged by the first of them.
  ASSERT_TRUE(p.WaitForOutput("ThreadProcessInboundSMS: Kind 1", 20000)) << p.Output();
  bool renamed = false;
  for (auto& e : fs::directory_iterator(track + "sub")) {
    std::string name = e.path().filename().string();
    if (std::regex_match(name, std::regex(R"(BAD\.DB\d{14}\.damaged)"))) renamed = true;
  }
  EXPECT_TRUE(renamed);
  EXPECT_NE(p.Output().find("DatabaseIsCorrupt: " + track + "sub/BAD.DB"), std::string::npos) << p.Output();
  if (access("/usr/bin/sqlite3", X_OK) == 0) {
    EXPECT_TRUE(fs::exists(track + "sub/BAD.DB"));  // rebuilt from the dump
    EXPECT_FALSE(fs::exists(track + "sub/BAD.DB.tmp"));
  }
}

namespace {
bool Exec(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A WAL store whose rows "unsaved1" and "unsaved2" of table kept are only in its "-wal" file
// ("saved" is in the main file, which ends with pages of an index).
void MakeStoreWithUnsavedRows(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(Exec(db, "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                       "CREATE TABLE kept(k TEXT PRIMARY KEY); CREATE TABLE filler(x TEXT);"
                       "INSERT INTO kept VALUES('saved');"
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500)"
                       " INSERT INTO filler SELECT hex(randomblob(40)) FROM n;"
                       "CREATE INDEX filler_x ON filler(x);"
                       "PRAGMA wal_checkpoint(TRUNCATE);"
                       "INSERT INTO kept VALUES('unsaved1'), ('unsaved2');"));
  ASSERT_EQ(sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
  ASSERT_GT(fs::file_size(path + "-wal"), 0u);
}

// The same with a garbled index page (the last page, written by the checkpoint).
void MakeDamagedStoreWithUnsavedRows(const std::string& path) {
  ASSERT_NO_FATAL_FAILURE(MakeStoreWithUnsavedRows(path));
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  off_t size = lseek(fd, 0, SEEK_END);
  std::string garbage(1024, '\xA5');
  ASSERT_EQ(pwrite(fd, garbage.data(), garbage.size(), size - 1024), 1024);
  close(fd);
}

std::set<std::string> KeptRows(const std::string& path) {
  std::set<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, "SELECT k FROM kept",
        [](void* out, int, char** values, char**) {
          static_cast<std::set<std::string>*>(out)->insert(values[0] != nullptr ? values[0] : "");
          return 0;
        },
        &rows, nullptr);
  }
  sqlite3_close(db);
  return rows;
}
}  // namespace

TEST(GatewayTest, RepairOfADamagedDatabaseKeepsTheRowsOfItsJournal) {
  if (access("/usr/bin/sqlite3", X_OK) != 0) GTEST_SKIP() << "the sqlite3 program is not installed";
  Gateway g;
  std::string track = g.home.path() + "TRACK/";
  g.Configure({"Debug2=Yes", "MessageIDTrackingDir=" + track});
  std::string bad = track + "sub/BAD.DB";
  MakeDamagedStoreWithUnsavedRows(bad);
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  ASSERT_TRUE(p.WaitForOutput("ThreadProcessInboundSMS: Kind 1", 20000)) << p.Output();
  ASSERT_NE(p.Output().find("DatabaseIsCorrupt: " + bad), std::string::npos) << p.Output();
  EXPECT_EQ(KeptRows(bad), (std::set<std::string>{"saved", "unsaved1", "unsaved2"}));
  EXPECT_FALSE(fs::exists(bad + "-wal")) << "no journal of the damaged file is left beside the new one";
  EXPECT_FALSE(fs::exists(bad + ".tmp"));
}

// On a quiet gateway a store's files keep old times while in use (WAL mode): the start-up
// housekeeping must leave them, and their unsaved rows, while old work files beside them go.
TEST(GatewayTest, HousekeepingLeavesAnOldLookingStoreAndItsJournal) {
  Gateway g;
  std::string track = g.home.path() + "TRACK/";
  g.Configure({"MessageIDTrackingDir=" + track, "SMPPDataRetainDays=15"});
  std::string store = track + "MSGID.DB";
  MakeStoreWithUnsavedRows(store);
  if (!fs::exists(store + "-shm")) WriteFileText(store + "-shm", "");
  WriteFileText(track + "20261101.DAT", "x");
  time_t old = time(nullptr) - 20 * 86400;
  for (const std::string& name : {store, store + "-wal", store + "-shm", track + "20261101.DAT"}) {
    struct timespec times[2] = {{old, 0}, {old, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), times, 0), 0) << name;
  }
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  ASSERT_TRUE(p.WaitForOutput("DeleteFilesOlderThan: " + track + "20261101.DAT", 20000)) << p.Output();
  p.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(p.WaitExit(30000, code)) << p.Output();
  for (const std::string& name : {store, store + "-wal", store + "-shm"}) EXPECT_TRUE(fs::exists(name)) << name;
  EXPECT_EQ(KeptRows(store), (std::set<std::string>{"saved", "unsaved1", "unsaved2"}));
}

TEST(GatewayTest, WapPushDatagramsBecomeInboundFiles) {
  if (!UdpPortFree(2948)) GTEST_SKIP() << "UDP port 2948 is in use on this machine";

  Gateway g;
  g.Configure({"ListenMMSNotificationIP=Yes"});
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  ASSERT_TRUE(p.WaitForOutput("Listen for MMS Notifications over IP active", 5000)) << p.Output();
  std::string huge(4096, 'z');  // 8192 hexadecimal digits: over the Data limit
  SendLoopbackDatagram(2948, huge);
  SendLoopbackDatagram(2948, std::string("\x01\x06\x22\xAB", 4));
  std::vector<std::string> files;
  ASSERT_TRUE(WaitUntil(10000, [&] {
    files.clear();
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(g.home.path() + "SMS-IN", ec)) {
      if (e.is_regular_file()) files.push_back(e.path().string());
    }
    return !files.empty();
  }));
  sleep(1);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileText(files[0]), "[SMS-IN]\r\nSender=IPNotify\r\nUDH=0605040B8423F0\r\nDCS=4\r\nData=010622AB\r\n");
  EXPECT_NE(p.Output().find("Received 4 bytes WAP Push from 127.0.0.1"), std::string::npos);
  EXPECT_NE(p.Output().find("Dropped: 4096 bytes"), std::string::npos);
}

TEST(GatewayTest, FreshStartServesTheStartPage) {
  Gateway g;
  g.Configure();
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string answer = Curl({"http://127.0.0.1:" + std::to_string(g.port) + "/"});
  EXPECT_NE(answer.find("<html"), std::string::npos) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 3), "200");
  EXPECT_TRUE(fs::exists(g.home.path() + "html/default.htm"));
}

TEST(GatewayTest, SslWebPortGetsAGeneratedCertificateAndServes) {
  Gateway g;
  uint16_t sslPort = FreeTcpPort();
  g.Configure({"WebPortSSL=" + std::to_string(sslPort)});
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  ASSERT_TRUE(p.WaitForOutput("SSL Web server started on port number " + std::to_string(sslPort), 10000))
      << p.Output();
  EXPECT_TRUE(fs::exists(g.home.path() + "PRIVATE/SERVER.PEM"));
  std::string answer = Curl({"-k", "https://127.0.0.1:" + std::to_string(sslPort) + "/"});
  EXPECT_EQ(answer.substr(answer.size() - 3), "200") << answer;
  EXPECT_NE(answer.find("<html"), std::string::npos);
}

// Without IPAddress the listeners take both families: curl -6 and -4 reach the web ports,
// and the SMPP server port accepts over IPv6.
TEST(GatewayTest, ListenersTakeIpv6AndIpv4) {
  if (!HostHasIpv6()) GTEST_SKIP() << "this host has no IPv6";
  Gateway g;
  uint16_t sslPort = FreeTcpPort(), smppPort = FreeTcpPort();
  g.Configure({"WebPortSSL=" + std::to_string(sslPort), "SMPPPort=" + std::to_string(smppPort)});
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  ASSERT_TRUE(p.WaitForOutput("SSL Web server started on port number", 10000)) << p.Output();
  struct Case {
    std::vector<std::string> args;
  } cases[] = {
      {{"-6", "http://[::1]:" + std::to_string(g.port) + "/"}},
      {{"-4", "http://127.0.0.1:" + std::to_string(g.port) + "/"}},
      {{"-6", "-k", "https://[::1]:" + std::to_string(sslPort) + "/"}},
      {{"-4", "-k", "https://127.0.0.1:" + std::to_string(sslPort) + "/"}},
  };
  for (const Case& c : cases) {
    std::string answer = Curl(c.args);
    ASSERT_GE(answer.size(), 3u) << c.args.back();
    EXPECT_EQ(answer.substr(answer.size() - 3), "200") << c.args.back() << "\n" << answer;
    EXPECT_NE(answer.find("<html"), std::string::npos) << c.args.back();
  }
  // IPv4 clients are still known by their dotted address.
  EXPECT_NE(g.home.DebugLog().find("Processing connection from ::1:"), std::string::npos);
  EXPECT_NE(g.home.DebugLog().find("Processing connection from 127.0.0.1:"), std::string::npos);
  ASSERT_TRUE(p.WaitForOutput("SMPP server started on port number", 10000)) << p.Output();
  EXPECT_TRUE(Ipv6LoopbackAccepts(smppPort));
  EXPECT_TRUE(PortAccepts(smppPort));
}

TEST(GatewayTest, HttpSubmissionLeavesAMessageFileInTheQueue) {
  Gateway g;
  g.Configure();
  GatewayProcess tool(g.home, "qaruser", {"add", "admin", "admin"});
  int code = -1;
  ASSERT_TRUE(tool.WaitExit(10000, code));
  GatewayProcess p(g.home);
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  std::string base = "http://127.0.0.1:" + std::to_string(g.port) + "/";
  std::string answer = Curl({base + "?PhoneNumber=%2B4477001234&Text=Hello%20%E2%82%AC&User=admin&Password=admin"});
  std::smatch id;
  ASSERT_TRUE(std::regex_search(answer, id, std::regex("MessageID=([0-9A-F]{8}), Recipient=\\+4477001234"))) << answer;
  std::vector<std::string> files;
  for (auto& e : fs::recursive_directory_iterator(g.home.path() + "Q")) {
    if (e.is_regular_file()) files.push_back(e.path().string());
  }
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::path(files[0]).filename().string(), id[1].str() + ".req");
  std::string file = ReadFileText(files[0]);
  EXPECT_NE(file.find("PhoneNumber=+4477001234\r\n"), std::string::npos) << file;
  EXPECT_NE(file.find("Data=Hello \xE2\x82\xAC\r\n"), std::string::npos) << file;

  std::string refused = Curl({base + "?PhoneNumber=abc&Text=x"});
  EXPECT_NE(refused.find("Invalid format for telephone number."), std::string::npos) << refused;
}
