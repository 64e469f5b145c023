// qarledger: the message-id, short-URL and segment-id store and the MMS user and message
// id records, in SQLite. The gateway loads it by name and binds each entry point by its
// export name; the typedefs are the types of those bindings.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QARLEDGER_API __attribute__((visibility("default")))

// ---- Message ids: (connection, message-centre id) -> the gateway's message. The same
// store as qarvault's SMSCMessageId* ("MSGID.DB" in the message-id tracking directory).
// Out buffers are QARLEDGER_FIELD_SIZE bytes each; null out pointers are skipped. ----

#define QARLEDGER_FIELD_SIZE 256

// Stores the mapping (replacing an older one of the same key) with the current time.
QARLEDGER_API int sqlSMSCMessageIdAdd(const char* connection, const char* smscId,
                                      const char* messageId, const char* user, const char* sender,
                                      const char* recipient);
// 1 when found: message id, submitting user, sender, recipient and submission time
// (seconds since 1970).
QARLEDGER_API int sqlSMSCMessageIdGet2(const char* connection, const char* smscId,
                                       char* messageId, char* user, char* sender, char* recipient,
                                       int64_t* submitTime);
// Closes every database handle of the library (also the short-URL, segment-id and MMS id
// stores); the next call reopens what it needs.
QARLEDGER_API void sqlSMSCMessageIdCloseAll(void);
// Adds between AddBegin and AddEnd form one transaction; Yield commits one left pending.
QARLEDGER_API int sqlSMSCMessageIdAddBegin(void);
QARLEDGER_API int sqlSMSCMessageIdAddEnd(void);
QARLEDGER_API void sqlSMSCMessageIdYield(void);

// 1 only for a sound SQLite database (opened read-only, integrity check passed).
QARLEDGER_API int sqlTestDatabaseOK(const char* path);

// ---- Short URLs ("LEDGER.DB" in the message-id tracking directory). ----

// Gives the URL a short code (the same code when the URL is known), copied zero-terminated
// into code (cut to size - 1; codes are 8 characters). 1 on success.
QARLEDGER_API int sqlShortURLAdd(const char* url, char* code, uint32_t size);
// Copies the URL of a code; 1 when found, 0 when unknown or when it does not fit.
QARLEDGER_API int sqlShortURLGet(const char* code, char* url, uint32_t size);
// Deletes the short URLs created or last used more than maxAgeDays days ago (0: 30 days).
// Returns the number deleted, -1 on failure.
QARLEDGER_API int sqlShortURLCleanUp(uint32_t maxAgeDays);

// ---- Segment references of long messages from clients, re-mapped so that references of
// different submissions do not collide. Keyed by user, recipient, the client's reference,
// segment count and segment number. ----

// Finds the reference already given to another segment of the same message: the newest
// mapping of (user, recipient, reference, count) that has no segment `number` yet. 1 when
// found, with *newReference set.
QARLEDGER_API int sqlSARIDGet(const char* user, const char* recipient, uint32_t reference,
                              uint32_t count, uint32_t number, uint32_t* newReference);
// Records that segment `number` of that message was given newReference.
QARLEDGER_API int sqlSARIDAdd(const char* user, const char* recipient, uint32_t reference,
                              uint32_t count, uint32_t number, uint32_t newReference);

// ---- MMS message ids: our local id <-> the remote MMS centre's id, each with a text of
// the caller's. Out buffers are size bytes each. ----

QARLEDGER_API int sqlMMSLocalIDAdd(const char* localId, const char* remoteId, const char* info);
QARLEDGER_API int sqlMMSLocalIDGet(const char* localId, char* remoteId, char* info,
                                   uint32_t size);
QARLEDGER_API int sqlMMSRemoteIDAdd(const char* remoteId, const char* localId, const char* info);
QARLEDGER_API int sqlMMSRemoteIDGet(const char* remoteId, char* localId, char* info,
                                    uint32_t size);

// ---- MMS subscribers ("MMSCUSERS.DB" in the MMSC data directory: [MMSC] DataDir of
// MMSC.INI, else program data + "MMSCDATA/"). Keyed by phone number; aliases are unique
// without case. ----

#define MMSC_USER_FIELD_SIZE 100

typedef struct MMSCUserRecord {  // 512 octets, as the record files of the MMS side
  char PhoneNumber[MMSC_USER_FIELD_SIZE];
  char Alias[MMSC_USER_FIELD_SIZE];
  char Password[MMSC_USER_FIELD_SIZE];
  char FullName[MMSC_USER_FIELD_SIZE];
  uint32_t MsgLimitPerDay;    // 0 = the default limit
  uint32_t MsgLimitPerMonth;  // 0 = the default limit
  uint8_t EMailForwarding;    // 1: received MMS may be mailed to the subscriber's alias
  uint8_t Reserved[103];
} MMSCUserRecord;

typedef struct MMSCUserDB MMSCUserDB;  // opaque

QARLEDGER_API int sqlMMSCOpenUserDB(MMSCUserDB** out);
QARLEDGER_API void sqlMMSCCloseUserDB(MMSCUserDB* db);
QARLEDGER_API uint32_t sqlMMSCGetUserCount(MMSCUserDB* db);
// Records in phone-number order, index from 0; 1 while the index exists.
QARLEDGER_API int sqlMMSCGetUserRecord(MMSCUserDB* db, uint32_t index, MMSCUserRecord* rec);
QARLEDGER_API int sqlMMSCFindUserRecord(MMSCUserDB* db, const char* phoneNumber,
                                        MMSCUserRecord* rec);
// The index (as sqlMMSCGetUserRecord counts) of a phone number; 1 when found.
QARLEDGER_API int sqlMMSCFindUserRecordNumber(MMSCUserDB* db, const char* phoneNumber,
                                              uint32_t* index);
// The phone number whose alias is alias (without case); 1 when found.
QARLEDGER_API int sqlMMSCFindAlias(MMSCUserDB* db, const char* alias, char* phoneNumber,
                                   uint32_t size);
// Adds a new subscriber: 0 when the number exists or the alias belongs to another number.
QARLEDGER_API int sqlMMSCAddUser(MMSCUserDB* db, const MMSCUserRecord* rec);
// Adds or replaces the subscriber of the record's number: 0 when the alias belongs to
// another number.
QARLEDGER_API int sqlMMSCAddOrModifyUser(MMSCUserDB* db, const MMSCUserRecord* rec);
QARLEDGER_API int sqlMMSCDeleteUser(MMSCUserDB* db, const char* phoneNumber);
// Imports a file of consecutive 512-octet MMSCUserRecord records (records of numbers
// already stored replace them). Returns the number imported, -1 when the file cannot be
// read or is not whole records; the file is left as it is.
QARLEDGER_API int sqlMMSCMigrateUserDB(const char* recordFilePath);

// ---- The types of the bindings. ----

typedef int (*sqlSMSCMessageIdAdd_t)(const char*, const char*, const char*, const char*,
                                     const char*, const char*);
typedef int (*sqlSMSCMessageIdGet2_t)(const char*, const char*, char*, char*, char*, char*,
                                      int64_t*);
typedef void (*sqlSMSCMessageIdCloseAll_t)(void);
typedef int (*sqlSMSCMessageIdAddBegin_t)(void);
typedef int (*sqlSMSCMessageIdAddEnd_t)(void);
typedef void (*sqlSMSCMessageIdYield_t)(void);
typedef int (*sqlTestDatabaseOK_t)(const char*);
typedef int (*sqlShortURLAdd_t)(const char*, char*, uint32_t);
typedef int (*sqlShortURLGet_t)(const char*, char*, uint32_t);
typedef int (*sqlShortURLCleanUp_t)(uint32_t);
typedef int (*sqlSARIDGet_t)(const char*, const char*, uint32_t, uint32_t, uint32_t, uint32_t*);
typedef int (*sqlSARIDAdd_t)(const char*, const char*, uint32_t, uint32_t, uint32_t, uint32_t);
typedef int (*sqlMMSLocalIDAdd_t)(const char*, const char*, const char*);
typedef int (*sqlMMSLocalIDGet_t)(const char*, char*, char*, uint32_t);
typedef int (*sqlMMSRemoteIDAdd_t)(const char*, const char*, const char*);
typedef int (*sqlMMSRemoteIDGet_t)(const char*, char*, char*, uint32_t);
typedef int (*sqlMMSCOpenUserDB_t)(MMSCUserDB**);
typedef void (*sqlMMSCCloseUserDB_t)(MMSCUserDB*);
typedef uint32_t (*sqlMMSCGetUserCount_t)(MMSCUserDB*);
typedef int (*sqlMMSCGetUserRecord_t)(MMSCUserDB*, uint32_t, MMSCUserRecord*);
typedef int (*sqlMMSCFindUserRecord_t)(MMSCUserDB*, const char*, MMSCUserRecord*);
typedef int (*sqlMMSCFindUserRecordNumber_t)(MMSCUserDB*, const char*, uint32_t*);
typedef int (*sqlMMSCFindAlias_t)(MMSCUserDB*, const char*, char*, uint32_t);
typedef int (*sqlMMSCAddUser_t)(MMSCUserDB*, const MMSCUserRecord*);
typedef int (*sqlMMSCAddOrModifyUser_t)(MMSCUserDB*, const MMSCUserRecord*);
typedef int (*sqlMMSCDeleteUser_t)(MMSCUserDB*, const char*);
typedef int (*sqlMMSCMigrateUserDB_t)(const char*);

#ifdef __cplusplus
}

static_assert(sizeof(MMSCUserRecord) == 512, "MMSC user records are 512 octets");
#endif
