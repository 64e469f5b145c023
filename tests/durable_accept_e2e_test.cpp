// Durable acceptance seen from outside the real gateway: the order of its system calls
// (every answer after the flush of its file and directory), and no answered message lost
// when the gateway is killed under load.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/gateway_process.h"
#include "tests/support/strace_log.h"
#include "tests/support/ports.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> MessageIds(const std::string& text) {
  std::vector<std::string> ids;
  static const std::regex id(R"(MessageID=([0-9A-Za-z]+))");
  for (std::sregex_iterator i(text.begin(), text.end(), id), end; i != end; ++i) ids.push_back((*i)[1]);
  return ids;
}

// The message ids of the files queued under Q/ (names without extension).
std::set<std::string> QueuedIds(const std::string& home) {
  std::set<std::string> ids;
  for (const std::string& path : FilesUnder(home + "Q")) {
    std::string name = fs::path(path).filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".req") == 0) ids.insert(name.substr(0, name.size() - 4));
  }
  return ids;
}

// The ids of a trace: a published queue file's name, and the ids an answer gives.
FlushCoverage ReadTrace(const std::string& text) {
  static const std::regex req(R"re(/([0-9A-Za-z]+)\.req")re");
  AnswerIds ids;
  ids.published = [](const std::string& link) {
    std::smatch m;
    return std::regex_search(link, m, req) ? std::string(m[1]) : std::string();
  };
  ids.answered = MessageIds;
  return ReadFlushCoverage(
      text, [](const std::string& call) { return call.find(".req\"") != std::string::npos; }, "MessageID=", &ids);
}

// Under strace, eight clients at once: with DurableAccept every answered file is flushed,
// data and directory entry, before its answer; without it nothing of the queue is flushed.
TEST(DurableAcceptE2e, AnswersFollowTheFlushOfTheirFiles) {
  const struct {
    const char* setting;
    bool durable;
  } cases[] = {{"DurableAccept=Yes", true}, {"", true}, {"DurableAccept=No", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    WebGateway g;
    g.Configure(*c.setting ? std::vector<std::string>{c.setting} : std::vector<std::string>{});
    std::string trace = g.home.path() + "strace.log";
    GatewayProcess p(g.home, "/usr/bin/strace",
                     {"-f", "-y", "-s", "4096", "-e", "trace=linkat,fdatasync,fsync,syncfs,close,write,writev,sendto,sendmsg",
                      "-o", trace, BinDirectory() + "qargate"});
    ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
    std::vector<std::thread> clients;
    std::mutex lock;
    std::vector<std::string> answers;
    for (int k = 0; k < 8; ++k) {
      clients.emplace_back([&, k] {
        for (int n = 0; n < 5; ++n) {
          std::string a = LoopbackHttpGet(g.port, "/?PhoneNumber=4477009" + std::to_string(k * 10 + n) + "&Text=durable");
          std::lock_guard<std::mutex> guard(lock);
          answers.push_back(a);
        }
      });
    }
    for (std::thread& t : clients) t.join();
    std::set<std::string> ids;
    for (const std::string& a : answers) {
      EXPECT_NE(a.find(" 200 "), std::string::npos) << a;
      for (const std::string& id : MessageIds(a)) ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 40u);
    pid_t gateway = FirstChildOf(p.pid());
    ASSERT_GT(gateway, 0);
    kill(gateway, SIGTERM);
    int code = -1;
    ASSERT_TRUE(p.WaitExit(30000, code));
    FlushCoverage t = ReadTrace(ReadFileText(trace));
    EXPECT_EQ(t.answeredIds, ids);
    EXPECT_EQ(t.linkedIds, ids);  // every file published by a link of an unnamed file
    if (c.durable) {
      EXPECT_EQ(t.dataFlushedBeforeAnswer, ids);
      EXPECT_EQ(t.coveredBeforeAnswer, ids);
    } else {
      EXPECT_TRUE(t.dataFlushedBeforeAnswer.empty());
      EXPECT_TRUE(t.coveredBeforeAnswer.empty());
    }
    EXPECT_EQ(QueuedIds(g.home.path()), ids);
  }
}

// A disk that fails its flushes (EIO, from a preloaded shim while a flag file exists): the
// submitter is told the message was not accepted, its file stays queued, and the gateway
// answers as before once the flushes work again.
TEST(DurableAcceptE2e, AFailedFlushIsAnsweredAsAFailureAndLosesNothing) {
  WebGateway g;
  g.Configure({"DurableAccept=Yes"});
  std::string flag = g.home.path() + "flushes-fail";
  const char* asan = getenv("ASAN_OPTIONS");
  // The sanitizer's runtime must otherwise be the first library loaded.
  std::string asanOptions = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
  GatewayProcess p(g.home, "/usr/bin/env",
                   {"LD_PRELOAD=" + BinDirectory() + "libflush_failure_shim.so", "QAR_TEST_FLUSH_FAILS_WHILE=" + flag,
                    "ASAN_OPTIONS=" + asanOptions, BinDirectory() + "qargate"});
  ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
  const struct {
    const char* phase;
    bool flushesFail;
    int requests;
  } phases[] = {{"healthy disk", false, 2}, {"flushes fail", true, 3}, {"disk recovered", false, 2}};
  std::set<std::string> answeredIds;
  int sent = 0;
  for (const auto& ph : phases) {
    SCOPED_TRACE(ph.phase);
    if (ph.flushesFail) {
      WriteFileText(flag, "");
    } else {
      fs::remove(flag);
    }
    for (int n = 0; n < ph.requests; ++n, ++sent) {
      std::string a = LoopbackHttpGet(g.port, "/?PhoneNumber=4477009" + std::to_string(100 + sent) + "&Text=eio", 30);
      std::vector<std::string> ids = MessageIds(a);
      if (ph.flushesFail) {
        EXPECT_EQ(a.rfind("HTTP/1.1 403 ", 0), 0u) << a;
        EXPECT_NE(a.find("The message files could not be flushed to stable storage"), std::string::npos) << a;
        EXPECT_TRUE(ids.empty()) << a;
      } else {
        EXPECT_EQ(a.rfind("HTTP/1.1 200 ", 0), 0u) << a;
        EXPECT_EQ(ids.size(), 1u) << a;
        answeredIds.insert(ids.begin(), ids.end());
      }
    }
  }
  // Nothing lost: the files of the refused submissions are still queued beside the others.
  std::set<std::string> queued = QueuedIds(g.home.path());
  EXPECT_EQ(queued.size(), size_t(sent));
  for (const std::string& id : answeredIds) EXPECT_TRUE(queued.count(id)) << id;
  EXPECT_TRUE(p.Running());
}

// Sixteen clients submitting one message per request, each to numbers of its own, until
// stopped; a client also ends when the gateway stops answering.
struct SubmissionLoad {
  std::mutex lock;
  std::set<std::string> answered;  // GUARDED_BY(lock)
  size_t unanswered = 0;           // GUARDED_BY(lock)
  std::atomic<bool> stop{false};
  std::atomic<size_t> sent{0};
  std::vector<std::thread> clients;

  SubmissionLoad(uint16_t port, long first, long waitSeconds) {
    for (long k = 0; k < 16; ++k) {
      clients.emplace_back([this, port, first, waitSeconds, k] {
        for (long n = 0; !stop.load(); ++n) {
          std::string a = LoopbackHttpGet(port, "/?PhoneNumber=44770" + std::to_string(first + k * 5000 + n) + "&Text=load",
                                  waitSeconds);
          std::vector<std::string> ids = MessageIds(a);
          std::lock_guard<std::mutex> guard(lock);
          if (ids.empty()) ++unanswered;
          answered.insert(ids.begin(), ids.end());
          sent.fetch_add(1);
          if (a.empty()) return;
        }
      });
    }
  }
  ~SubmissionLoad() { Stop(); }
  void Stop() {
    stop.store(true);
    for (std::thread& t : clients)
      if (t.joinable()) t.join();
  }
};

// Three kills under full load: every message answered before a kill is queued after it.
TEST(DurableAcceptE2e, KilledThreeTimesUnderLoadLosesNoAnsweredMessage) {
  WebGateway g;
  g.Configure();
  std::set<std::string> answered;
  size_t unanswered = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    GatewayProcess p(g.home);
    ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
    SubmissionLoad load(g.port, round * 100000, 10);
    // Killed once it is busy, not at a quiet moment.
    ASSERT_TRUE(WaitUntil(20000, [&] { return load.sent.load() >= 300; }));
    p.Signal(SIGKILL);
    int code = -1;
    ASSERT_TRUE(p.WaitExit(10000, code));
    EXPECT_EQ(code, 128 + SIGKILL);
    load.Stop();
    answered.insert(load.answered.begin(), load.answered.end());
    unanswered += load.unanswered;
  }
  std::set<std::string> queued = QueuedIds(g.home.path());
  std::vector<std::string> lost;
  for (const std::string& id : answered)
    if (!queued.count(id)) lost.push_back(id);
  EXPECT_GE(answered.size(), 900u);
  EXPECT_TRUE(lost.empty()) << lost.size() << " answered messages lost, first " << lost.front();
  // A cut connection is at most one unanswered message per client and kill.
  EXPECT_LE(unanswered, 3u * 16u);
}

// A file system of its own for a gateway's data folder: an ext4 image loop-mounted on a
// directory. Needs root and loop devices; mounted() says whether it worked.
class LoopFs {
 public:
  LoopFs(const std::string& image, const std::string& mountPoint, bool format) : image_(image), mountPoint_(mountPoint) {
    std::string make = format ? "truncate -s 256M '" + image + "' && mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1 && "
                              : std::string();
    mounted_ = system((make + "mount -o loop '" + image + "' '" + mountPoint + "' 2>/dev/null").c_str()) == 0;
  }
  ~LoopFs() { Unmount(); }
  bool mounted() const { return mounted_; }
  void Unmount() {
    if (mounted_ && system(("umount '" + mountPoint_ + "'").c_str()) == 0) mounted_ = false;
  }

 private:
  std::string image_, mountPoint_;
  bool mounted_ = false;
};

// A power cut, as far as this machine can show one: the gateway is stopped (SIGSTOP) in the
// middle of the load, the disk image is copied as the device holds it at that moment (what
// the kernel never wrote out is not in it), and the copy is mounted, which replays its
// journal as a boot after the cut would. Every message answered before the stop must be in
// the copy when the gateway flushes before answering.
TEST(DurableAcceptE2e, ACopyOfTheDiskAtTheCutHoldsEveryAnsweredMessage) {
  const struct {
    const char* setting;
    bool mustKeepAll;
  } cases[] = {{"DurableAccept=Yes", true}, {"DurableAccept=No", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    TempDir work;
    WebGateway g;
    LoopFs disk(work.path() + "disk.img", g.home.path(), true);
    if (!disk.mounted()) GTEST_SKIP() << "no loop mount here (root and loop devices are needed)";
    g.Configure({c.setting});
    std::set<std::string> answered;
    {
      GatewayProcess p(g.home);
      ASSERT_TRUE(WaitReady(p, g.port)) << p.Output();
      SubmissionLoad load(g.port, 0, 2);
      ASSERT_TRUE(WaitUntil(20000, [&] { return load.sent.load() >= 500; }));
      p.Signal(SIGSTOP);
      load.Stop();  // an answer read now left before the stop
      answered = load.answered;
      ASSERT_EQ(system(("cp --sparse=always '" + work.path() + "disk.img' '" + work.path() + "cut.img'").c_str()), 0);
      p.Signal(SIGKILL);
      int code = -1;
      ASSERT_TRUE(p.WaitExit(10000, code));
    }
    disk.Unmount();
    std::string after = work.path() + "after/";
    fs::create_directories(after);
    LoopFs booted(work.path() + "cut.img", after, false);
    ASSERT_TRUE(booted.mounted());
    std::set<std::string> kept = QueuedIds(after);
    booted.Unmount();
    size_t lost = 0;
    for (const std::string& id : answered) lost += kept.count(id) ? 0 : 1;
    std::cout << c.setting << ": " << answered.size() << " answered before the cut, " << lost << " not on the disk\n";
    EXPECT_GE(answered.size(), 400u);
    if (c.mustKeepAll) {
      EXPECT_EQ(lost, 0u);
    } else {
      // Without the flush the last seconds are lost: the cut is a real one.
      EXPECT_GT(lost, 0u);
    }
  }
}

// A call another thread interrupted comes back whole, its result as a complete line has it.
TEST(StraceLog, SplitCallsAreJoinedWithTheirResult) {
  const std::string log =
      "7 syncfs(4</tmp/a>) = 0\n"
      "7 syncfs(4</tmp/a> <unfinished ...>\n"
      "8 sendto(5<socket:[1]>, \"\\x80\", 1, 0, NULL, 0) = 1\n"
      "7 <... syncfs resumed>)             = 0\n"
      "not a call\n";
  std::vector<std::string> seen;
  ForEachTracedCall(log, [&](const TracedCall& c) {
    seen.push_back(c.pid + (c.complete ? "" : " begun") + (c.resumed ? " resumed" : "") + ": " + c.call);
  });
  const std::vector<std::string> expected = {
      "7: syncfs(4</tmp/a>) = 0",
      "7 begun: syncfs(4</tmp/a>",
      "8: sendto(5<socket:[1]>, \"\\x80\", 1, 0, NULL, 0) = 1",
      "7 resumed: syncfs(4</tmp/a>) = 0",
  };
  EXPECT_EQ(seen, expected);
}

// An answer is covered only by a flush that began after the link of every file before it;
// a flush still running when the next file is linked does not cover that file.
TEST(StraceLog, AnswersCountAsCoveredOnlyByAFlushBegunAfterTheirFiles) {
  const std::string link = "linkat(AT_FDCWD, \"/proc/self/fd/9\", AT_FDCWD, \"/q/A.req\", AT_SYMLINK_FOLLOW) = 0\n";
  const std::string answer = "sendto(5, \"\\x80\\x00\\x00\\x04\\x80\\x00\\x00\\x04\", 8, 0, NULL, 0) = 8\n";
  const struct {
    const char* name;
    std::string log;
    size_t linked, flushes, answers, answersBeforeFlush;
    bool dataFlushed, covered;  // of the answered id "A", before its answer
  } cases[] = {
      {"answered after its flush", "7 " + link + "7 syncfs(4) = 0\n7 " + answer, 1, 1, 2, 0, true, true},
      {"answered before any flush", "7 " + link + "7 " + answer + "7 syncfs(4) = 0\n", 1, 1, 2, 2, false, false},
      {"flush begun before the second link",
       "7 " + link + "8 syncfs(4 <unfinished ...>\n7 " + link + "8 <... syncfs resumed>)   = 0\n7 " + answer, 2, 1, 2, 2,
       false, false},
      {"a failed flush covers nothing", "7 " + link + "7 syncfs(4) = -1 EIO (Input/output error)\n7 " + answer, 1, 0, 2,
       2, false, false},
      {"a failed link is no file", "7 linkat(AT_FDCWD, \"x\", AT_FDCWD, \"/q/B.req\", 0) = -1 EEXIST (File exists)\n7 " + answer,
       0, 0, 2, 0, false, false},
      // A file flushed by itself: its data through the descriptor it was linked from, then
      // the directory that names it.
      {"flushed by itself", "7 " + link + "7 fdatasync(9</q/#12 (deleted)>) = 0\n7 fsync(4</q>) = 0\n7 " + answer, 1, 1,
       2, 0, true, true},
      {"its data flushed, its directory not", "7 " + link + "7 fdatasync(9</q/#12 (deleted)>) = 0\n7 " + answer, 1, 0,
       2, 2, true, false},
      {"its directory flushed before its data",
       "7 " + link + "7 fsync(4</q>) = 0\n7 fdatasync(9</q/#12 (deleted)>) = 0\n7 " + answer, 1, 0, 2, 2, true, false},
      {"another directory flushed", "7 " + link + "7 fdatasync(9</q/#12 (deleted)>) = 0\n7 fsync(4</r>) = 0\n7 " + answer,
       1, 0, 2, 2, true, false},
      {"its descriptor closed, the number flushed again",
       "7 " + link + "7 close(9</q/#12 (deleted)>) = 0\n7 fdatasync(9</r/C.req>) = 0\n7 fsync(4</q>) = 0\n7 " + answer, 1,
       0, 2, 2, false, false},
      {"a failed fdatasync covers nothing",
       "7 " + link + "7 fdatasync(9</q/#12 (deleted)>) = -1 EIO (Input/output error)\n7 fsync(4</q>) = 0\n7 " + answer, 1,
       0, 2, 2, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerIds ids;
    ids.published = [](const std::string&) { return std::string("A"); };
    ids.answered = [](const std::string&) { return std::vector<std::string>{"A"}; };
    FlushCoverage t = ReadFlushCoverage(
        c.log, [](const std::string& call) { return call.find(".req\"") != std::string::npos; }, "\\x80\\x00\\x00\\x04",
        &ids);
    EXPECT_EQ(t.linked, c.linked);
    EXPECT_EQ(t.flushes, c.flushes);
    EXPECT_EQ(t.answers, c.answers);
    EXPECT_EQ(t.answersBeforeFlush, c.answersBeforeFlush);
    EXPECT_EQ(t.linkedIds.size(), c.linked == 0 ? 0u : 1u);
    EXPECT_EQ(t.dataFlushedBeforeAnswer.count("A"), c.dataFlushed ? 1u : 0u);
    EXPECT_EQ(t.coveredBeforeAnswer.count("A"), c.covered ? 1u : 0u);
  }
}

}  // namespace
