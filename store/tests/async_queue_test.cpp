#include "store/async_delivery_queue.h"

#include <gtest/gtest.h>

#include "runtime/file_io.h"
#include "store/message_file.h"
#include "store/tests/store_home.h"

namespace {
std::unique_ptr<AsyncQueueEntry> Entry(const std::string& path, int* accepted) {
  auto e = std::make_unique<AsyncQueueEntry>();
  EXPECT_TRUE(ClaimQueueFile(path, e->file));
  e->retryCount = 1;
  e->onAccepted = [accepted] { ++*accepted; };
  return e;
}
}  // namespace

TEST(AsyncQueueTest, AnswersDecideTheFilesAndAbandonedEntriesAreKept) {
  StoreHome home;
  std::string dir = home.path() + "USERS/bob/Q/";
  struct Case {
    uint32_t status;
    bool kept;
    uint32_t retryCount;
  } cases[] = {{0, false, 0},        {0x14, true, 2},     {0x58, true, 2},
               {0xFFFF0001u, true, 2}, {0x45, false, 0}};
  AsyncQueue queue;
  int accepted = 0;
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string path = dir + std::to_string(i) + ".req";
    WriteFileText(path, "[SMS]\r\nPhoneNumber=1\r\n[ErrorDetail]\r\nRetryCount=1\r\n");
    ids.push_back(AsyncQueueAppend(queue, Entry(path, &accepted)));
  }
  EXPECT_EQ(AsyncQueueDepth(queue), 5u);
  for (size_t i = 0; i < std::size(cases); ++i) ASSERT_TRUE(AsyncQueueSetResult(queue, ids[i], cases[i].status));
  AsyncQueueComplete(queue, 1);  // two entries at most
  EXPECT_EQ(AsyncQueueDepth(queue), 3u);
  AsyncQueueComplete(queue, 10);
  EXPECT_EQ(AsyncQueueDepth(queue), 0u);
  EXPECT_EQ(accepted, 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string path = dir + std::to_string(i) + ".req";
    ASSERT_EQ(FileExists(path), cases[i].kept) << i;
    if (!cases[i].kept) continue;
    ClaimedFile f;
    ASSERT_TRUE(ClaimQueueFile(path, f)) << "the claim was released";
    SmsMessageRecord r;
    LoadSMSMessage(f, r);
    EXPECT_EQ(r.RetryCount, cases[i].retryCount);
    EXPECT_EQ(ReadFileText(path).find("LastErrorInfo"), std::string::npos);
  }
  // A closing session: the unanswered entry keeps its file and retry state, the answered one
  // is completed, and nothing stays claimed.
  WriteFileText(dir + "a.req", "[SMS]\r\nPhoneNumber=1\r\n");
  WriteFileText(dir + "b.req", "[SMS]\r\nPhoneNumber=2\r\n");
  AsyncQueueAppend(queue, Entry(dir + "a.req", &accepted));
  uint64_t b = AsyncQueueAppend(queue, Entry(dir + "b.req", &accepted));
  AsyncQueueSetResult(queue, b, 0);
  AsyncQueueAbandon(queue);
  EXPECT_EQ(AsyncQueueDepth(queue), 0u);
  EXPECT_EQ(ReadFileText(dir + "a.req"), "[SMS]\r\nPhoneNumber=1\r\n");
  EXPECT_FALSE(FileExists(dir + "b.req"));
  ClaimedFile f;
  EXPECT_TRUE(ClaimQueueFile(dir + "a.req", f));
  EXPECT_FALSE(AsyncQueueSetResult(queue, b, 0));
}
