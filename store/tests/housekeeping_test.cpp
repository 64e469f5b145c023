#include "store/housekeeping.h"

#include <gtest/gtest.h>

#include "outside/qarvault/qarvault.h"
#include "runtime/clock.h"
#include "runtime/config_access.h"
#include "runtime/file_io.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "store/tests/store_home.h"

TEST(HousekeepingTest, LogFileDates) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2000, 3, 1) - DaysFromCivil(2000, 2, 28), 2);
  EXPECT_EQ(DaysFromCivil(2100, 3, 1) - DaysFromCivil(2100, 2, 28), 1);
  int64_t day = 0;
  EXPECT_TRUE(MessageLogFileDay("SMSOUT-20261207.LOG", day));
  EXPECT_EQ(day, DaysFromCivil(2026, 12, 7));
  EXPECT_TRUE(MessageLogFileDay("sms-20261207.log", day));
  EXPECT_FALSE(MessageLogFileDay("SMSOUT-2026.LOG", day));
  EXPECT_FALSE(MessageLogFileDay("SMSDEBUG-20261207.LOG", day));
  EXPECT_FALSE(MessageLogFileDay("SMSOUT-2026120x.LOG", day));
  EXPECT_FALSE(MessageLogFileDay("SMSOUT-20261207.LOG.bak", day));
}

TEST(HousekeepingTest, RetentionUsesRealDates) {
  StoreHome home("[QARHUB]\r\nLogRetainDays=1\r\n");
  SetClockOverride(LocalAt(2027, 1, 2));
  std::string logs = LogDirectory();
  const char* names[] = {"SMSOUT-20270101.LOG", "SMSOUT-20261231.LOG", "SMSIN-20250102.LOG",
                         "SMSWEB-20270102.LOG", "SMSOUT-2026.LOG",     "OTHER-20200101.LOG"};
  for (const char* n : names) WriteFileText(logs + n, "x");
  WriteFileText(home.path() + "USERS/bob/SMS-20261231.LOG", "x");
  WriteFileText(home.path() + "USERS/bob/SMS-20270101.LOG", "x");
  Housekeeping();
  EXPECT_TRUE(FileExists(logs + "SMSOUT-20270101.LOG")) << "yesterday is kept";
  EXPECT_FALSE(FileExists(logs + "SMSOUT-20261231.LOG")) << "the day before is deleted across the year";
  EXPECT_FALSE(FileExists(logs + "SMSIN-20250102.LOG")) << "two years old";
  EXPECT_TRUE(FileExists(logs + "SMSWEB-20270102.LOG"));
  EXPECT_TRUE(FileExists(logs + "SMSOUT-2026.LOG"));
  EXPECT_TRUE(FileExists(logs + "OTHER-20200101.LOG"));
  EXPECT_FALSE(FileExists(home.path() + "USERS/bob/SMS-20261231.LOG"));
  EXPECT_TRUE(FileExists(home.path() + "USERS/bob/SMS-20270101.LOG"));

  StoreHome home2("[QARHUB]\r\n");
  SetClockOverride(LocalAt(2027, 1, 5));
  WriteFileText(LogDirectory() + "SMSOUT-20261231.LOG", "x");
  Housekeeping();
  EXPECT_TRUE(FileExists(LogDirectory() + "SMSOUT-20261231.LOG")) << "90 days by default";
}

TEST(HousekeepingTest, StaleWorkFiles) {
  StoreHome home("[QARHUB]\r\nErrorQRetainDays=0\r\n");
  time_t now = NowSeconds();
  std::string q = OutboundQueueRoot();
  std::string priv = PrivateDataDirectory();
  struct File {
    std::string path;
    time_t age;
    bool kept;
  } files[] = {
      {q + "a.ERR", 60, false},                   // ErrorQRetainDays=0
      {q + "sub/b.lck", 2 * 86400, false},
      {q + "c.LCK", 3600, true},
      {q + "sub/.~1-2.tmp", 2 * 86400, false},
      {q + "d.req", 30 * 86400, true},
      {priv + "TEMP/x/old", 2 * 86400, false},
      {priv + "TEMP/new", 3600, true},
      {priv + "deep/er/f.TMP", 2 * 86400, false},
      {priv + "SMPPDATA/ActiveUsers/u/a.FLG", 1, false},
      {MessageIdTrackingDir() + "old.db", 16 * 86400, false},
      {MessageIdTrackingDir() + "new.db", 14 * 86400, true},
      {priv + "MMSINQ/x.D21", 16 * 86400, false},
      {priv + "MMSINQ/x.D31", 16 * 86400, true},
  };
  for (const File& f : files) {
    WriteFileText(f.path, "x");
    SetMTime(f.path, now - f.age);
  }
  // A held lock file is never deleted, however old.
  HeldLock held;
  ASSERT_TRUE(AcquireLockFile(q + "held.LCK", held));
  SetMTime(q + "held.LCK", now - 5 * 86400);
  std::string bulk = BulkQueueDir();
  WriteFileText(bulk + ".~job-1-00000001/M1.REQ", "[SMS]\r\n");
  SetMTime(bulk + ".~job-1-00000001", now - 2 * 86400);
  WriteFileText(bulk + ".~job-1-00000002/M1.REQ", "[SMS]\r\n");
  Housekeeping();
  EXPECT_FALSE(FileExists(bulk + ".~job-1-00000001")) << "a job its submitter never handed over";
  EXPECT_TRUE(FileExists(bulk + ".~job-1-00000002/M1.REQ"));
  for (const File& f : files) EXPECT_EQ(FileExists(f.path), f.kept) << f.path;
  EXPECT_TRUE(FileExists(q + "held.LCK"));
  EXPECT_FALSE(FileExists(priv + "TEMP/x")) << "emptied directories go with pattern *";
  EXPECT_TRUE(FileExists(q + "sub")) << "other patterns leave directories";
}

// A quiet gateway's message-id store keeps its old file times while in use (WAL mode); it
// lives on with its rows, while the old work files around it go.
TEST(HousekeepingTest, LiveDatabaseStoresAreNeverAgedOut) {
  StoreHome home("[QARHUB]\r\n");
  std::string track = MessageIdTrackingDir();
  ASSERT_EQ(SMSCMessageIdAdd("SMPP - a:1", "S1", "M1", "u", "s", "r"), 1);
  const char* kept[] = {"MSGID.DB", "MSGID.DB-wal", "MSGID.DB-shm"};
  for (const char* name : kept) ASSERT_TRUE(FileExists(track + name)) << name;
  const char* gone[] = {"20261101.DAT", "sub/20261102.DAT", "text.DB", "orphan.DB-wal",
                        "MSGID.DB20261101120000.damaged", "MSGID.DB20261101120000.damaged-wal"};
  for (const char* name : gone) WriteFileText(track + name, "x");
  time_t old = NowSeconds() - 20 * 86400;
  for (const char* name : kept) SetMTime(track + name, old);
  for (const char* name : gone) SetMTime(track + name, old);

  Housekeeping();
  for (const char* name : kept) EXPECT_TRUE(FileExists(track + name)) << name;
  for (const char* name : gone) EXPECT_FALSE(FileExists(track + name)) << name;
  // Read back from the file, not from the open connection.
  SMSCMessageIdCloseAll();
  char id[SMSC_MSGID_FIELD_SIZE];
  EXPECT_EQ(SMSCMessageIdGet("SMPP - a:1", "S1", id, nullptr, nullptr, nullptr), 1);
  SMSCMessageIdCloseAll();
}
