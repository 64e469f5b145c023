// qarledger loaded as the gateway loads it: by name, every entry point bound by its
// export name.
#include <dlfcn.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/qarvault.h"
#include "tests/support/data_folder.h"
#include "tests/support/gateway_process.h"

namespace {

struct Ledger {
  void* handle = nullptr;
#define QAR_ENTRY(name) name##_t name = nullptr;
  QAR_ENTRY(sqlSMSCMessageIdGet2)
  QAR_ENTRY(sqlSMSCMessageIdAdd)
  QAR_ENTRY(sqlMMSCMigrateUserDB)
  QAR_ENTRY(sqlMMSCFindUserRecord)
  QAR_ENTRY(sqlMMSCFindAlias)
  QAR_ENTRY(sqlMMSCGetUserCount)
  QAR_ENTRY(sqlMMSCGetUserRecord)
  QAR_ENTRY(sqlMMSCDeleteUser)
  QAR_ENTRY(sqlMMSCAddUser)
  QAR_ENTRY(sqlMMSCAddOrModifyUser)
  QAR_ENTRY(sqlMMSCFindUserRecordNumber)
  QAR_ENTRY(sqlMMSCOpenUserDB)
  QAR_ENTRY(sqlMMSCCloseUserDB)
  QAR_ENTRY(sqlMMSLocalIDGet)
  QAR_ENTRY(sqlMMSLocalIDAdd)
  QAR_ENTRY(sqlMMSRemoteIDGet)
  QAR_ENTRY(sqlMMSRemoteIDAdd)
  QAR_ENTRY(sqlSMSCMessageIdCloseAll)
  QAR_ENTRY(sqlSMSCMessageIdAddBegin)
  QAR_ENTRY(sqlSMSCMessageIdAddEnd)
  QAR_ENTRY(sqlSMSCMessageIdYield)
  QAR_ENTRY(sqlShortURLAdd)
  QAR_ENTRY(sqlShortURLGet)
  QAR_ENTRY(sqlShortURLCleanUp)
  QAR_ENTRY(sqlTestDatabaseOK)
  QAR_ENTRY(sqlSARIDGet)
  QAR_ENTRY(sqlSARIDAdd)
#undef QAR_ENTRY
};

const Ledger& TheLedger() {
  static Ledger ledger = [] {
    Ledger l;
    l.handle = ::dlopen((BinDirectory() + "libqarledger.so").c_str(), RTLD_NOW);
    if (l.handle == nullptr) return l;
#define QAR_BIND(name) l.name = reinterpret_cast<name##_t>(::dlsym(l.handle, #name));
    QAR_BIND(sqlSMSCMessageIdGet2)
    QAR_BIND(sqlSMSCMessageIdAdd)
    QAR_BIND(sqlMMSCMigrateUserDB)
    QAR_BIND(sqlMMSCFindUserRecord)
    QAR_BIND(sqlMMSCFindAlias)
    QAR_BIND(sqlMMSCGetUserCount)
    QAR_BIND(sqlMMSCGetUserRecord)
    QAR_BIND(sqlMMSCDeleteUser)
    QAR_BIND(sqlMMSCAddUser)
    QAR_BIND(sqlMMSCAddOrModifyUser)
    QAR_BIND(sqlMMSCFindUserRecordNumber)
    QAR_BIND(sqlMMSCOpenUserDB)
    QAR_BIND(sqlMMSCCloseUserDB)
    QAR_BIND(sqlMMSLocalIDGet)
    QAR_BIND(sqlMMSLocalIDAdd)
    QAR_BIND(sqlMMSRemoteIDGet)
    QAR_BIND(sqlMMSRemoteIDAdd)
    QAR_BIND(sqlSMSCMessageIdCloseAll)
    QAR_BIND(sqlSMSCMessageIdAddBegin)
    QAR_BIND(sqlSMSCMessageIdAddEnd)
    QAR_BIND(sqlSMSCMessageIdYield)
    QAR_BIND(sqlShortURLAdd)
    QAR_BIND(sqlShortURLGet)
    QAR_BIND(sqlShortURLCleanUp)
    QAR_BIND(sqlTestDatabaseOK)
    QAR_BIND(sqlSARIDGet)
    QAR_BIND(sqlSARIDAdd)
#undef QAR_BIND
    return l;
  }();
  return ledger;
}

class LedgerTest : public DataFolderTest {
 protected:
  void SetUp() override {
    DataFolderTest::SetUp();
    ASSERT_NE(L.handle, nullptr) << ::dlerror();
  }
  void TearDown() override {
    if (L.sqlSMSCMessageIdCloseAll != nullptr) L.sqlSMSCMessageIdCloseAll();
    DataFolderTest::TearDown();
  }
  const Ledger& L = TheLedger();
};

// Writes a database of several pages without a WAL, so that the file alone holds it.
void MakeDatabase(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT);"
                         "CREATE INDEX t_v ON t(v);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < rows; ++i) {
    std::string sql = "INSERT INTO t(v) VALUES('" + std::string(100, 'a' + i % 26) +
                      std::to_string(i) + "')";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

TEST_F(LedgerTest, ExportsEveryEntryPoint) {
  const void* const entries[] = {
      reinterpret_cast<const void*>(L.sqlSMSCMessageIdGet2),
      reinterpret_cast<const void*>(L.sqlSMSCMessageIdAdd),
      reinterpret_cast<const void*>(L.sqlMMSCMigrateUserDB),
      reinterpret_cast<const void*>(L.sqlMMSCFindUserRecord),
      reinterpret_cast<const void*>(L.sqlMMSCFindAlias),
      reinterpret_cast<const void*>(L.sqlMMSCGetUserCount),
      reinterpret_cast<const void*>(L.sqlMMSCGetUserRecord),
      reinterpret_cast<const void*>(L.sqlMMSCDeleteUser),
      reinterpret_cast<const void*>(L.sqlMMSCAddUser),
      reinterpret_cast<const void*>(L.sqlMMSCAddOrModifyUser),
      reinterpret_cast<const void*>(L.sqlMMSCFindUserRecordNumber),
      reinterpret_cast<const void*>(L.sqlMMSCOpenUserDB),
      reinterpret_cast<const void*>(L.sqlMMSCCloseUserDB),
      reinterpret_cast<const void*>(L.sqlMMSLocalIDGet),
      reinterpret_cast<const void*>(L.sqlMMSLocalIDAdd),
      reinterpret_cast<const void*>(L.sqlMMSRemoteIDGet),
      reinterpret_cast<const void*>(L.sqlMMSRemoteIDAdd),
      reinterpret_cast<const void*>(L.sqlSMSCMessageIdCloseAll),
      reinterpret_cast<const void*>(L.sqlSMSCMessageIdAddBegin),
      reinterpret_cast<const void*>(L.sqlSMSCMessageIdAddEnd),
      reinterpret_cast<const void*>(L.sqlSMSCMessageIdYield),
      reinterpret_cast<const void*>(L.sqlShortURLAdd),
      reinterpret_cast<const void*>(L.sqlShortURLGet),
      reinterpret_cast<const void*>(L.sqlShortURLCleanUp),
      reinterpret_cast<const void*>(L.sqlTestDatabaseOK),
      reinterpret_cast<const void*>(L.sqlSARIDGet),
      reinterpret_cast<const void*>(L.sqlSARIDAdd),
  };
  for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
    EXPECT_NE(entries[i], nullptr) << "entry " << i;
  }
}

TEST_F(LedgerTest, MessageIdsShareQarvaultsStore) {
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("SMPP - h:1", "smsc-7", "QAR1", "alice", "S", "R"), 1);
  char m[QARLEDGER_FIELD_SIZE], u[QARLEDGER_FIELD_SIZE], s[QARLEDGER_FIELD_SIZE],
      r[QARLEDGER_FIELD_SIZE];
  int64_t t = 0;
  ASSERT_EQ(L.sqlSMSCMessageIdGet2("SMPP - h:1", "smsc-7", m, u, s, r, &t), 1);
  EXPECT_STREQ(m, "QAR1");
  EXPECT_STREQ(u, "alice");
  EXPECT_STREQ(s, "S");
  EXPECT_STREQ(r, "R");
  EXPECT_NEAR(static_cast<double>(t), static_cast<double>(std::time(nullptr)), 5.0);
  EXPECT_EQ(SMSCMessageIdGet("SMPP - h:1", "smsc-7", m, u, s, r), 1);
  ASSERT_EQ(SMSCMessageIdAdd("HTTP", "h-1", "QAR2", "bob", "", ""), 1);
  EXPECT_EQ(L.sqlSMSCMessageIdGet2("HTTP", "h-1", m, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_STREQ(m, "QAR2");
  EXPECT_EQ(L.sqlSMSCMessageIdGet2("HTTP", "h-2", m, u, s, r, &t), 0);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "h-1", "QAR3", "carol", "", ""), 1);
  EXPECT_EQ(L.sqlSMSCMessageIdGet2("HTTP", "h-1", m, u, s, r, &t), 1);
  EXPECT_STREQ(m, "QAR3");
}

TEST_F(LedgerTest, AddBeginEndAndYieldBracketTransactions) {
  auto seenByOtherProcess = [](const char* id) {
    pid_t pid = StartChild([id] {
      char m[QARLEDGER_FIELD_SIZE];
      return SMSCMessageIdGet("HTTP", id, m, nullptr, nullptr, nullptr) == 1;
    });
    return WaitChild(pid) == 0;
  };
  ASSERT_EQ(L.sqlSMSCMessageIdAddBegin(), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "b1", "m", "u", "s", "r"), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "b2", "m", "u", "s", "r"), 1);
  EXPECT_FALSE(seenByOtherProcess("b1"));
  ASSERT_EQ(L.sqlSMSCMessageIdAddEnd(), 1);
  EXPECT_TRUE(seenByOtherProcess("b1"));
  EXPECT_TRUE(seenByOtherProcess("b2"));
  ASSERT_EQ(L.sqlSMSCMessageIdAddBegin(), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "y1", "m", "u", "s", "r"), 1);
  EXPECT_FALSE(seenByOtherProcess("y1"));
  L.sqlSMSCMessageIdYield();
  EXPECT_TRUE(seenByOtherProcess("y1"));
  L.sqlSMSCMessageIdYield();  // nothing pending
  // A batch left open is committed by CloseAll, not lost.
  ASSERT_EQ(L.sqlSMSCMessageIdAddBegin(), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "c1", "m", "u", "s", "r"), 1);
  L.sqlSMSCMessageIdCloseAll();
  EXPECT_TRUE(seenByOtherProcess("c1"));
}

TEST_F(LedgerTest, CloseAllThenReuse) {
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "k1", "m1", "u", "s", "r"), 1);
  char code[16];
  ASSERT_EQ(L.sqlShortURLAdd("http://example.com/a", code, sizeof code), 1);
  L.sqlSMSCMessageIdCloseAll();
  L.sqlSMSCMessageIdCloseAll();
  char m[QARLEDGER_FIELD_SIZE];
  EXPECT_EQ(L.sqlSMSCMessageIdGet2("HTTP", "k1", m, nullptr, nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "k2", "m2", "u", "s", "r"), 1);
  char url[64];
  EXPECT_EQ(L.sqlShortURLGet(code, url, sizeof url), 1);
  EXPECT_STREQ(url, "http://example.com/a");
}

TEST_F(LedgerTest, TestDatabaseOKTellsSoundFromDamaged) {
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "k1", "m1", "u", "s", "r"), 1);
  std::string tracking = home_ + "SMPPData/";
  EXPECT_EQ(L.sqlTestDatabaseOK((tracking + "MSGID.DB").c_str()), 1);  // open, in WAL mode

  std::string good = tracking + "GOOD.DB";
  MakeDatabase(good, 400);
  EXPECT_EQ(L.sqlTestDatabaseOK(good.c_str()), 1);
  std::string bytes = ReadFileText(good);
  ASSERT_GT(bytes.size(), 8u * 4096);

  std::string truncated = tracking + "TRUNC.DB";
  WriteFileText(truncated, bytes.substr(0, bytes.size() / 2));
  EXPECT_EQ(L.sqlTestDatabaseOK(truncated.c_str()), 0);
  std::string headerOnly = tracking + "HEAD.DB";
  WriteFileText(headerOnly, bytes.substr(0, 60));
  EXPECT_EQ(L.sqlTestDatabaseOK(headerOnly.c_str()), 0);
  std::string corrupted = tracking + "CORRUPT.DB";
  std::string damaged = bytes;
  for (size_t i = 2 * 4096; i < 3 * 4096; ++i) damaged[i] = static_cast<char>(i * 7);
  WriteFileText(corrupted, damaged);
  EXPECT_EQ(L.sqlTestDatabaseOK(corrupted.c_str()), 0);
  std::string garbage = tracking + "GARBAGE.DB";
  WriteFileText(garbage, std::string(10000, 'x'));
  EXPECT_EQ(L.sqlTestDatabaseOK(garbage.c_str()), 0);

  EXPECT_EQ(L.sqlTestDatabaseOK((tracking + "MISSING.DB").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(tracking + "MISSING.DB"));  // never created
  EXPECT_EQ(L.sqlTestDatabaseOK(tracking.c_str()), 0);
  EXPECT_EQ(L.sqlTestDatabaseOK(nullptr), 0);
  EXPECT_EQ(L.sqlTestDatabaseOK(""), 0);
  // The test leaves the files as they were.
  EXPECT_EQ(ReadFileText(truncated), bytes.substr(0, bytes.size() / 2));
}

TEST_F(LedgerTest, ShortURLs) {
  char code[16], again[16], url[256];
  ASSERT_EQ(L.sqlShortURLAdd("http://example.com/one?a=1", code, sizeof code), 1);
  EXPECT_EQ(std::strlen(code), 8u);
  ASSERT_EQ(L.sqlShortURLAdd("http://example.com/one?a=1", again, sizeof again), 1);
  EXPECT_STREQ(again, code);  // a known URL keeps its code
  ASSERT_EQ(L.sqlShortURLAdd("http://example.com/two", again, sizeof again), 1);
  EXPECT_STRNE(again, code);
  ASSERT_EQ(L.sqlShortURLGet(code, url, sizeof url), 1);
  EXPECT_STREQ(url, "http://example.com/one?a=1");
  EXPECT_EQ(L.sqlShortURLGet("nosuchco", url, sizeof url), 0);
  EXPECT_EQ(L.sqlShortURLGet(code, url, 10), 0);  // a cut URL is never handed out
  EXPECT_EQ(L.sqlShortURLAdd("", code, sizeof code), 0);
  EXPECT_EQ(L.sqlShortURLCleanUp(0), 0);  // nothing old yet

  // Age the first URL by 40 days, as if it had not been used since.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((home_ + "SMPPData/LEDGER.DB").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  std::string sql = "UPDATE short_url SET last_used = last_used - 40*86400 WHERE code = '" +
                    std::string(code) + "'";
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(L.sqlShortURLCleanUp(60), 0);
  EXPECT_EQ(L.sqlShortURLCleanUp(30), 1);
  EXPECT_EQ(L.sqlShortURLGet(code, url, sizeof url), 0);
  EXPECT_EQ(L.sqlShortURLGet(again, url, sizeof url), 1);
}

TEST_F(LedgerTest, SegmentReferencesOfOneSubmissionStayTogether) {
  uint32_t ref = 0;
  EXPECT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 3, 1, &ref), 0);
  ASSERT_EQ(L.sqlSARIDAdd("alice", "+4477", 5, 3, 1, 77), 1);
  ASSERT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 3, 2, &ref), 1);  // segment 2 of it
  EXPECT_EQ(ref, 77u);
  ASSERT_EQ(L.sqlSARIDAdd("alice", "+4477", 5, 3, 2, 77), 1);
  // Segment 1 again: a new submission that reuses the client's reference.
  EXPECT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 3, 1, &ref), 0);
  ASSERT_EQ(L.sqlSARIDAdd("alice", "+4477", 5, 3, 1, 78), 1);
  ASSERT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 3, 2, &ref), 1);
  EXPECT_EQ(ref, 78u);
  ASSERT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 3, 3, &ref), 1);
  EXPECT_EQ(ref, 78u);
  // Any other part of the key is another message.
  EXPECT_EQ(L.sqlSARIDGet("bob", "+4477", 5, 3, 2, &ref), 0);
  EXPECT_EQ(L.sqlSARIDGet("alice", "+4478", 5, 3, 2, &ref), 0);
  EXPECT_EQ(L.sqlSARIDGet("alice", "+4477", 6, 3, 2, &ref), 0);
  EXPECT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 4, 2, &ref), 0);
  EXPECT_EQ(L.sqlSARIDGet("alice", "+4477", 5, 3, 2, nullptr), 0);
}

TEST_F(LedgerTest, MMSLocalAndRemoteIds) {
  char other[64], info[64];
  EXPECT_EQ(L.sqlMMSLocalIDGet("L1", other, info, sizeof other), 0);
  ASSERT_EQ(L.sqlMMSLocalIDAdd("L1", "R-remote-1", "alice;+4477"), 1);
  ASSERT_EQ(L.sqlMMSRemoteIDAdd("R-remote-1", "L1", "from mmsc"), 1);
  ASSERT_EQ(L.sqlMMSLocalIDGet("L1", other, info, sizeof other), 1);
  EXPECT_STREQ(other, "R-remote-1");
  EXPECT_STREQ(info, "alice;+4477");
  ASSERT_EQ(L.sqlMMSRemoteIDGet("R-remote-1", other, info, sizeof other), 1);
  EXPECT_STREQ(other, "L1");
  EXPECT_STREQ(info, "from mmsc");
  EXPECT_EQ(L.sqlMMSRemoteIDGet("L1", other, info, sizeof other), 0);  // separate tables
  ASSERT_EQ(L.sqlMMSLocalIDAdd("L1", "R2", nullptr), 1);               // replaces
  ASSERT_EQ(L.sqlMMSLocalIDGet("L1", other, info, 4), 1);
  EXPECT_STREQ(other, "R2");
  EXPECT_STREQ(info, "");
  EXPECT_EQ(L.sqlMMSLocalIDAdd("", "R", ""), 0);
}

MMSCUserRecord Subscriber(const char* number, const char* alias, const char* password = "pw") {
  MMSCUserRecord rec{};
  std::strcpy(rec.PhoneNumber, number);
  std::strcpy(rec.Alias, alias);
  std::strcpy(rec.Password, password);
  return rec;
}

TEST_F(LedgerTest, MMSCSubscribers) {
  MMSCUserDB* db = nullptr;
  ASSERT_EQ(L.sqlMMSCOpenUserDB(&db), 1);
  EXPECT_TRUE(std::filesystem::exists(home_ + "MMSCDATA/MMSCUSERS.DB"));
  MMSCUserRecord a = Subscriber("447700900222", "Bob");
  std::strcpy(a.FullName, "Bob B");
  a.MsgLimitPerDay = 10;
  a.MsgLimitPerMonth = 300;
  ASSERT_EQ(L.sqlMMSCAddUser(db, &a), 1);
  MMSCUserRecord b = Subscriber("447700900111", "alice");
  ASSERT_EQ(L.sqlMMSCAddUser(db, &b), 1);
  EXPECT_EQ(L.sqlMMSCAddUser(db, &a), 0);  // number exists
  MMSCUserRecord clash = Subscriber("447700900333", "BOB");
  EXPECT_EQ(L.sqlMMSCAddUser(db, &clash), 0);          // alias of another number
  EXPECT_EQ(L.sqlMMSCAddOrModifyUser(db, &clash), 0);
  MMSCUserRecord bad = Subscriber("../etc", "x");
  EXPECT_EQ(L.sqlMMSCAddUser(db, &bad), 0);
  EXPECT_EQ(L.sqlMMSCGetUserCount(db), 2u);

  MMSCUserRecord got;
  ASSERT_EQ(L.sqlMMSCFindUserRecord(db, "447700900222", &got), 1);
  EXPECT_EQ(std::memcmp(&got, &a, sizeof got), 0);
  ASSERT_EQ(L.sqlMMSCGetUserRecord(db, 0, &got), 1);
  EXPECT_STREQ(got.PhoneNumber, "447700900111");
  ASSERT_EQ(L.sqlMMSCGetUserRecord(db, 1, &got), 1);
  EXPECT_STREQ(got.PhoneNumber, "447700900222");
  EXPECT_EQ(L.sqlMMSCGetUserRecord(db, 2, &got), 0);
  uint32_t index = 99;
  ASSERT_EQ(L.sqlMMSCFindUserRecordNumber(db, "447700900222", &index), 1);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(L.sqlMMSCFindUserRecordNumber(db, "0000", &index), 0);
  char number[32];
  ASSERT_EQ(L.sqlMMSCFindAlias(db, "BOB", number, sizeof number), 1);
  EXPECT_STREQ(number, "447700900222");
  EXPECT_EQ(L.sqlMMSCFindAlias(db, "carol", number, sizeof number), 0);

  a.MsgLimitPerDay = 0;
  std::strcpy(a.Alias, "robert");
  ASSERT_EQ(L.sqlMMSCAddOrModifyUser(db, &a), 1);
  EXPECT_EQ(L.sqlMMSCFindAlias(db, "bob", number, sizeof number), 0);
  ASSERT_EQ(L.sqlMMSCFindUserRecord(db, "447700900222", &got), 1);
  EXPECT_EQ(got.MsgLimitPerDay, 0u);
  EXPECT_STREQ(got.Alias, "robert");
  EXPECT_EQ(L.sqlMMSCGetUserCount(db), 2u);

  EXPECT_EQ(L.sqlMMSCDeleteUser(db, "447700900222"), 1);
  EXPECT_EQ(L.sqlMMSCDeleteUser(db, "447700900222"), 0);
  EXPECT_EQ(L.sqlMMSCGetUserCount(db), 1u);
  L.sqlMMSCCloseUserDB(db);
}

TEST_F(LedgerTest, MMSCSubscribersMigrateFromRecordFile) {
  MMSCUserRecord records[3] = {Subscriber("111", "one"), Subscriber("a/b", "bad"),
                               Subscriber("222", "two")};
  std::string path = home_ + "MMSCUSERS.DAT";
  WriteFileText(path, std::string(reinterpret_cast<const char*>(records), sizeof records));
  EXPECT_EQ(L.sqlMMSCMigrateUserDB(path.c_str()), 2);
  EXPECT_TRUE(std::filesystem::exists(path));
  MMSCUserDB* db = nullptr;
  ASSERT_EQ(L.sqlMMSCOpenUserDB(&db), 1);
  EXPECT_EQ(L.sqlMMSCGetUserCount(db), 2u);
  char number[32];
  EXPECT_EQ(L.sqlMMSCFindAlias(db, "TWO", number, sizeof number), 1);
  L.sqlMMSCCloseUserDB(db);

  WriteFileText(path, std::string(reinterpret_cast<const char*>(records), 700));
  EXPECT_EQ(L.sqlMMSCMigrateUserDB(path.c_str()), -1);
  EXPECT_EQ(L.sqlMMSCMigrateUserDB((home_ + "NONE.DAT").c_str()), -1);
  EXPECT_EQ(L.sqlMMSCMigrateUserDB(nullptr), -1);
}

// The e-mail forwarding flag is kept with the subscriber; a store made before the flag
// existed opens with the flag off for its subscribers, who keep everything else.
TEST_F(LedgerTest, MMSCSubscriberForwardingFlag) {
  std::filesystem::create_directories(home_ + "MMSCDATA");
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open((home_ + "MMSCDATA/MMSCUSERS.DB").c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old,
                         "CREATE TABLE mmsc_user(phone_number TEXT NOT NULL PRIMARY KEY, alias TEXT NOT NULL,"
                         " password TEXT NOT NULL, full_name TEXT NOT NULL, limit_day INTEGER NOT NULL,"
                         " limit_month INTEGER NOT NULL);"
                         "INSERT INTO mmsc_user VALUES('111', 'old', 'pw', 'Old One', 5, 50);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);
  for (int round = 0; round < 2; ++round) {  // the second open finds the column made
    SCOPED_TRACE(round);
    MMSCUserDB* db = nullptr;
    ASSERT_EQ(L.sqlMMSCOpenUserDB(&db), 1);
    MMSCUserRecord got;
    ASSERT_EQ(L.sqlMMSCFindUserRecord(db, "111", &got), 1);
    EXPECT_STREQ(got.FullName, "Old One");
    EXPECT_EQ(got.MsgLimitPerDay, 5u);
    EXPECT_EQ(got.EMailForwarding, round == 0 ? 0 : 1);
    got.EMailForwarding = 1;
    ASSERT_EQ(L.sqlMMSCAddOrModifyUser(db, &got), 1);
    MMSCUserRecord off = Subscriber("222", "two");
    off.EMailForwarding = 0;
    ASSERT_EQ(L.sqlMMSCAddOrModifyUser(db, &off), 1);
    ASSERT_EQ(L.sqlMMSCFindUserRecord(db, "222", &got), 1);
    EXPECT_EQ(got.EMailForwarding, 0);
    L.sqlMMSCCloseUserDB(db);
  }
}

TEST_F(LedgerTest, MMSCDataDirectoryFollowsMMSCIni) {
  std::string dir = home_ + "mmscdata";
  ASSERT_EQ(MMSCIniWriteProfileString("MMSC", "DataDir", dir.c_str()), 1);
  MMSCUserDB* db = nullptr;
  ASSERT_EQ(L.sqlMMSCOpenUserDB(&db), 1);
  L.sqlMMSCCloseUserDB(db);
  EXPECT_TRUE(std::filesystem::exists(dir + "/MMSCUSERS.DB"));
}

}  // namespace

namespace {

void AgeRows(const std::string& dbPath, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

// Old records are dropped after SMPPDataRetainDays by the first add of a process, inside
// the stores (the files themselves are never aged out).
TEST_F(LedgerTest, OldIdsExpire) {
  ASSERT_EQ(SMSIniWriteProfileString("QARHUB", "SMPPDataRetainDays", "3"), 1);
  ASSERT_EQ(L.sqlMMSLocalIDAdd("old", "R", ""), 1);
  ASSERT_EQ(L.sqlMMSLocalIDAdd("young", "R", ""), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "old", "m", "u", "s", "r"), 1);
  ASSERT_EQ(L.sqlSMSCMessageIdAdd("HTTP", "young", "m", "u", "s", "r"), 1);
  char oldCode[16], youngCode[16];
  ASSERT_EQ(L.sqlShortURLAdd("http://example.com/old", oldCode, sizeof oldCode), 1);
  ASSERT_EQ(L.sqlShortURLAdd("http://example.com/young", youngCode, sizeof youngCode), 1);
  L.sqlSMSCMessageIdCloseAll();
  AgeRows(home_ + "SMPPData/LEDGER.DB",
          "UPDATE mms_local_id SET created = created - 4*86400 WHERE local_id = 'old';"
          "UPDATE mms_local_id SET created = created - 2*86400 WHERE local_id = 'young';"
          "UPDATE short_url SET last_used = last_used - 4*86400 WHERE url LIKE '%old';"
          "UPDATE short_url SET last_used = last_used - 2*86400 WHERE url LIKE '%young'");
  AgeRows(home_ + "SMPPData/MSGID.DB",
          "UPDATE msgid SET submit_time = submit_time - 4*86400 WHERE smsc_id = 'old';"
          "UPDATE msgid SET submit_time = submit_time - 2*86400 WHERE smsc_id = 'young'");
  const Ledger& l = L;
  std::string oldC = oldCode, youngC = youngCode;
  pid_t child = StartChild([&l, oldC, youngC] {
    char a[64], b[64], code[16];
    return l.sqlMMSLocalIDAdd("new", "R", "") == 1 &&
           l.sqlShortURLGet(oldC.c_str(), a, sizeof a) == 0 &&  // a short URL counts from its last use
           l.sqlShortURLGet(youngC.c_str(), a, sizeof a) == 1 &&
           l.sqlShortURLAdd("http://example.com/old", code, sizeof code) == 1 && oldC != code &&
           l.sqlSMSCMessageIdAdd("HTTP", "new", "m", "u", "s", "r") == 1 &&
           l.sqlMMSLocalIDGet("old", a, b, sizeof a) == 0 &&
           l.sqlMMSLocalIDGet("young", a, b, sizeof a) == 1 &&
           l.sqlSMSCMessageIdGet2("HTTP", "old", a, nullptr, nullptr, nullptr, nullptr) == 0 &&
           l.sqlSMSCMessageIdGet2("HTTP", "young", a, nullptr, nullptr, nullptr, nullptr) == 1;
  });
  EXPECT_EQ(WaitChild(child), 0);
}

}  // namespace
