// Per-socket session state of qarpeer and the framed, time-bounded I/O over it.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outside/qarpeer/qarpeer.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/mutex.h"

namespace peer {

enum class Role { Client, Server };

struct Session : std::enable_shared_from_this<Session> {
  int sock = -1;
  void* tls = nullptr;
  std::string name;
  Role role = Role::Client;
  int version = 0x34;
  int bindType = 0;  // 0 until bound
  // Cleared under sendLock when the owner ends the session, so that another thread's send
  // either finished before or never happens (the socket and TLS session go away next).
  std::atomic<bool> linkUp{true};
  // Senders take sendLock so that responses and requests from several threads never
  // interleave on the wire; the reading side is one thread at a time (readLock).
  Mutex sendLock;
  // Asynchronous submits waiting to go out together with the next send (under sendLock):
  // a burst of submits costs one send, not one each.
  std::string outbox GUARDED_BY(sendLock);
  Mutex readLock;
  Mutex sequenceLock;
  uint32_t nextSequence GUARDED_BY(sequenceLock) = 1;
  std::string inbound;  // bytes read but not yet framed
  // Asynchronous submits by sequence number, each with its deadline.
  struct Outstanding {
    SMPPAsyncSubmit* record = nullptr;
    std::chrono::steady_clock::time_point deadline;
    SMPPAsyncCompletionFn completion = nullptr;  // the caller's own, else the library-wide one
  };
  Mutex outstandingLock;
  std::map<uint32_t, Outstanding> outstanding GUARDED_BY(outstandingLock);
  // While holding, the answers to messages (submit_sm/data_sm on the server side,
  // deliver_sm/data_sm on the client side) wait here until the owner has made them safe,
  // then leave together in their order.
  Mutex heldLock;
  bool holdResponses GUARDED_BY(heldLock) = false;
  std::vector<smpp::Pdu> heldResponses GUARDED_BY(heldLock);
  ~Session();
};

struct Settings {
  std::atomic<bool> debug{false};
  std::atomic<SMPPDebugLogFn> debugLog{nullptr};
  std::atomic<int> responseTimeoutMs{30000};
  std::atomic<SMPPTlsSendFn> tlsSend{nullptr};
  std::atomic<SMPPTlsRecvFn> tlsRecv{nullptr};
  std::atomic<SMPPTlsPendingFn> tlsPending{nullptr};
  std::atomic<SMPPReceiveMessageCallbackFn> receive{nullptr};
  std::atomic<SMPPServerReceiveMessageCallbackFn> serverReceive{nullptr};
  std::atomic<SMPPServerActivityCallbackFn> serverActivity{nullptr};
  std::atomic<SMPPAsyncCompletionFn> asyncCompletion{nullptr};
  std::atomic<SMPPAsyncReceiveWakeFn> asyncReceiveWake{nullptr};
};
extern Settings LibrarySettings;

// The session of a socket; fresh=true replaces any earlier state (a new link on a reused
// descriptor number).
std::shared_ptr<Session> SessionFor(int sock, void* tls, const char* name, bool fresh);
// Ends the session of a socket: nothing is sent on it any more, outstanding submits complete
// with SMPP_ERROR_LINK.
void ForgetSession(int sock);
// Marks the link down once no other thread is sending on it.
void MarkDown(Session& s);

void Trace(const Session& s, const std::string& text);

uint32_t NextSequence(Session& s);
// 0, or SMPP_ERROR_LINK (the link is marked down). Whatever waits in the outbox goes first.
int SendPdu(Session& s, const smpp::Pdu& pdu);
// Queues a request for the next send; sends at once when the outbox is full. Every other
// library call for the session (a yield, any send) sends what waits.
int QueuePdu(Session& s, const smpp::Pdu& pdu);
int FlushOutbox(Session& s);
// Reads one PDU within timeoutMs (0: only what is already there or arrives at once).
// 1 = a PDU, 0 = none in time, SMPP_ERROR_LINK, SMPP_ERROR_PROTOCOL (bad length; the link
// is marked down after a generic_nack).
int ReadPdu(Session& s, int timeoutMs, smpp::Pdu& out);

// Sends a request and waits for its response (same sequence, or a generic_nack for it),
// handling whatever else arrives meanwhile. 0 and the response, or a library error.
int Transact(Session& s, smpp::Pdu request, smpp::Pdu& response, int timeoutMs);
// Handles a PDU that is not the awaited response: answers requests, hands messages to the
// callbacks, notes unbind (link down). Returns SMPP_ERROR_LINK once the peer unbound.
int HandleUnsolicited(Session& s, const smpp::Pdu& pdu);
// Asynchronous submits: registers record under sequence; completes the one a response
// answers (true when pdu was such a response); completes the expired ones, or all of them
// with status (the link is gone).
void AddOutstanding(Session& s, uint32_t sequence, SMPPAsyncSubmit* record, int timeoutMs,
                    SMPPAsyncCompletionFn completion = nullptr);
bool RemoveOutstanding(Session& s, uint32_t sequence);
bool CompleteOutstanding(Session& s, const smpp::Pdu& pdu);
void ExpireOutstanding(Session& s);
void CompleteAllOutstanding(Session& s, int status);
// Answers to messages are held from now on, until SendHeldResponses sends them
// (a non-zero failStatus replaces the status of every accepting one, which then names no id)
// and stops holding.
void HoldResponses(Session& s);
int SendHeldResponses(Session& s, uint32_t failStatus);
// The oldest count held answers only (as SendHeldResponses); the rest stay held. Holding
// goes on, or not, as before.
int SendFirstHeldResponses(Session& s, size_t count, uint32_t failStatus);
size_t HeldResponseCount(Session& s);
// Answers from now on leave at once; those held stay held.
void ReleaseHold(Session& s);
// Processes inbound traffic for up to waitMs; the result is 0 or a library error.
int YieldFor(Session& s, int waitMs);

}  // namespace peer
