// qarbolt: CIMD2 over a TCP socket that the caller owns, loaded by name by the gateway.
// Every call takes the connection name first, then the socket. Results: 0 success, a
// positive CIMD2 error code (parameter 900) from the centre, or one of the library's own
// results below. Every blocking call is bounded in time. Session state is kept per socket;
// CIMDEndSession drops it and must be called before the socket is closed.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's own results (never CIMD2 error codes).
#define CIMD_ERROR_LINK (-1)      // socket error or link closed by the peer
#define CIMD_ERROR_TIMEOUT (-2)   // no answer within the response timeout
#define CIMD_ERROR_PROTOCOL (-3)  // malformed packet, or a value that cannot be encoded

// Message flags: the same bits as the message record's MessageFlags.
#define CIMD_FLAG_RECEIPT 0x02
#define CIMD_FLAG_IS_REPORT 0x04
#define CIMD_FLAG_DELIVERED 0x08
#define CIMD_FLAG_IN_TRANSIT 0x10
#define CIMD_FLAG_FAILED 0x20
#define CIMD_FLAG_NONDEL_RECEIPT 0x40

// A message (operation 20) or a status report (operation 23) from the centre, on the sending
// session or on a connection the centre opened to the gateway's listener. data is UTF-8
// text, or upper-case hex when binary is set; udhHex is empty when there is none. For a
// report, flags has CIMD_FLAG_IS_REPORT and one of DELIVERED/IN_TRANSIT/FAILED, and
// receiptMessageId is the id of the submission it reports (as CIMDLastMessageId gave it).
// extraParams: "name=value" items joined by "; " (may be empty).
// Returns 1 when the message is stored (the library answers it), 0 when it is not (an error
// answer, so that the centre delivers it again).
typedef int (*CIMDReceiveMessageCallbackExFn)(const char* connectionName, const char* sender,
                                              const char* recipient, const char* udhHex, const char* data, int pid,
                                              int dcs, int flags, int binary, const char* receiptMessageId,
                                              const char* extraParams);
// The older callback, without flags, receipt id and extra parameters; used only when no Ex
// callback is set (reports are then not passed on).
typedef int (*CIMDReceiveMessageCallbackFn)(const char* connectionName, const char* sender,
                                            const char* recipient, const char* udhHex, const char* data, int pid,
                                            int dcs, int binary);
typedef void (*CIMDDebugLogFn)(const char* label, const char* text);

typedef void (*CIMDSetDebugModeFn)(int on);
typedef void (*CIMDSetDebugLogFunctionFn)(CIMDDebugLogFn fn);
typedef void (*CIMDSetResponseTimeoutFn)(int milliseconds);
typedef void (*CIMDSetReceiveMessageCallbackFnType)(CIMDReceiveMessageCallbackFn fn);
typedef void (*CIMDSetReceiveMessageCallbackExFnType)(CIMDReceiveMessageCallbackExFn fn);
typedef int (*CIMDConnectFn)(const char* name, int sock, const char* host, unsigned port);
// Operation 01 (login).
typedef int (*CIMDBindFn)(const char* name, int sock, const char* user, const char* password);
// Operation 03. Text goes in the CIMD2 character set (one that cannot be encoded fails with
// CIMD_ERROR_PROTOCOL); binary or UCS-2 (dcs 0x08) data as user data binary.
typedef int (*CIMDSubmitMessageFn)(const char* name, int sock, const char* sender, const char* unused,
                                   const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                   int flags, int binary);
// Operation 03 in two halves, so that the caller can prepare the next while the centre
// answers: CIMDSendMessage sends it (0; else its status as CIMDSubmitMessage would give it,
// and nothing is outstanding), CIMDWaitMessageResult waits for its answer within the
// response timeout counted from the send, serving received packets (an answer that came
// during another call is kept for it), and gives CIMDSubmitMessage's status and
// CIMDLastMessageId's id. One submit outstanding per session: a second send gets
// CIMD_ERROR_PROTOCOL, a wait without one too.
typedef int (*CIMDSendMessageFn)(const char* name, int sock, const char* sender, const char* unused,
                                 const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                 int flags, int binary);
typedef int (*CIMDWaitMessageResultFn)(const char* name, int sock);
// The centre's id of the last accepted submit on the session (from parameters 021 and 060);
// 0 and the id copied (terminated, cut to size) when there is one, else -1.
typedef int (*CIMDLastMessageIdFn)(const char* name, int sock, char* messageId, int messageIdSize);
// Operation 40 (alive) as a link check.
typedef int (*CIMDEnquireLinkFn)(const char* name, int sock);
// Serves received packets for up to waitMs; non-zero (and *linkError set when given) when
// the link is lost.
typedef int (*CIMDYieldFn)(const char* name, int sock, int waitMs, int* linkError);
typedef int (*CIMDCheckLinkStatusFn)(const char* name, int sock);
typedef const char* (*CIMDErrorTextFn)(int status);
typedef void (*CIMDEndSessionFn)(int sock);

void CIMDSetDebugMode(int on);
void CIMDSetDebugLogFunction(CIMDDebugLogFn fn);
void CIMDSetResponseTimeout(int milliseconds);
void CIMDSetReceiveMessageCallback(CIMDReceiveMessageCallbackFn fn);
void CIMDSetReceiveMessageCallbackEx(CIMDReceiveMessageCallbackExFn fn);
int CIMDConnect(const char* name, int sock, const char* host, unsigned port);
int CIMDBind(const char* name, int sock, const char* user, const char* password);
int CIMDSubmitMessage(const char* name, int sock, const char* sender, const char* unused, const char* recipient,
                      int pid, int dcs, const char* udhHex, const char* data, int flags, int binary);
int CIMDSendMessage(const char* name, int sock, const char* sender, const char* unused, const char* recipient,
                    int pid, int dcs, const char* udhHex, const char* data, int flags, int binary);
int CIMDWaitMessageResult(const char* name, int sock);
int CIMDLastMessageId(const char* name, int sock, char* messageId, int messageIdSize);
int CIMDEnquireLink(const char* name, int sock);
int CIMDYield(const char* name, int sock, int waitMs, int* linkError);
int CIMDCheckLinkStatus(const char* name, int sock);
const char* CIMDErrorText(int status);
void CIMDEndSession(int sock);

#ifdef __cplusplus
}
#endif
