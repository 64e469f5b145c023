#include <gtest/gtest.h>

#include "outside/qarvault/qarvault.h"
#include "smsc/smpp/smpp_outcome.h"
#include "smsc/smpp/smpp_receive.h"
#include "smsc/tests/smsc_test_home.h"

namespace {

// Each status in its class, and what the queue pass then does with a failure: given up at
// once, after the attempts, or never for the count.
TEST(SmppOutcome, StatusesAndTheirClasses) {
  struct Case {
    int status;
    bool throttleForQFull;
    const char* rejectList;
    SubmitOutcome outcome;
    bool permanentWithNoRetriesLeft;
  } cases[] = {
      {0, false, "All", SubmitOutcome::Done, false},
      {0x45, false, "", SubmitOutcome::Retry, true},
      {0x45, false, "0x45", SubmitOutcome::Rejected, true},
      {0x45, false, "All", SubmitOutcome::Rejected, true},
      {0x0A, false, "", SubmitOutcome::Rejected, true},
      {0x0B, false, "", SubmitOutcome::Rejected, true},
      {0x66, false, "", SubmitOutcome::Rejected, true},
      {0x58, false, "All", SubmitOutcome::Throttled, false},
      {0x58, false, "0x58", SubmitOutcome::Rejected, true},
      {0x14, false, "All", SubmitOutcome::Busy, false},
      {0x14, true, "", SubmitOutcome::Throttled, false},
      {-1, false, "All", SubmitOutcome::LinkLost, true},
      {-3, false, "All", SubmitOutcome::LinkLost, true},
      {-2, false, "All", SubmitOutcome::Retry, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "status " << c.status << " list " << c.rejectList);
    SubmitOutcome outcome = SmppOutcome(c.status, c.throttleForQFull, c.rejectList);
    EXPECT_EQ(outcome, c.outcome);
    if (outcome == SubmitOutcome::Done) continue;
    OutcomeRules noRetries{0};
    EXPECT_EQ(FailureIsPermanent(noRetries, outcome, 0, false), c.permanentWithNoRetriesLeft);
    OutcomeRules manyRetries{20};
    EXPECT_EQ(FailureIsPermanent(manyRetries, outcome, 0, false), outcome == SubmitOutcome::Rejected);
    EXPECT_TRUE(FailureIsPermanent(manyRetries, outcome, 0, true)) << "too old";
  }
}

class SmppOutcomeHome : public SmscTestHome {};

// The list is the connection's own, else the one of [QARHUB]; read only for a failure.
TEST_F(SmppOutcomeHome, RejectListOfTheConnection) {
  WriteConfig("[QARHUB]\nSMPPRejectErrorCodes=0x45\n[SMPP - a:1]\nSMPPRejectErrorCodes=0x46\n");
  EXPECT_EQ(SmppOutcomeFor("SMPP - a:1", 0x46, false), SubmitOutcome::Rejected);
  EXPECT_EQ(SmppOutcomeFor("SMPP - a:1", 0x45, false), SubmitOutcome::Retry);
  EXPECT_EQ(SmppOutcomeFor("SMPP - b:1", 0x45, false), SubmitOutcome::Rejected);
  EXPECT_EQ(SmppOutcomeFor("SMPP - b:1", 0, false), SubmitOutcome::Done);
}

// The library's wake-up reaches the queue threads of that connection only, and is harmless
// when no thread serves it.
TEST(SmppReceive, QueueWakeSetsTheConnectionsEvent) {
  WakeSmppReceiveAsync("SMPP - nobody:1");
  QarEvent* mine = CreateEventForInterface("SmppReceiveAsync", "SMPP - h:1");
  QarEvent* other = CreateEventForInterface("SmppReceiveAsync", "SMPP - h:2");
  EXPECT_EQ(WaitEventForInterface(mine, 0), 0);
  WakeSmppReceiveAsync("SMPP - h:1");
  EXPECT_EQ(WaitEventForInterface(other, 0), 0);
  EXPECT_EQ(WaitEventForInterface(mine, 0), 1);
  EXPECT_EQ(WaitEventForInterface(mine, 0), 0);
  CloseEventForInterface(other);
  CloseEventForInterface(mine);
}

}  // namespace
