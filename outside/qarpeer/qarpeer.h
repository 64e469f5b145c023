// qarpeer: SMPP 3.3 and 3.4, client and server roles, over a socket that the caller owns.
// Every call takes the socket first, then the TLS session (0 for none) and the connection
// name used in the trace. Results: 0 success, a positive SMPP command status, or one of the
// library's own connection errors below. Every blocking call is bounded in time.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's own results (never SMPP statuses).
#define SMPP_ERROR_LINK (-1)      // socket error or link closed by the peer
#define SMPP_ERROR_TIMEOUT (-2)   // no answer within the response timeout
#define SMPP_ERROR_PROTOCOL (-3)  // malformed or unexpected PDU; the link is given up

// Bind types.
#define SMPP_BIND_RECEIVER 1
#define SMPP_BIND_TRANSMITTER 2
#define SMPP_BIND_TRANSCEIVER 9

// Message flags: the same bits as the message record's MessageFlags.
#define SMPP_FLAG_REPLY_PATH 0x01
#define SMPP_FLAG_RECEIPT 0x02
#define SMPP_FLAG_IS_REPORT 0x04
#define SMPP_FLAG_NONDEL_RECEIPT 0x40

// A message received from the peer: deliver_sm or data_sm on the client side, submit_sm or
// data_sm on the server side. Data is UTF-8 text, or upper-case hex when binary is set.
// extraParams holds "ServiceType=", "Validity=" and one "SMPPOption_<name>=<value>" item per
// optional parameter, joined by "; ".
typedef struct SMPPReceivedMessage {
  const char* sender;
  int senderTon, senderNpi;
  const char* recipient;
  int recipientTon, recipientNpi;
  int pid, dcs, esmClass, registeredDelivery;
  int flags;  // SMPP_FLAG_* as understood from esm_class and registered_delivery
  const char* udhHex;
  const char* data;
  int binary;
  const char* serviceType;
  const char* validity;
  const char* extraParams;
  uint32_t commandId;
  uint32_t sequence;
} SMPPReceivedMessage;

// Client side: the answer (0 or an SMPP status, such as 0x64 for "try again later") goes
// back to the SMS centre in the deliver_sm_resp.
typedef int (*SMPPReceiveMessageCallbackFn)(const char* connectionName, const SMPPReceivedMessage* message);
// Server side: the answer goes into the submit_sm_resp, with the message id written into
// messageId (at most messageIdSize bytes with the terminator) on success.
typedef int (*SMPPServerReceiveMessageCallbackFn)(const char* connectionName, const SMPPReceivedMessage* message,
                                                  char* messageId, int messageIdSize);
// Called for every PDU the server side receives.
typedef void (*SMPPServerActivityCallbackFn)(const char* connectionName, uint32_t commandId);
// Protocol trace lines, when the debug mode is on.
typedef void (*SMPPDebugLogFn)(const char* label, const char* text);
// TLS transport (the gateway's qarseal): return bytes moved, 0 on orderly close, < 0 on error.
typedef int (*SMPPTlsSendFn)(void* session, const void* data, int length);
typedef int (*SMPPTlsRecvFn)(void* session, void* data, int length);
typedef int (*SMPPTlsPendingFn)(void* session);

// A bind request received by the server side.
typedef struct SMPPLoginRequest {
  char systemId[16];
  char password[9];
  char systemType[13];
  char addressRange[41];
  int interfaceVersion;
  int addrTon, addrNpi;
  int bindType;  // SMPP_BIND_*
  uint32_t sequence;
} SMPPLoginRequest;

// One asynchronous submit, owned by the caller until the library completes it: exactly once,
// through the completion callback, with the response's status (and message id), or with
// SMPP_ERROR_LINK when the link is lost or the session ends, or SMPP_ERROR_TIMEOUT when no
// response came within the record's timeout. Completion may run on any thread that is inside
// a library call for the session.
typedef struct SMPPAsyncSubmit {
  int status;
  char smscMessageId[66];
  uint32_t sequence;
  void* context;  // the caller's
} SMPPAsyncSubmit;
typedef void (*SMPPAsyncCompletionFn)(SMPPAsyncSubmit* record);

// Asynchronous receiving, client side, per connection name. While it is on, a received
// deliver_sm/data_sm is queued unanswered and the wake function is called with the
// connection name; SMPPReceiveFromAsyncQ then hands the queued messages to the receive
// callback and answers each with the callback's status, on its session if that still runs
// (else nothing is sent and the SMS centre delivers again). A full queue answers new
// messages with 0x14 (message queue full) at once. On/off calls are counted: several
// sessions of one connection may switch it on; the last off hands the rest to the callback.
typedef void (*SMPPAsyncReceiveWakeFn)(const char* connectionName);

// The entry points, each with its function-pointer type for binding by name.
typedef void (*SMPPSetDebugModeFn)(int on);
typedef void (*SMPPSetDebugLogFunctionFn)(SMPPDebugLogFn fn);
typedef void (*SMPPSetResponseTimeoutFn)(int milliseconds);
typedef void (*SMPPSetTlsFunctionsFn)(SMPPTlsSendFn send, SMPPTlsRecvFn recv, SMPPTlsPendingFn pending);
typedef void (*SMPPSetReceiveMessageCallbackFnType)(SMPPReceiveMessageCallbackFn fn);
typedef int (*SMPPConnectFn)(int sock, const char* name, const char* host, unsigned port);
typedef int (*SMPPBindFn)(int sock, void* tls, const char* name, int version, int bindType, const char* systemId,
                          const char* password, const char* systemType);
typedef int (*SMPPSubmitMessageFn)(int sock, void* tls, const char* name, int version, const char* sender,
                                   const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                   int flags, int binary, char* smscMessageId, int smscMessageIdSize,
                                   const char* gatewayMessageId, const char* extraParams);
// 0 when the submit_sm was taken (the record completes later), else a status and the record
// is not kept. It goes out with the session's next yield or send, so that a burst of submits
// travels in one write; the caller yields while it waits for its window.
typedef int (*SMPPSubmitMessageAsyncFn)(int sock, void* tls, const char* name, int version, const char* sender,
                                        const char* recipient, int pid, int dcs, const char* udhHex,
                                        const char* data, int flags, int binary, const char* gatewayMessageId,
                                        const char* extraParams, int timeoutMs, SMPPAsyncSubmit* record);
typedef void (*SMPPSetAsyncCompletionFunctionFn)(SMPPAsyncCompletionFn fn);
// Submits awaiting their response on the session.
typedef int (*SMPPAsyncOutstandingFn)(int sock);
// Completes every submit still outstanding on the session with SMPP_ERROR_LINK.
typedef void (*SMPPAsyncAbandonFn)(int sock);
typedef int (*SMPPEnquireLinkFn)(int sock, void* tls, const char* name, int version);
typedef int (*SMPPYieldFn)(int sock, void* tls, const char* name, int version, int waitMs, int* linkError);
typedef int (*SMPPCheckLinkStatusFn)(int sock, void* tls, const char* name);
typedef int (*SMPPUnbindFn)(int sock, void* tls, const char* name, int version);
typedef const char* (*SMPPErrorTextFn)(int status);
// Client side: answers to deliver_sm and data_sm handled from this call on are held (the
// gateway makes the received messages safe first); SMPPSendHeldResponses sends them in their
// order and stops holding. A non-zero failStatus replaces the status of every answer that
// accepted its message, so that the SMS centre delivers those again. Messages queued for
// asynchronous receiving are answered by the queue, never held.
typedef void (*SMPPHoldResponsesFn)(int sock, void* tls, const char* name);
typedef int (*SMPPSendHeldResponsesFn)(int sock, void* tls, const char* name, int failStatus);
typedef int (*SMPPReceiveFromAsyncQFn)(const char* name);
typedef void (*SMPPSetAsyncReceiveFn)(const char* name, int on);
typedef void (*SMPPSetAsyncReceiveWakeFunctionFn)(SMPPAsyncReceiveWakeFn fn);
// Ends the library's session of a socket without an unbind (the link failed or is given
// up): nothing more is sent on it, outstanding submits complete with SMPP_ERROR_LINK. Call it
// before the socket is closed or its TLS session freed.
typedef void (*SMPPEndSessionFn)(int sock);
typedef void (*SMPPServerSetReceiveMessageCallbackFnType)(SMPPServerReceiveMessageCallbackFn fn);
typedef void (*SMPPServerSetActivityCallbackFnType)(SMPPServerActivityCallbackFn fn);
typedef int (*SMPPServerWaitForLoginFn)(int sock, void* tls, const char* name, SMPPLoginRequest* request,
                                        int timeoutMs);
typedef int (*SMPPServerAcceptLoginFn)(int sock, void* tls, const char* name, const SMPPLoginRequest* request,
                                       const char* serverSystemId);
typedef int (*SMPPServerRejectLoginFn)(int sock, void* tls, const char* name, const SMPPLoginRequest* request,
                                       int status);
typedef int (*SMPPServerYieldFn)(int sock, void* tls, const char* name, int waitMs, int* linkError);
// Answers to submit_sm and data_sm are held from this call on (the server makes their files
// safe first); SMPPServerSendHeldResponses sends them in their order and stops holding. A
// non-zero failStatus replaces the status of every answer that accepted its message.
typedef void (*SMPPServerHoldResponsesFn)(int sock, void* tls, const char* name);
typedef int (*SMPPServerSendHeldResponsesFn)(int sock, void* tls, const char* name, int failStatus);
// How many answers are held; SMPPServerSendFirstHeldResponses sends the oldest count of them
// (failStatus as above) and leaves holding as it was, so that answers can leave group by
// group as each group's messages are made safe. SMPPServerReleaseHold stops holding the
// answers to come; those held stay held.
typedef int (*SMPPServerHeldResponseCountFn)(int sock, void* tls, const char* name);
typedef int (*SMPPServerSendFirstHeldResponsesFn)(int sock, void* tls, const char* name, int count, int failStatus);
typedef void (*SMPPServerReleaseHoldFn)(int sock, void* tls, const char* name);
typedef int (*SMPPServerSubmitMessageFn)(int sock, void* tls, const char* name, int version, const char* sender,
                                         const char* recipient, int pid, int dcs, const char* udhHex,
                                         const char* data, int flags, int binary);
typedef int (*SMPPServerSubmitMessageNewFn)(int sock, void* tls, const char* name, int version, const char* sender,
                                            const char* recipient, int pid, int dcs, const char* udhHex,
                                            const char* data, int flags, int binary, const char* extraParams);
typedef int (*SMPPServerEnquireLinkFn)(int sock, void* tls, const char* name, int version);
// A deliver_sm to a bound receiver or transceiver without waiting for its answer: 0 when
// taken (the record completes later, exactly once, through completion when given, else the
// library-wide completion function), else a status and the record is not kept. It leaves
// with the session's next yield or send.
typedef int (*SMPPServerSubmitMessageAsyncFn)(int sock, void* tls, const char* name, int version,
                                              const char* sender, const char* recipient, int pid, int dcs,
                                              const char* udhHex, const char* data, int flags, int binary,
                                              const char* extraParams, int timeoutMs, SMPPAsyncSubmit* record,
                                              SMPPAsyncCompletionFn completion);

void SMPPSetDebugMode(int on);
void SMPPSetDebugLogFunction(SMPPDebugLogFn fn);
void SMPPSetResponseTimeout(int milliseconds);
void SMPPSetTlsFunctions(SMPPTlsSendFn send, SMPPTlsRecvFn recv, SMPPTlsPendingFn pending);
void SMPPSetReceiveMessageCallback(SMPPReceiveMessageCallbackFn fn);
int SMPPConnect(int sock, const char* name, const char* host, unsigned port);
int SMPPBind(int sock, void* tls, const char* name, int version, int bindType, const char* systemId,
             const char* password, const char* systemType);
int SMPPSubmitMessage(int sock, void* tls, const char* name, int version, const char* sender, const char* recipient,
                      int pid, int dcs, const char* udhHex, const char* data, int flags, int binary,
                      char* smscMessageId, int smscMessageIdSize, const char* gatewayMessageId,
                      const char* extraParams);
int SMPPSubmitMessageAsync(int sock, void* tls, const char* name, int version, const char* sender,
                           const char* recipient, int pid, int dcs, const char* udhHex, const char* data, int flags,
                           int binary, const char* gatewayMessageId, const char* extraParams, int timeoutMs,
                           SMPPAsyncSubmit* record);
void SMPPSetAsyncCompletionFunction(SMPPAsyncCompletionFn fn);
int SMPPAsyncOutstanding(int sock);
void SMPPAsyncAbandon(int sock);
int SMPPEnquireLink(int sock, void* tls, const char* name, int version);
int SMPPYield(int sock, void* tls, const char* name, int version, int waitMs, int* linkError);
int SMPPCheckLinkStatus(int sock, void* tls, const char* name);
int SMPPUnbind(int sock, void* tls, const char* name, int version);
const char* SMPPErrorText(int status);
void SMPPHoldResponses(int sock, void* tls, const char* name);
int SMPPSendHeldResponses(int sock, void* tls, const char* name, int failStatus);
int SMPPReceiveFromAsyncQ(const char* name);
void SMPPSetAsyncReceive(const char* name, int on);
void SMPPSetAsyncReceiveWakeFunction(SMPPAsyncReceiveWakeFn fn);
void SMPPEndSession(int sock);
void SMPPServerSetReceiveMessageCallback(SMPPServerReceiveMessageCallbackFn fn);
void SMPPServerSetActivityCallback(SMPPServerActivityCallbackFn fn);
int SMPPServerWaitForLogin(int sock, void* tls, const char* name, SMPPLoginRequest* request, int timeoutMs);
int SMPPServerAcceptLogin(int sock, void* tls, const char* name, const SMPPLoginRequest* request,
                          const char* serverSystemId);
int SMPPServerRejectLogin(int sock, void* tls, const char* name, const SMPPLoginRequest* request, int status);
int SMPPServerYield(int sock, void* tls, const char* name, int waitMs, int* linkError);
void SMPPServerHoldResponses(int sock, void* tls, const char* name);
int SMPPServerSendHeldResponses(int sock, void* tls, const char* name, int failStatus);
int SMPPServerHeldResponseCount(int sock, void* tls, const char* name);
int SMPPServerSendFirstHeldResponses(int sock, void* tls, const char* name, int count, int failStatus);
void SMPPServerReleaseHold(int sock, void* tls, const char* name);
int SMPPServerSubmitMessage(int sock, void* tls, const char* name, int version, const char* sender,
                            const char* recipient, int pid, int dcs, const char* udhHex, const char* data, int flags,
                            int binary);
int SMPPServerSubmitMessageNew(int sock, void* tls, const char* name, int version, const char* sender,
                               const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                               int flags, int binary, const char* extraParams);
int SMPPServerEnquireLink(int sock, void* tls, const char* name, int version);
int SMPPServerSubmitMessageAsync(int sock, void* tls, const char* name, int version, const char* sender,
                                 const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                 int flags, int binary, const char* extraParams, int timeoutMs,
                                 SMPPAsyncSubmit* record, SMPPAsyncCompletionFn completion);

#ifdef __cplusplus
}
#endif
