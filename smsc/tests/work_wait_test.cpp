// The connection worker's waits, over a driver that stands in for an SMS centre: an idle
// worker sleeps, and wakes for a written file, a dropped file, a due retry and the stop.
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "config/settings.h"
#include "config/settings_override.h"
#include "config/settings_registry.h"
#include "runtime/clock.h"
#include "runtime/dates.h"
#include "runtime/folder_wake.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_fd.h"
#include "runtime/waits.h"
#include "smsc/connection_error_file.h"
#include "smsc/connection_worker.h"
#include "smsc/routing_tables.h"
#include "smsc/smsc_driver.h"
#include "smsc/tests/smsc_test_home.h"
#include "smsc/work_wait.h"
#include "store/delay_queue.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "tests/support/gateway_process.h"

namespace {

namespace fs = std::filesystem;

// What the stand-in centre does and saw. Its link is one end of a socket pair; the test
// holds the other.
struct FakeCentre {
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::string, int> submitted;  // recipient -> times
  int passes = 0;                         // closing link checks of passes
  int connects = 0;                       // sessions begun
  bool connectFails = false;
  bool receiveOnly = false;
  SubmitOutcome outcome = SubmitOutcome::Done;
  UniqueFd ours, theirs;
  FakeCentre() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      ours.reset(sv[0]);
      theirs.reset(sv[1]);
    }
  }
  int Submitted(const std::string& to) {
    std::lock_guard<std::mutex> guard(lock);
    return submitted[to];
  }
  int Passes() {
    std::lock_guard<std::mutex> guard(lock);
    return passes;
  }
  int Connects() {
    std::lock_guard<std::mutex> guard(lock);
    return connects;
  }
  // Waits (bounded) until to was submitted.
  bool WaitSubmitted(const std::string& to, int seconds = 20) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(seconds), [&] { return submitted[to] > 0; });
  }
};
FakeCentre* g_centre = nullptr;

SmscDriver FakeDriver(const std::string&, uint32_t) {
  FakeCentre* c = g_centre;
  SmscDriver d;
  d.connect = [c](const std::function<void(const std::string&)>& report) {
    {
      std::lock_guard<std::mutex> guard(c->lock);
      ++c->connects;
    }
    if (c->connectFails) report("Fake Failure -- no centre");
    return !c->connectFails;
  };
  d.open = [c](QueueWorker& w, QueueTransport& t) {
    w.settings.keepAliveSeconds = 0;
    t.submit = [c](const SmsMessageRecord& m, const SubmitRequest&) {
      SubmitResult r;
      {
        std::lock_guard<std::mutex> guard(c->lock);
        ++c->submitted[m.PhoneNumber];
        r.outcome = c->outcome;
      }
      c->changed.notify_all();
      if (r.outcome != SubmitOutcome::Done) r.status = 0x58;
      return r;
    };
    t.enquireLink = [] { return 0; };
    // As the protocol libraries do: reads what came and waits on the socket up to waitMs.
    t.yield = [c](int waitMs) {
      pollfd fd = {c->ours.get(), POLLIN, 0};
      if (poll(&fd, 1, waitMs) > 0) {
        char buffer[256];
        if (recv(c->ours.get(), buffer, sizeof buffer, MSG_DONTWAIT) == 0) return 1;
      }
      return 0;
    };
    t.linkUp = [c] {
      std::lock_guard<std::mutex> guard(c->lock);
      ++c->passes;
      return true;
    };
    t.waitFd = [c] { return c->ours.get(); };
  };
  d.reload = [] { return false; };
  d.apply = [](QueueWorker& w) { w.settings.keepAliveSeconds = 0; };
  d.receiveOnly = [c] { return c->receiveOnly; };
  d.close = [](QueueWorker&, bool) {};
  return d;
}

class WorkWaitTest : public SmscTestHome {
 protected:
  SettingsOverride settings{SettingsBlock{}};
  FakeCentre centre;
  std::thread worker;
  void SetUp() override {
    SmscTestHome::SetUp();
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    {
      std::lock_guard<std::mutex> guard(centre.lock);
      centre.submitted.clear();
      centre.passes = 0;
      centre.connects = 0;
      centre.connectFails = centre.receiveOnly = false;
      centre.outcome = SubmitOutcome::Done;
    }
    g_centre = &centre;
    RegisterSmscDriver(ConnectionKind::Smpp, FakeDriver);
  }
  void TearDown() override {
    Stop();
    DisableFolderWatch(false);
    RegisterSmscDriver(ConnectionKind::Smpp, nullptr);
    g_centre = nullptr;
    ShutdownRequested.store(0);
    ClearStaleShutdownWake();
    SmscTestHome::TearDown();
  }
  void Start(const std::string& main = "", const std::string& section = "") {
    WriteConfig("[QARHUB]\nModem1=SMPP - a:1\n" + main + "\n[SMPP - a:1]\nRouteName=MAIN\n" + section + "\n");
    BuildOutboundRoutingTables();
    fs::create_directories(OutboundQueueRoot());
    worker = std::thread([] { ThreadProcessModem(1); });
  }
  // Announces the stop and returns how long the worker took to end.
  std::chrono::milliseconds Stop() {
    if (!worker.joinable()) return {};
    auto start = std::chrono::steady_clock::now();
    AnnounceShutdown();
    worker.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
  static std::string Message(const std::string& to, const std::string& extra = "") {
    return "[SMS]\r\nPhoneNumber=" + to + "\r\nData=Hello\r\n" + extra;
  }
  // As another program drops a file: written under another name, then renamed.
  void Drop(const std::string& name, const std::string& text) {
    std::string temp = OutboundQueueRoot() + "." + name + ".tmp";
    WriteFileText(temp, text);
    fs::rename(temp, OutboundQueueRoot() + name);
  }
  // Waits (bounded) until the worker has gone through n passes.
  void WaitPasses(int n) {
    for (int i = 0; i < 200 && centre.Passes() < n; ++i) SleepUnlessShutdown(50, TickMs());
  }
};

// Idle for five seconds: a few wake-ups (change checks and the periodic look), not a loop.
TEST_F(WorkWaitTest, IdleWorkerWakesRarely) {
  Start();
  WaitPasses(1);
  uint64_t wakeUpsBefore = WorkWaits.wakeUps.load();
  int passesBefore = centre.Passes();
  SleepUnlessShutdown(5000, TickMs());
  EXPECT_LT(WorkWaits.wakeUps.load() - wakeUpsBefore, 20u);
  EXPECT_LT(centre.Passes() - passesBefore, 5);
}

// Each way a file comes is seen and sent once: through the gateway's writer, dropped by
// another program (inotify), dropped with inotify unavailable (the periodic look), and a
// held retry at its time.
TEST_F(WorkWaitTest, FilesWakeTheWorker) {
  struct Case {
    const char* name;
    bool watch;
    int how;  // 0 the writer, 1 dropped, 2 a held retry written before the start
    std::atomic<uint64_t>* counter;
  } cases[] = {
      {"written through the writer", false, 0, &WorkWaits.written},
      {"dropped by another program", true, 1, &WorkWaits.written},
      {"dropped without inotify", false, 1, &WorkWaits.looks},
      {"held until its retry time", false, 2, &WorkWaits.retries},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    DisableFolderWatch(!c.watch);
    std::string to = "+4477009000" + std::to_string(++n);
    std::string name = "0000000" + std::to_string(n) + ".REQ";
    if (c.how == 2) {
      fs::create_directories(OutboundQueueRoot());
      WriteFileText(OutboundQueueRoot() + name,
                    Message(to, "[ErrorDetail]\r\nRetryCount=1\r\nLastRetryTime=" + FormatTimestamp14() + "\r\n"));
    }
    Start("RetryDelay=2\nRetryDelayAfterAttempts=0\nRetryDelayMultiplier=0");
    WaitPasses(1);
    uint64_t before = c.counter->load();
    if (c.how == 0) {
      ASSERT_TRUE(PublishFile(OutboundQueueRoot() + name, Message(to), PublishMode::CreateNew));
    }
    if (c.how == 1) Drop(name, Message(to));
    ASSERT_TRUE(centre.WaitSubmitted(to));
    EXPECT_GT(c.counter->load(), before);
    SleepUnlessShutdown(300, TickMs());
    EXPECT_EQ(centre.Submitted(to), 1);
    EXPECT_FALSE(fs::exists(OutboundQueueRoot() + name));
  }
}

// A burst of files written while the worker sleeps is sent in full, each once.
TEST_F(WorkWaitTest, BurstIsSentOnce) {
  Start();
  WaitPasses(1);
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(PublishFile(OutboundQueueRoot() + "B" + std::to_string(1000 + i) + ".REQ",
                            Message("+44770091" + std::to_string(1000 + i)), PublishMode::CreateNew));
  }
  ASSERT_TRUE(centre.WaitSubmitted("+447700911199"));
  for (int i = 0; i < 200; ++i) EXPECT_EQ(centre.Submitted("+44770091" + std::to_string(1000 + i)), 1) << i;
}

// The stop ends each kind of wait at once (the bound is the thread frame's second, with
// room for a loaded machine).
TEST_F(WorkWaitTest, StopEndsEveryWait) {
  struct Case {
    const char* name;
    std::string main, section;
    bool connectFails, receiveOnly;
    SubmitOutcome outcome;
    bool queueOne;
  } cases[] = {
      {"idle, waiting for work", "", "", false, false, SubmitOutcome::Done, false},
      {"receive only", "", "", false, true, SubmitOutcome::Done, false},
      {"reconnect delay", "InitRetryDelay=600", "", true, false, SubmitOutcome::Done, false},
      {"backup not needed", "", "BackupForRoute=MAIN", false, false, SubmitOutcome::Done, false},
      {"pacing", "", "SMSCSendLimit=1/600", false, false, SubmitOutcome::Done, true},
      {"throttled pause", "SMPPThrottleErrorDelay=600", "", false, false, SubmitOutcome::Throttled, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    centre.connectFails = c.connectFails;
    centre.receiveOnly = c.receiveOnly;
    centre.outcome = c.outcome;
    if (c.queueOne) {
      fs::create_directories(OutboundQueueRoot());
      WriteFileText(OutboundQueueRoot() + "00000001.REQ", Message("+447700900001"));
      WriteFileText(OutboundQueueRoot() + "00000002.REQ", Message("+447700900002"));
    }
    Start(c.main, c.section);
    if (c.queueOne) {
      ASSERT_TRUE(centre.WaitSubmitted("+447700900001"));
    }
    SleepUnlessShutdown(500, TickMs());
    EXPECT_LT(Stop().count(), 3000);
  }
}

// A backup connection sleeps while its target works, and starts as soon as the target's
// error file is written (not at its next look).
TEST_F(WorkWaitTest, BackupStartsWhenItsTargetFails) {
  WriteConfig("[QARHUB]\nModem1=SMPP - a:1\nModem2=SMPP - b:1\n[SMPP - a:1]\nRouteName=BACK\n"
              "BackupForRoute=MAIN\n[SMPP - b:1]\nRouteName=MAIN\n");
  BuildOutboundRoutingTables();
  fs::create_directories(OutboundQueueRoot());
  uint64_t looks = BackupWaits.looks.load(), told = BackupWaits.errorFiles.load();
  worker = std::thread([] { ThreadProcessModem(1); });
  SleepUnlessShutdown(5000, TickMs());
  EXPECT_EQ(centre.Passes(), 0) << "not needed while its target works";
  // The old wait looked every 2 s; now it wakes for error files and the configuration look.
  EXPECT_LT(BackupWaits.looks.load() + BackupWaits.errorFiles.load() - looks - told, 20u);
  EXPECT_LE(BackupWaits.looks.load() - looks, 3u);
  struct Case {
    const char* name;
    std::string connection, text;
    bool starts;
  } cases[] = {
      {"another connection's error file", "SMPP - c:1", "SMPP Failure -- elsewhere", false},
      {"the target's error file", "SMPP - b:1", "SMPP Failure -- Unable to connect", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t before = BackupWaits.errorFiles.load();
    WriteConnectionErrorFile(c.connection, c.text);
    for (int i = 0; i < 100 && BackupWaits.errorFiles.load() == before; ++i) SleepUnlessShutdown(50, TickMs());
    EXPECT_GT(BackupWaits.errorFiles.load(), before);
    if (c.starts) {
      WaitPasses(1);
      EXPECT_GT(centre.Passes(), 0);
    } else {
      SleepUnlessShutdown(300, TickMs());
      EXPECT_EQ(centre.Passes(), 0);
    }
  }
  WriteConnectionErrorFile("SMPP - b:1", "");
  WriteConnectionErrorFile("SMPP - c:1", "");
}

// Each wait of the worker leaves the configuration alone while the registry tells of no
// change (the old waits looked at it every one or two seconds), and acts at once when told:
// a connection renamed in the file starts a new cycle under its new name.
TEST_F(WorkWaitTest, ConfigurationIsLookedAtWhenTheRegistryTellsOfAChange) {
  struct Case {
    const char* name;
    std::string config;
    bool connectFails;
    std::atomic<uint64_t>* looks;  // the wait's looks at the configuration
  } cases[] = {
      {"idle session", "[QARHUB]\nModem1=SMPP - a:1\n[SMPP - a:1]\nRouteName=MAIN\n", false, &WorkWaits.changes},
      {"reconnect delay", "[QARHUB]\nModem1=SMPP - a:1\nInitRetryDelay=600\n[SMPP - a:1]\nRouteName=MAIN\n", true,
       &ReconnectWaits.looks},
      {"backup not needed",
       "[QARHUB]\nModem1=SMPP - a:1\nModem2=SMPP - b:1\n[SMPP - a:1]\nRouteName=BACK\nBackupForRoute=MAIN\n"
       "[SMPP - b:1]\nRouteName=MAIN\n",
       false, &BackupWaits.looks},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    centre.connectFails = c.connectFails;
    WriteConfig(c.config);
    BuildOutboundRoutingTables();
    fs::create_directories(OutboundQueueRoot());
    worker = std::thread([] { ThreadProcessModem(1); });
    // In its wait (the file's own change is older than the registry's two-second doubt).
    SleepUnlessShutdown(2500, TickMs());
    int connects = centre.Connects();
    uint64_t looks = c.looks->load();
    SleepUnlessShutdown(5000, TickMs());
    EXPECT_LE(c.looks->load() - looks, 1u) << "looked without being told";
    EXPECT_EQ(centre.Connects(), connects);
    std::string renamed = c.config;
    renamed.replace(renamed.find("Modem1=SMPP - a:1"), 17, "Modem1=SMPP - z:1");
    WriteConfig(renamed);
    NoteConfigurationChange();
    // The look every 30 s would come too late for this bound.
    EXPECT_TRUE(WaitUntil(15000, [&] { return centre.Connects() > connects; })) << "not restarted";
  }
}

// Traffic on an idle link is served at once (the wait includes the socket), and its close
// ends the session.
TEST_F(WorkWaitTest, LinkTrafficIsServedWhileIdle) {
  Start();
  WaitPasses(1);
  uint64_t before = WorkWaits.wakeUps.load();
  ASSERT_EQ(send(centre.theirs.get(), "x", 1, MSG_NOSIGNAL), 1);
  for (int i = 0; i < 100 && WorkWaits.wakeUps.load() == before; ++i) SleepUnlessShutdown(20, TickMs());
  EXPECT_GT(WorkWaits.wakeUps.load(), before);
  // Served: the byte was read, so the socket is quiet again.
  pollfd fd = {centre.ours.get(), POLLIN, 0};
  for (int i = 0; i < 100 && poll(&fd, 1, 0) > 0; ++i) SleepUnlessShutdown(20, TickMs());
  EXPECT_EQ(poll(&fd, 1, 0), 0);
}

// A delayed message written for the current minute is moved into the queue at once (the
// delay-queue thread wakes for the write, not at its next minute) and then sent once.
TEST_F(WorkWaitTest, DelayedFileDueNowIsMovedAndSent) {
  Start();
  WaitPasses(1);
  std::thread delay([] { ThreadProcessDelayQ(); });
  std::string dir = OutboundQueueRoot() + "DELAYQ/" + FormatTimestamp14().substr(0, 8) + "/" +
                    FormatTimestamp14().substr(8, 4) + "/";
  // The thread removes an empty folder of a due minute: made again until the file is in.
  bool written = false;
  int error = 0;
  for (int attempt = 0; attempt < 5 && !written; ++attempt) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    written = PublishFile(dir + "00000009.REQ", Message("+447700900009"), PublishMode::CreateNew);
    error = errno;
  }
  bool sent = written && centre.WaitSubmitted("+447700900009", 30);
  Stop();
  delay.join();
  ASSERT_TRUE(written) << dir << " " << strerror(error);
  ASSERT_TRUE(sent);
  EXPECT_EQ(centre.Submitted("+447700900009"), 1);
  EXPECT_FALSE(fs::exists(dir + "00000009.REQ"));
}

}  // namespace
