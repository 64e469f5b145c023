#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <regex>
#include <signal.h>
#include <thread>

#include "runtime/clock.h"
#include "runtime/crash_log.h"
#include "runtime/file_io.h"
#include "runtime/process_runner.h"
#include "tests/support/temp_dir.h"
#include "runtime/thread_frame.h"
#include "runtime/thread_registry.h"
#include "runtime/unique_dir.h"
#include "runtime/unique_fd.h"

TEST(FileIoTest, OpenCreatesMissingDirectoriesOnlyWhenCreating) {
  TempDir dir;
  std::string path = dir.path() + "a/b/c/file.txt";
  UniqueFd none = OpenFileWithRetry(path, O_RDONLY, 0, 500);
  EXPECT_FALSE(none);
  UniqueFd made = OpenFileWithRetry(path, O_RDWR | O_CREAT, 0644, 500);
  ASSERT_TRUE(made);
  EXPECT_TRUE(FileExistsNotDirectory(path));
  EXPECT_TRUE(FileExists(dir.path() + "a/b"));
  EXPECT_FALSE(FileExistsNotDirectory(dir.path() + "a/b"));
}

TEST(FileIoTest, OtherErrorsFailAtOnce) {
  TempDir dir;
  std::string path = dir.path() + "missing.txt";
  uint64_t start = TickMs();
  EXPECT_FALSE(OpenFileWithRetry(path, O_RDONLY, 0, 3000));
  EXPECT_EQ(errno, ENOENT);
  std::string asDir = dir.path();
  EXPECT_FALSE(OpenFileWithRetry(asDir, O_WRONLY, 0, 3000));  // EISDIR
  EXPECT_LT(TickMs() - start, 1000u);
}

TEST(FileIoTest, ExclusiveOpenWaitsWhileLockedAndGivesUpAfterTheTimeout) {
  TempDir dir;
  std::string path = dir.path() + "locked.req";
  UniqueFd holder(open(path.c_str(), O_RDWR | O_CREAT, 0644));
  ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);

  uint64_t start = TickMs();
  EXPECT_FALSE(OpenFileWithRetry(path, O_RDWR, 0, 200, true));
  EXPECT_GE(TickMs() - start, 200u);

  std::thread unlocker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holder.reset();
  });
  UniqueFd claimed = OpenFileWithRetry(path, O_RDWR, 0, 5000, true);
  unlocker.join();
  EXPECT_TRUE(claimed);
}

TEST(FileIoTest, CountFilesMatchesWithoutCaseAndSkipsDirectories) {
  TempDir dir;
  for (const char* name : {"A.REQ", "b.req", "c.Req", "d.req.tmp", "e.err"}) {
    UniqueFd fd(open((dir.path() + name).c_str(), O_WRONLY | O_CREAT, 0644));
  }
  ASSERT_TRUE(CreatePathDirectories(dir.path() + "sub.req/x"));
  EXPECT_EQ(CountFiles(dir.path() + "*.REQ"), 3u);
  EXPECT_EQ(CountFiles(dir.path() + "*"), 5u);
  EXPECT_EQ(CountFiles(dir.path() + "nothere/*.REQ"), 0u);
}

// Descriptors this process has open.
size_t OpenDescriptors() {
  size_t n = 0;
  for (UniqueDir d("/proc/self/fd/"); d.Next() != nullptr;) ++n;
  return n;
}

TEST(FileIoTest, DirectoryHandleClosesOnceWhereverItEnds) {
  TempDir dir;
  UniqueFd made(open((dir.path() + "a").c_str(), O_WRONLY | O_CREAT, 0644));
  const size_t before = OpenDescriptors();
  {
    UniqueDir listing(dir.path());
    ASSERT_TRUE(listing);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    size_t entries = 0;
    while (listing.Next() != nullptr) ++entries;
    EXPECT_EQ(entries, 3u);  // ".", ".." and "a"
    UniqueDir moved(std::move(listing));
    EXPECT_FALSE(listing);
    EXPECT_EQ(listing.Next(), nullptr);
    EXPECT_EQ(OpenDescriptors(), before + 1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  UniqueDir missing(dir.path() + "nothere/");
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.Next(), nullptr);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(FileIoTest, WriteTextAndReadBack) {
  TempDir dir;
  std::string path = dir.path() + "t.txt";
  {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT, 0644));
    EXPECT_EQ(WriteText(fd.get(), "[SMS]\r\nTo=1\r\n"), 13u);
  }
  std::string back;
  ASSERT_TRUE(ReadWholeFile(path, back));
  EXPECT_EQ(back, "[SMS]\r\nTo=1\r\n");
  EXPECT_FALSE(ReadWholeFile(path, back, 4));  // over the limit
}

TEST(ProcessRunnerTest, ArgumentsAreNeverInterpretedByAShell) {
  TempDir dir;
  std::string out = dir.path() + "out.txt";
  ProcessOptions options;
  options.stdoutPath = out;
  EXPECT_EQ(RunProcess({"echo", "a;b", "$(id)", "`x`"}, options), 0);
  std::string text;
  ReadWholeFile(out, text);
  EXPECT_EQ(text, "a;b $(id) `x`\n");
  EXPECT_EQ(RunProcess({"/nonexistent/program"}, options), -1);
  options.timeoutMs = 100;
  EXPECT_EQ(RunProcess({"sleep", "5"}, options), -2);
  EXPECT_EQ(RunProcess({"sh", "-c", "exit 3"}, ProcessOptions{}), 3);
}

// In its own process group, a program that ran past its time is killed with the children it
// started; its output goes to a descriptor the caller holds. The pipe ends only once every
// process that held it (the program and its child) is gone.
TEST(ProcessRunnerTest, OwnProcessGroupIsKilledWhole) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  ProcessOptions options;
  options.stdoutFd = writeEnd.get();
  options.stderrToStdout = true;
  options.ownProcessGroup = true;
  options.timeoutMs = 300;
  EXPECT_EQ(RunProcess({"sh", "-c", "sleep 30 & echo started; echo oops >&2; wait"}, options), -2);
  writeEnd.reset();
  std::string text;
  char buffer[256];
  for (;;) {
    pollfd p{readEnd.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "the child still holds the pipe: " << text;
    ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  EXPECT_EQ(text, "started\noops\n");
}

namespace {
// Runs body in a child process with the crash handlers installed (logging into dir) and
// returns the child's wait status; -1 when it could not be run.
int RunWithCrashHandlers(const std::string& dir, const std::function<void()>& body) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    InstallCrashHandlers(dir, dir);
    body();
    _exit(0);
  }
  int status = 0;
  return waitpid(child, &status, 0) == child ? status : -1;
}
}  // namespace

// A child process crashes in two threads at once: EXCEPT.LOG gets exactly one entry and
// the process ends with the crash code.
TEST(CrashLogTest, FatalSignalWritesOneEntryAndExits) {
  TempDir dir;
  int status = RunWithCrashHandlers(dir.path(), [] {
    std::thread other([] {
      AssignThreadNumber("ThreadCrashTwin");
      raise(SIGSEGV);
    });
    AssignThreadNumber("ThreadCrash");
    raise(SIGSEGV);
    other.join();
  });
  ASSERT_NE(status, -1);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kCrashExitCode);
  std::string text;
  ASSERT_TRUE(ReadWholeFile(dir.path() + "EXCEPT.LOG", text));
  std::regex entry(
      R"(Exception occurred in thread #\d+\r\nThread Description:  ThreadCrash(Twin)?\r\n[A-Z][a-z]+ \d+, \d{4} @ \d\d:\d\d\r\n-------\r\n)");
  EXPECT_TRUE(std::regex_match(text, entry)) << text;
}

namespace {
// Deep enough to reach the guard page whatever the stack's size.
volatile int g_recursionLimit = 1 << 30;
int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = char(depth);
  if (depth >= g_recursionLimit) return frame[0];
  return Recurse(depth + 1) + frame[0];
}
}  // namespace

// Threads that end leave their alternate signal stack to the next ones, and a stack overflow
// on a stack handed on that way is still caught (the handler runs on it) and logged.
TEST(CrashLogTest, AlternateStacksPassToLaterThreadsAndStillCatchAnOverflow) {
  TempDir dir;
  int status = RunWithCrashHandlers(dir.path(), [] {
    auto altStack = [] {
      stack_t ss{};
      sigaltstack(nullptr, &ss);
      return (ss.ss_flags & SS_DISABLE) ? nullptr : ss.ss_sp;
    };
    // A mark left at the far end of the first thread's stack (a fresh mapping is all zeros).
    bool marked = false, handedOn = false;
    std::thread([&] {
      RunInThreadFrame("ThreadFirst", [&] {
        if (auto* stack = static_cast<volatile char*>(altStack())) stack[0] = 'Q', marked = true;
      });
    }).join();
    std::thread([&] {
      RunInThreadFrame("ThreadSecond", [&] {
        if (auto* stack = static_cast<volatile char*>(altStack())) handedOn = stack[0] == 'Q';
      });
    }).join();
    if (!marked || !handedOn) _exit(3);
    std::thread([] { RunInThreadFrame("ThreadOverflow", [] { Recurse(0); }); }).join();
  });
  ASSERT_NE(status, -1);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  ASSERT_NE(WEXITSTATUS(status), 3) << "the second thread did not get the first one's stack";
  EXPECT_EQ(WEXITSTATUS(status), kCrashExitCode);
  std::string text;
  ASSERT_TRUE(ReadWholeFile(dir.path() + "EXCEPT.LOG", text));
  EXPECT_NE(text.find("Thread Description:  ThreadOverflow"), std::string::npos) << text;
}
