// An idle inbound worker sleeps; a file dropped into the inbound folder by another program,
// a file announced by the program that stored it, and (without inotify) the periodic rescan
// each get the file taken; the stop ends the wait at once.
#include <gtest/gtest.h>
#include <strings.h>

#include <fstream>
#include <functional>

#include "inbound/inbound_receive.h"
#include "inbound/inbound_scan.h"
#include "inbound/inbound_wake.h"
#include "runtime/dates.h"
#include "store/message_file.h"
#include "runtime/clock.h"
#include "runtime/folder_wake.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/waits.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/queue_dirs.h"
#include "tests/support/gateway_process.h"

namespace {

class InboundWaitTest : public SmscTestHome {
 protected:
  void SetUp() override {
    SmscTestHome::SetUp();
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    DisableFolderWatch(false);
    WriteConfig("[QARHUB]\nReceiveSMS=Yes\n");
  }
  void TearDown() override {
    if (started) {
      uint64_t start = TickMs();
      AnnounceShutdown();
      EXPECT_TRUE(WaitUntil(10000, [] { return ActiveThreadCount() == 0; }));
      // The wait ends at the announced stop, not at its next step.
      EXPECT_LT(TickMs() - start, 3000u);
    }
    DisableFolderWatch(false);
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    SmscTestHome::TearDown();
    ReloadStoreDirectories();
  }
  void StartWorker(int kind = 1) {
    uint64_t waits = InboundWaits.wakeUps.load();
    ASSERT_TRUE(StartServiceThread("ThreadProcessInboundSMS", [kind] { ThreadProcessInboundSMS(kind); }));
    started = true;
    // In its wait after the first walk.
    ASSERT_TRUE(WaitUntil(10000, [&] { return InboundWaits.wakeUps.load() > waits; }));
  }
  size_t Waiting(const char* suffix) {
    size_t n = 0;
    for (const std::string& f : FilesUnder(InboundDir())) {
      size_t len = strlen(suffix);
      n += f.size() >= len && strcasecmp(f.c_str() + f.size() - len, suffix) == 0;
    }
    return n;
  }
  bool started = false;
};

TEST_F(InboundWaitTest, IdleWorkerWakesRarely) {
  StartWorker();
  uint64_t wakeUps = InboundWaits.wakeUps.load();
  SleepUnlessShutdown(5000, TickMs());
  EXPECT_LT(InboundWaits.wakeUps.load() - wakeUps, 20u);
}

TEST_F(InboundWaitTest, FilesAreTakenOnTheirWakeOrTheRescan) {
  StartWorker();
  struct Case {
    const char* name;
    bool inotify;
    bool announce;                   // the storing program wakes the workers
    std::atomic<uint64_t>* counter;  // what ends the wait
  } cases[] = {
      {"dropped in by another program", true, false, &InboundWaits.woken},
      {"stored and announced, inotify unavailable", false, true, &InboundWaits.woken},
      {"dropped in, inotify unavailable: the rescan", false, false, &InboundWaits.looks},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisableFolderWatch(!c.inotify);
    // The worker's wake-ups for the previous case are over.
    SleepUnlessShutdown(300, TickMs());
    uint64_t before = c.counter->load();
    std::string name = "MSG" + std::to_string(++n) + ".in";
    // Written whole before it appears: a file still open for writing would be taken empty.
    DropFileText(InboundDir() + name, "[SMS-IN]\r\nModemName=SMPP - h:1\r\nSender=4477\r\nData=hello\r\n");
    if (c.announce) WakeInboundWorkers(InboundWakeKind::Messages);
    EXPECT_TRUE(WaitUntil(15000, [&] { return Waiting(".in") == 0; })) << name;
    EXPECT_GT(c.counter->load(), before);
  }
  // Each became a copy for other applications, once (a claimed file is out of sight before
  // its copy is written).
  EXPECT_TRUE(WaitUntil(15000, [&] { return Waiting(".sms") >= 3; }));
  EXPECT_EQ(Waiting(".sms"), 3u);
}

// A report the gateway stores wakes the report worker once, by the publish of its file: each
// further wake (the broadcast after it) would cost a walk of the inbound folder.
TEST_F(InboundWaitTest, AStoredReportWakesItsWorkerOnce) {
  SetInboundReceiveWakeHooks([] { WakeInboundWorkers(InboundWakeKind::Messages); },
                             [] { WakeInboundWorkers(InboundWakeKind::Reports); },
                             [] { WakeInboundWorkers(InboundWakeKind::Receipts); });
  StartWorker(2);
  for (size_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    uint64_t woken = InboundWaits.woken.load();
    ReceivedSms r;
    r.message.ModemName = "SMPP - h:1";
    r.message.Sender = "4491";
    r.message.PhoneNumber = "4930";
    r.message.Data = "id:C-" + std::to_string(i) + " stat:DELIVRD";
    r.message.MessageFlags = kMsgIsReport | kMsgReportDelivered;
    r.message.ReceiptMessageId = "C-" + std::to_string(i);
    ASSERT_EQ(ProcessInboundSMS(r), InboundStore::Stored);
    EXPECT_TRUE(WaitUntil(15000, [&] { return Waiting(".rec") == 0 && Waiting(".sms") == i; }));
    // Time for a second wake, had there been one.
    SleepUnlessShutdown(300, TickMs());
    EXPECT_EQ(InboundWaits.woken.load() - woken, 1u);
  }
  SetInboundReceiveWakeHooks(nullptr, nullptr, nullptr);
}

// A file another program makes in place and writes only later is left until it is written
// (taken at once, its content would go to a deleted file and the message be lost); its close
// wakes the worker.
TEST_F(InboundWaitTest, FileStillBeingWrittenWaitsForItsContent) {
  StartWorker();
  {
    std::ofstream late(InboundDir() + "LATE.in", std::ios::binary);
    ASSERT_TRUE(late.is_open());
    // Its creation woke the worker; the file must still be there, unanswered.
    SleepUnlessShutdown(1500, TickMs());
    EXPECT_EQ(Waiting(".in"), 1u);
    EXPECT_EQ(Waiting(".bad"), 0u);
    late << "[SMS-IN]\r\nModemName=SMPP - h:1\r\nSender=4477\r\nData=late\r\n";
  }
  EXPECT_TRUE(WaitUntil(15000, [&] { return Waiting(".sms") == 1; }));
  EXPECT_EQ(Waiting(".in"), 0u);
  EXPECT_EQ(Waiting(".bad"), 0u);
  for (const std::string& f : FilesUnder(InboundDir())) {
    if (f.size() > 4 && strcasecmp(f.c_str() + f.size() - 4, ".sms") == 0) {
      EXPECT_NE(ReadFileText(f).find("Data=late"), std::string::npos) << f;
    }
  }
}

// The receipt worker: asleep while nothing is due, up at a waiting file's next try without a
// walk in between, and at once for a receipt announced by the program that stored it.
class ReceiptWaitTest : public InboundWaitTest {
 protected:
  void StartReceiptWorker() {
    uint64_t waits = ReceiptWaits.wakeUps.load();
    ASSERT_TRUE(StartServiceThread("ThreadProcessInboundReceipts", [] { ThreadProcessInboundReceipts(); }));
    started = true;
    ASSERT_TRUE(WaitUntil(10000, [&] { return ReceiptWaits.wakeUps.load() > waits; }));
  }
  static std::string Receipt(const std::string& id) {
    return "[SMS-IN]\r\nModemName=SMPP - h:1\r\nSender=4491\r\nPhoneNumber=4930\r\nData=id:" + id +
           " stat:DELIVRD\r\nReceiptDelivered=Yes\r\nReceiptMessageId=" + id + "\r\n";
  }
  uint32_t Tries(const std::string& name) {
    SmsMessageRecord m;
    ParseSMSMessage(ReadFileText(InboundDir() + name), m);
    return m.RetryCount;
  }
};

TEST_F(ReceiptWaitTest, IdleWorkerNeitherWalksNorWakesEverySecond) {
  StartReceiptWorker();
  uint64_t wakeUps = ReceiptWaits.wakeUps.load(), walks = ReceiptWaits.walks.load();
  SleepUnlessShutdown(5000, TickMs());
  EXPECT_LT(ReceiptWaits.wakeUps.load() - wakeUps, 20u);
  // The rescan is every 5 s: a walk a second would make five.
  EXPECT_LE(ReceiptWaits.walks.load() - walks, 2u);
}

TEST_F(ReceiptWaitTest, StoredReceiptsAndDueRetriesAreTakenOnTheirWake) {
  StartReceiptWorker();
  struct Case {
    const char* name;
    int lastTryAgo;                  // seconds; -1: no try yet
    std::atomic<uint64_t>* counter;  // what ends the wait
    uint32_t triesAfter;
  } cases[] = {
      // The first look-up at once, unresolved: one try recorded.
      {"announced", -1, &ReceiptWaits.woken, 1},
      // One try 50 s ago: the next falls due in 10 s, and its own timer ends the wait.
      {"due retry", 50, &ReceiptWaits.due, 2},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = "R" + std::to_string(++n) + ".rct";
    std::string text = Receipt("C-" + std::to_string(n));
    if (c.lastTryAgo >= 0) {
      text += "[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=" + FormatTimestamp14(NowSeconds() - c.lastTryAgo) + "\r\n";
    }
    uint64_t before = c.counter->load(), looks = ReceiptWaits.looks.load();
    DropFileText(InboundDir() + name, text);
    WakeInboundWorkers(InboundWakeKind::Receipts);
    EXPECT_TRUE(WaitUntil(40000, [&] { return Tries(name) == c.triesAfter; })) << name;
    EXPECT_GT(c.counter->load(), before);
    // A walk a second would have made ten.
    EXPECT_LE(ReceiptWaits.looks.load() - looks, 3u);
  }
}

}  // namespace
