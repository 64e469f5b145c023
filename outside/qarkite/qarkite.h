// qarkite: UCP/EMI over a TCP socket that the caller owns, loaded by name by the gateway.
// Every call takes the socket first, then the connection name used in the trace. Results:
// 0 success, a positive UCP error code (EC) from the centre, or one of the library's own
// results below. Every blocking call is bounded in time. Session state is kept per socket;
// UCPEndSession drops it and must be called before the socket is closed.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's own results (never UCP error codes).
#define UCP_ERROR_LINK (-1)      // socket error or link closed by the peer
#define UCP_ERROR_TIMEOUT (-2)   // no answer within the response timeout
#define UCP_ERROR_PROTOCOL (-3)  // malformed frame, or a value that cannot be encoded

// Message flags: the same bits as the message record's MessageFlags.
#define UCP_FLAG_RECEIPT 0x02
#define UCP_FLAG_IS_REPORT 0x04
#define UCP_FLAG_DELIVERED 0x08
#define UCP_FLAG_IN_TRANSIT 0x10
#define UCP_FLAG_FAILED 0x20
#define UCP_FLAG_NONDEL_RECEIPT 0x40

// A message (operation 52) or a delivery notification (operation 53) from the centre, on the
// sending session or on a connection the centre opened to the gateway's listener. data is
// UTF-8 text, or upper-case hex when binary is set; udhHex is empty when there is none. For a
// notification, flags has UCP_FLAG_IS_REPORT and one of DELIVERED/IN_TRANSIT/FAILED, and
// receiptMessageId is the id of the submission it reports ("AdC:SCTS", as UCPLastMessageId
// gave it). extraParams: "name=value" items joined by "; " (may be empty).
// Returns 1 when the message is stored (the library answers ACK), 0 when it is not (NACK, so
// that the centre delivers it again).
typedef int (*UCPReceiveMessageCallbackFn)(const char* connectionName, const char* sender, const char* recipient,
                                           const char* udhHex, const char* data, int pid, int dcs, int flags,
                                           int binary, const char* receiptMessageId, const char* extraParams);
// Protocol trace lines, when the debug mode is on.
typedef void (*UCPDebugLogFn)(const char* label, const char* text);

typedef void (*UCPSetDebugModeFn)(int on);
typedef void (*UCPSetDebugLogFunctionFn)(UCPDebugLogFn fn);
typedef void (*UCPSetResponseTimeoutFn)(int milliseconds);
typedef void (*UCPSetReceiveMessageCallbackFnType)(UCPReceiveMessageCallbackFn fn);
typedef int (*UCPConnectFn)(int sock, const char* name, const char* host, unsigned port);
// Operation 60 (session management, open session). An empty user sends no login: 0.
typedef int (*UCPBindFn)(int sock, const char* name, const char* user, const char* password);
// Operation 51. sender may be alphanumeric (OTOA 5039); unused is the design's empty argument.
// udhHex and data as in the callback; binary or UCS-2 (dcs 0x08) data goes as MT 4.
typedef int (*UCPSubmitMessageFn)(int sock, const char* name, const char* sender, const char* unused,
                                  const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                  int flags, int binary, const char* extraParams);
// Operation 51 in two halves, so that the caller can prepare the next while the centre
// answers: UCPSendMessage sends it (0; else its status as UCPSubmitMessage would give it,
// and nothing is outstanding), UCPWaitMessageResult waits for its result within the
// response timeout counted from the send, serving received frames (a result that came
// during another call is kept for it), and gives UCPSubmitMessage's status and
// UCPLastMessageId's id. One submit outstanding per session: a second send gets
// UCP_ERROR_PROTOCOL, a wait without one too.
typedef int (*UCPSendMessageFn)(int sock, const char* name, const char* sender, const char* unused,
                                const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                int flags, int binary, const char* extraParams);
typedef int (*UCPWaitMessageResultFn)(int sock, const char* name);
// The centre's id of the last accepted submit on the session ("AdC:SCTS" of its ACK); 0 and
// the id copied (terminated, cut to size) when there is one, else -1.
typedef int (*UCPLastMessageIdFn)(int sock, char* messageId, int messageIdSize);
// Operation 31 (alert) as a link check.
typedef int (*UCPEnquireLinkFn)(int sock, const char* name);
// Serves received frames for up to waitMs; non-zero (and *linkError set when given) when the
// link is lost.
typedef int (*UCPYieldFn)(int sock, const char* name, int waitMs, int* linkError);
typedef int (*UCPCheckLinkStatusFn)(int sock, const char* name);
typedef const char* (*UCPErrorTextFn)(int status);
typedef void (*UCPEndSessionFn)(int sock);

void UCPSetDebugMode(int on);
void UCPSetDebugLogFunction(UCPDebugLogFn fn);
void UCPSetResponseTimeout(int milliseconds);
void UCPSetReceiveMessageCallback(UCPReceiveMessageCallbackFn fn);
int UCPConnect(int sock, const char* name, const char* host, unsigned port);
int UCPBind(int sock, const char* name, const char* user, const char* password);
int UCPSubmitMessage(int sock, const char* name, const char* sender, const char* unused, const char* recipient,
                     int pid, int dcs, const char* udhHex, const char* data, int flags, int binary,
                     const char* extraParams);
int UCPSendMessage(int sock, const char* name, const char* sender, const char* unused, const char* recipient,
                   int pid, int dcs, const char* udhHex, const char* data, int flags, int binary,
                   const char* extraParams);
int UCPWaitMessageResult(int sock, const char* name);
int UCPLastMessageId(int sock, char* messageId, int messageIdSize);
int UCPEnquireLink(int sock, const char* name);
int UCPYield(int sock, const char* name, int waitMs, int* linkError);
int UCPCheckLinkStatus(int sock, const char* name);
const char* UCPErrorText(int status);
void UCPEndSession(int sock);

#ifdef __cplusplus
}
#endif
