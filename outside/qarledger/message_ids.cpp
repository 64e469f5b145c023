// The message-id entry points: qarvault's store, so that a mapping added through either
// library is found through the other.
#include "outside/qarledger/ledger_db.h"
#include "outside/qarledger/qarledger.h"
#include "outside/qarvault/qarvault.h"

static_assert(QARLEDGER_FIELD_SIZE == SMSC_MSGID_FIELD_SIZE, "one field size for both stores");

extern "C" {

int sqlSMSCMessageIdAdd(const char* connection, const char* smscId, const char* messageId,
                        const char* user, const char* sender, const char* recipient) {
  return SMSCMessageIdAdd(connection, smscId, messageId, user, sender, recipient);
}

int sqlSMSCMessageIdGet2(const char* connection, const char* smscId, char* messageId, char* user,
                         char* sender, char* recipient, int64_t* submitTime) {
  return SMSCMessageIdGet2(connection, smscId, messageId, user, sender, recipient, submitTime);
}

void sqlSMSCMessageIdCloseAll(void) {
  SMSCMessageIdCloseAll();
  LedgerCloseAll();
}

int sqlSMSCMessageIdAddBegin(void) { return SMSCMessageIdBeginBatch(); }
int sqlSMSCMessageIdAddEnd(void) { return SMSCMessageIdEndBatch(); }
void sqlSMSCMessageIdYield(void) { SMSCMessageIdCommitPending(); }

int sqlTestDatabaseOK(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  return SqliteDatabaseIsSound(path) ? 1 : 0;
}

}  // extern "C"
