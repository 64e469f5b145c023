// What the UCP and CIMD callbacks hand over becomes an inbound file: the older CIMD
// callback's messages, report flags only on reports, reports matched to our message id.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/settings.h"
#include "inbound/inbound_receive.h"
#include "inbound/modem_inbound.h"
#include "outside/qarvault/qarvault.h"
#include "smsc/tests/smsc_test_home.h"
#include "store/durable_writes.h"
#include "store/queue_dirs.h"

namespace fs = std::filesystem;

namespace {

class CentreReceiveTest : public SmscTestHome {
 protected:
  // Later tests of this program read their own folders' directories.
  void TearDown() override {
    SmscTestHome::TearDown();
    ReloadStoreDirectories();
  }
  size_t InboundCount() {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(InboundQueueDir(), ec)) n += e.is_regular_file();
    return n;
  }
  // The one inbound file, removed; else how many there were.
  std::string TakeInbound() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(InboundQueueDir(), ec)) files.push_back(e.path().string());
    if (files.size() != 1) return std::to_string(files.size()) + " files";
    std::string text = fs::path(files[0]).extension().string() + " " + ReadFileText(files[0]);
    fs::remove(files[0]);
    return text;
  }
};

TEST_F(CentreReceiveTest, MessagesAndReportsBecomeInboundFiles) {
  ASSERT_EQ(SMSCMessageIdAdd("UCP - h:1", "4491:081226134921", "0000D001", "", "4930", "4491"), 1);
  ASSERT_EQ(SMSCMessageIdAdd("UCP - h:1", "4492:081226134921", "0000D002", "", "ALPHA", "4492"), 1);
  struct Case {
    const char* label;
    CentreMessage m;
    std::string expected;  // extension, a space, the file
  };
  const Case cases[] = {
      // The older CIMD callback has no flags, receipt id or extra parameters.
      {"CIMDReceiveMessageCallback",
       {"CIMD - h:2", "4477", "5555", "", "hi", 0, 0, 0, 0, "", "", true},
       ".in [SMS-IN]\r\nModemName=CIMD - h:2\r\nSender=4477\r\nPhoneNumber=5555\r\nData=hi\r\n"},
      // State bits without the report bit are not a report; a receipt request is kept.
      {"UCPReceiveMessageCallback",
       {"UCP - h:1", "4478", "5555", "", "hello", 0, 0, 0x02 | 0x08 | 0x20, 0, "4491:081226134921", "", false},
       ".in [SMS-IN]\r\nModemName=UCP - h:1\r\nSender=4478\r\nPhoneNumber=5555\r\nData=hello\r\n"
       "ReceiptRequested=Yes\r\n"},
      // A report of a recorded submission carries our message id.
      {"UCPReceiveMessageCallback",
       {"UCP - h:1", "4491", "4930", "", "delivered", 0, 0, 0x04 | 0x08, 0, "4491:081226134921", "", false},
       ".rec [SMS-IN]\r\nModemName=UCP - h:1\r\nSender=4491\r\nPhoneNumber=4930\r\nData=delivered\r\n"
       "ReceiptDelivered=Yes\r\nReceiptMessageId=0000D001\r\n"},
      // The report goes from the handset to the one who sent the message: the number it was
      // sent from, as recorded, not what the centre put there.
      {"UCPReceiveMessageCallback",
       {"UCP - h:1", "4492", "4930", "", "delivered", 0, 0, 0x04 | 0x08, 0, "4492:081226134921", "", false},
       ".rec [SMS-IN]\r\nModemName=UCP - h:1\r\nSender=4492\r\nPhoneNumber=ALPHA\r\nData=delivered\r\n"
       "ReceiptDelivered=Yes\r\nReceiptMessageId=0000D002\r\n"},
      // The same id on another connection is not ours: left for receipt resolution.
      {"CIMDReceiveMessageCallbackEx",
       {"CIMD - h:2", "4491", "4930", "", "failed", 0, 0, 0x04 | 0x20, 0, "4491:081226134921", "", false},
       ".rct [SMS-IN]\r\nModemName=CIMD - h:2\r\nSender=4491\r\nPhoneNumber=4930\r\nData=failed\r\n"
       "ReceiptFailed=Yes\r\nReceiptMessageId=4491:081226134921\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ReceiveCentreMessage(c.label, c.m)) << c.m.data;
    EXPECT_EQ(TakeInbound(), c.expected) << c.m.data;
  }
  // Nowhere to store it: false, so that the library answers with an error.
  fs::remove_all(InboundQueueDir());
  WriteFileText(InboundQueueDir().substr(0, InboundQueueDir().size() - 1), "not a directory");
  CentreMessage m{"UCP - h:1", "4476", "5555", "", "again", 0, 0, 0, 0, "", "", false};
  EXPECT_FALSE(ReceiveCentreMessage("UCPReceiveMessageCallback", m));
}

// With DurableAccept the acknowledgement to the centre (or a modem's delete, or AT+CNMA)
// follows the flush of the stored file; without it, or for a message a modem pushed without
// asking for an acknowledgement (it has forgotten it already), nothing waits for a flush.
TEST_F(CentreReceiveTest, StoredMessageIsFlushedBeforeItIsAcknowledged) {
  const SettingsBlock saved = Settings;
  const struct {
    const char* name;
    bool durable;
    int modem;  // 0: an SMS centre; 1: a modem that waits (delete, AT+CNMA); 2: one that does not
    size_t flushes;
  } cases[] = {
      {"DurableAccept=Yes", true, 0, 1},
      {"DurableAccept=No", false, 0, 0},
      {"modem, acknowledged", true, 1, 1},
      {"modem, pushed unacknowledged", true, 2, 0},
      {"modem, DurableAccept=No", false, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsBlock s = saved;
    s.DurableAccept = c.durable;
    InstallSettings(s);
    FlushCounts before = DurableFlushCounts();
    const char* connection = c.modem ? "Modem1" : "UCP - h:1";
    if (c.modem) {
      ModemReceived r;
      r.connection = connection;
      r.sender = "4479";
      r.recipient = "5555";
      r.data = "kept";
      r.unacknowledged = c.modem == 2;
      EXPECT_TRUE(ReceiveModemMessage(r));
    } else {
      CentreMessage m{connection, "4479", "5555", "", "kept", 0, 0, 0, 0, "", "", false};
      EXPECT_TRUE(ReceiveCentreMessage("UCPReceiveMessageCallback", m));
    }
    FlushCounts after = DurableFlushCounts();
    EXPECT_EQ(after.flushes - before.flushes, c.flushes);
    // The message file, and the counters' file that may be published beside it.
    EXPECT_EQ(after.files - before.files >= 1, c.flushes != 0);
    EXPECT_EQ(TakeInbound(), std::string(".in [SMS-IN]\r\nModemName=") + connection +
                                 "\r\nSender=4479\r\nPhoneNumber=5555\r\nData=kept\r\n");
  }
  InstallSettings(saved);
}

// Messages stored while a session's scope collects (its answers held) share that scope's
// one flush: none flushes for itself; they stay when the flush is made, and are taken back
// when it never is, so that the centre's next delivery is the only copy.
TEST_F(CentreReceiveTest, MessagesOfAHeldWindowAreSettledByTheSessionsFlush) {
  const SettingsBlock saved = Settings;
  SettingsBlock s = saved;
  s.DurableAccept = true;
  InstallSettings(s);
  const struct {
    const char* name;
    bool flushed;
    size_t filesAfter;
    size_t flushes;
  } cases[] = {{"flushed", true, 3, 1}, {"never flushed", false, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FlushCounts before = DurableFlushCounts();
    {
      DurableWrites session(true);
      for (int i = 0; i < 3; ++i) {
        std::string text = "window " + std::to_string(i);
        CentreMessage m{"UCP - h:1", "4480", "5555", "", text.c_str(), 0, 0, 0, 0, "", "", false};
        EXPECT_TRUE(ReceiveCentreMessage("UCPReceiveMessageCallback", m));
      }
      EXPECT_EQ(InboundCount(), 3u);
      EXPECT_EQ(DurableFlushCounts().flushes, before.flushes);
      if (c.flushed) {
        EXPECT_TRUE(session.Await());
      }
    }
    EXPECT_EQ(DurableFlushCounts().flushes - before.flushes, c.flushes);
    EXPECT_EQ(InboundCount(), c.filesAfter);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(InboundQueueDir(), ec)) fs::remove(e.path());
  }
  InstallSettings(saved);
}

}  // namespace
