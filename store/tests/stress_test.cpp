// Writers, claimer threads and a second process on one queue directory: every file is read
// complete and sent (deleted) exactly once, none is lost.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "runtime/file_io.h"
#include "store/message_file.h"
#include "store/message_writer.h"
#include "store/queue_dirs.h"
#include "store/queue_file.h"
#include "store/tests/store_home.h"
#include "store/unique_files.h"

namespace {
constexpr int kWriters = 3;
constexpr int kFilesPerWriter = 1000;
constexpr int kClaimers = 3;
const std::string kPadding(3000, 'x');

bool Complete(const std::string& content) {
  SmsMessageRecord r;
  ParseSMSMessage(content, r);
  size_t end = content.find("End=1\r\n");
  return !r.PhoneNumber.empty() && r.Data == kPadding && end != std::string::npos;
}

struct Outcome {
  std::vector<std::string> deleted;
  unsigned partial = 0;
  unsigned rewrites = 0;
};

// One claimer pass over the directory; false when it found no file.
bool ClaimPass(const std::string& dir, Outcome& out, bool rewriteSome) {
  QueueWalk walk;
  std::string rel;
  bool any = false;
  for (bool more = QueueWalkFirst(walk, dir, "*.REQ", true, rel); more; more = QueueWalkNext(walk, rel)) {
    any = true;
    ClaimedFile f;
    if (!ClaimQueueFile(dir + rel, f)) continue;
    std::string content;
    if (!ReadClaimedFile(f, content, kMaxMessageFileSize) || !Complete(content)) ++out.partial;
    bool retried = content.find("[ErrorDetail]") != std::string::npos;
    if (rewriteSome && !retried && rel[rel.size() - 5] % 3 == 0) {
      // A failed attempt: the file stays for a later pass with its retry state.
      if (WriteErrorDetail(f, 0, "busy", "stress")) ++out.rewrites;
      ReleaseClaim(f);
      continue;
    }
    if (DeleteClaimedFile(f)) out.deleted.push_back(rel);
  }
  return any;
}
}  // namespace

TEST(QueueStressTest, EveryFileIsSentExactlyOnceAndNeverReadPartly) {
  StoreHome home;
  std::string dir = OutboundQueueRoot();
  std::string doneFlag = home.path() + "WRITERS.DONE";
  std::string childResults = home.path() + "child.txt";
  CreatePathDirectories(dir);

  // The second process starts before any thread of this one.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Outcome out;
    for (int idle = 0; idle < 2000;) {
      bool writersDone = FileExists(doneFlag);
      if (ClaimPass(dir, out, false)) {
        idle = 0;
      } else if (writersDone) {
        break;
      } else {
        ++idle;
        usleep(5000);
      }
    }
    std::string text = "partial=" + std::to_string(out.partial) + "\n";
    for (const std::string& n : out.deleted) text += n + "\n";
    WriteFileText(childResults, text);
    _exit(0);
  }

  std::atomic<bool> writersDone{false};
  std::mutex lock;
  std::set<std::string> written;
  std::vector<std::string> deleted;
  unsigned partial = 0, rewrites = 0, writeFailures = 0;

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kFilesPerWriter; ++i) {
        SmsMessageRecord m;
        m.PhoneNumber = std::to_string(w) + "-" + std::to_string(i);
        m.Data = kPadding;
        m.ExtraArguments = {{"End", "1"}};
        // Half the files go to subdirectories, as per-user queues do.
        std::string sub = i % 2 == 0 ? dir : dir + "user" + std::to_string(i % 5) + "/";
        std::string path = CreateUniqueFile(sub, "req", MessageFileText(m, MessageLayout::Complete));
        std::lock_guard<std::mutex> g(lock);
        if (path.empty()) {
          ++writeFailures;
        } else {
          written.insert(path.substr(dir.size()));
        }
      }
    });
  }
  std::vector<std::thread> claimers;
  for (int c = 0; c < kClaimers; ++c) {
    claimers.emplace_back([&] {
      Outcome out;
      for (;;) {
        bool done = writersDone.load();
        if (!ClaimPass(dir, out, true) && done) break;
      }
      std::lock_guard<std::mutex> g(lock);
      deleted.insert(deleted.end(), out.deleted.begin(), out.deleted.end());
      partial += out.partial;
      rewrites += out.rewrites;
    });
  }
  for (auto& t : threads) t.join();
  writersDone = true;
  WriteFileText(doneFlag, "");
  for (auto& t : claimers) t.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  std::string childText = ReadFileText(childResults);
  ASSERT_EQ(childText.rfind("partial=", 0), 0u);
  size_t nl = childText.find('\n');
  EXPECT_EQ(childText.substr(8, nl - 8), "0") << "the second process read a partial file";
  size_t fromChild = 0;
  for (size_t pos = nl + 1; pos < childText.size();) {
    size_t end = childText.find('\n', pos);
    deleted.push_back(childText.substr(pos, end - pos));
    ++fromChild;
    pos = end + 1;
  }

  EXPECT_EQ(writeFailures, 0u);
  EXPECT_EQ(partial, 0u);
  EXPECT_EQ(written.size(), static_cast<size_t>(kWriters * kFilesPerWriter));
  std::multiset<std::string> once(deleted.begin(), deleted.end());
  for (const std::string& name : once) EXPECT_EQ(once.count(name), 1u) << name << " sent twice";
  EXPECT_EQ(std::set<std::string>(deleted.begin(), deleted.end()), written) << "lost or unknown files";
  EXPECT_GT(rewrites, 0u);
  EXPECT_GT(fromChild, 0u) << "the second process took part";
}
