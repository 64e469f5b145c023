// qarvault: configuration files, directories, the account store, the message-id
// store and named events. A shared library with a C interface, linked normally by
// qargate, qarconsole and the tools.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QARVAULT_API __attribute__((visibility("default")))

// ---- INI files (profile-string semantics: sections and keys without case, first
// occurrence wins, a missing key gives the default, values cut to the buffer). ----

QARVAULT_API void SMSIniSetFilename(const char* path);
QARVAULT_API void MMSCIniSetFilename(const char* path);

// Copies the value (or the default) zero-terminated into buf, cut to size - 1 bytes.
// Returns the number of bytes copied, without the terminator. A null default reads as "".
// A null key lists the section's key names, a null section the section names, in the
// form of the section listing below.
QARVAULT_API uint32_t SMSIniGetProfileString(const char* section, const char* key, const char* def,
                                             char* buf, uint32_t size);
QARVAULT_API uint32_t MMSCIniGetProfileString(const char* section, const char* key, const char* def,
                                              char* buf, uint32_t size);
// The shared-volume settings: "SHARED.INI" in the program data directory.
QARVAULT_API uint32_t SharedVolumeIniGetProfileString(const char* section, const char* key,
                                                      const char* def, char* buf, uint32_t size);

// Writes key=value into section, keeping every other line of the file as it is; a null
// value deletes the key. The value must not hold CR, LF or other control bytes: such a
// value is refused (returns 0). Returns 1 on success.
QARVAULT_API int SMSIniWriteProfileString(const char* section, const char* key, const char* value);
QARVAULT_API int MMSCIniWriteProfileString(const char* section, const char* key, const char* value);

// Copies the lines "key=value" of a section as consecutive zero-terminated strings, with
// an extra zero at the end (an empty section gives two zeros). Comment lines (";") and
// lines without "=" are kept as they are. Returns the bytes copied, without the last zero.
QARVAULT_API uint32_t SMSIniGetProfileSection(const char* section, char* buf, uint32_t size);
QARVAULT_API uint32_t MMSCIniGetProfileSection(const char* section, char* buf, uint32_t size);

// A number that differs from every earlier answer once the file at path may have changed
// (by this process or another); 0 when changes cannot be watched there, so the file must be
// looked at each time. Read it before looking at the file. A path ending in "/" stands for
// the list of a directory's entries, and for whether the directory is there.
QARVAULT_API uint64_t WatchedFileChangeCount(const char* path);

// ---- Directories: each copied with a trailing "/" (created when missing). ----
// Program data: $QARSMS_HOME/ (default /var/lib/qarsms/).
// Private data: program data + "PRIVATE/"; logs: program data + "LOGS/";
// debug log: the log directory; MMSC logs: program data + "MMSCLOGS/";
// real program directory: the directory of the running executable.
QARVAULT_API int GetProgramDataDirectory(char* buf, uint32_t size);
QARVAULT_API int GetPrivateDataDirectory(char* buf, uint32_t size);
QARVAULT_API int GetLogDirectory(char* buf, uint32_t size);
QARVAULT_API int GetDebugLogDirectory(char* buf, uint32_t size);
QARVAULT_API int GetMMSCLogDirectory(char* buf, uint32_t size);
QARVAULT_API int GetRealProgramDirectory(char* buf, uint32_t size);
// The message-id tracking directory: [QARHUB] MessageIDTrackingDir of QARHUB.INI (with "/"
// added when missing), else program data + "SMPPData/". Created when missing.
QARVAULT_API int GetMessageIdTrackingDirectory(char* buf, uint32_t size);
// The MMSC data directory: [MMSC] DataDir of MMSC.INI (with "/" added when missing), else
// program data + "MMSCDATA/". Created when missing.
QARVAULT_API int GetMMSCDataDirectory(char* buf, uint32_t size);
// Each returns the length of the path, or 0 when the buffer cannot hold it.

// ---- The account store ("USERS.DB" in the private data directory, SQLite). ----

#define SMS_USER_NAME_SIZE 100
#define SMS_USER_TEXT_SIZE 100
#define SMS_USER_IP_SIZE 50
#define SMS_USER_SENDER_SIZE 21
#define SMS_USER_THROTTLE_SIZE 10

typedef struct SMSUserRecord {
  char UserName[SMS_USER_NAME_SIZE];         // first field; compared without case
  char Password[SMS_USER_TEXT_SIZE];
  char FullName[SMS_USER_TEXT_SIZE];
  uint8_t WebLoginDisabled;
  uint8_t SmppLogin;
  uint8_t SmtpLogin;
  uint8_t WebOptions;                         // 176..180, 0 = none
  uint32_t MsgLimitPerDay;                    // 0 = the default limit
  uint32_t MsgLimitPerMonth;                  // 0 = the default limit
  char RestrictIPAddress[SMS_USER_IP_SIZE];
  char ForcedSenderAddress[SMS_USER_SENDER_SIZE];
  char ThrottleSpeed[SMS_USER_THROTTLE_SIZE];
  uint8_t ReceiveSMS;                         // the two receive permissions
  uint8_t ReceiveSMPP;
  uint8_t CreditBalanceEnabled;
} SMSUserRecord;

typedef struct SMSUserFile SMSUserFile;  // opaque

#define SMS_USER_READ 1
#define SMS_USER_READWRITE 2

QARVAULT_API int SMSOpenUserFile(SMSUserFile** out, int access);
QARVAULT_API uint32_t SMSGetRecordCount(SMSUserFile* h);
QARVAULT_API int SMSGetUserRecord(SMSUserFile* h, uint32_t index, SMSUserRecord* rec);
QARVAULT_API int SMSFindUserRecord(SMSUserFile* h, const char* userName, SMSUserRecord* rec);
// Adds the record, or replaces the record of the same name (without case).
QARVAULT_API int SMSAddUser(SMSUserFile* h, const SMSUserRecord* rec);
QARVAULT_API int SMSDeleteUser(SMSUserFile* h, const char* userName);
QARVAULT_API void SMSCloseUserFile(SMSUserFile* h);

// ---- The message-id store: maps (connection, message-centre id) to the gateway's
// message, for matching delivery reports. Kept in "MSGID.DB" of the message-id tracking
// directory. Out buffers are SMSC_MSGID_FIELD_SIZE bytes each. ----

#define SMSC_MSGID_FIELD_SIZE 256

QARVAULT_API int SMSCMessageIdAdd(const char* connection, const char* smscId, const char* messageId,
                                  const char* user, const char* sender, const char* recipient);
// Finds the mapping; recipient receives the stored recipient.
QARVAULT_API int SMSCMessageIdGet(const char* connection, const char* smscId, char* messageId,
                                  char* user, char* sender, char* recipient);
// As SMSCMessageIdGet plus the submission time (seconds since 1970).
QARVAULT_API int SMSCMessageIdGet2(const char* connection, const char* smscId, char* messageId,
                                   char* user, char* sender, char* recipient, int64_t* submitTime);
// Adds until SMSCMessageIdEndBatch (or SMSCMessageIdCommitPending) go into one transaction.
QARVAULT_API int SMSCMessageIdBeginBatch(void);
QARVAULT_API int SMSCMessageIdEndBatch(void);
// Commits a transaction left open by SMSCMessageIdBeginBatch; 1 when none is pending.
QARVAULT_API int SMSCMessageIdCommitPending(void);
// Closes the store's database handle (committing a pending batch); the next call reopens it.
QARVAULT_API void SMSCMessageIdCloseAll(void);

// ---- Received MMS notifications already seen (modem, content location), kept beside the
// message ids. ----
QARVAULT_API int MMSNotificationAdd(const char* modem, const char* contentLocation);
QARVAULT_API int MMSNotificationExist(const char* modem, const char* contentLocation);

// ---- Named automatic-reset events shared by the threads of the process. ----

typedef struct QarEvent QarEvent;  // opaque

QARVAULT_API QarEvent* CreateEventForInterface(const char* interfaceName, const char* instance);
QARVAULT_API QarEvent* OpenEventForInterface(const char* interfaceName, const char* instance);
QARVAULT_API int SetEventForInterface(QarEvent* ev);
// Waits until the event is set (and resets it) or timeoutMs pass; 1 when it was set.
QARVAULT_API int WaitEventForInterface(QarEvent* ev, uint32_t timeoutMs);
QARVAULT_API void CloseEventForInterface(QarEvent* ev);

#ifdef __cplusplus
}
#endif
