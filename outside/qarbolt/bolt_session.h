// Per-socket CIMD2 session state and the time-bounded exchange of packets over it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "outside/qarbolt/cimd_packet.h"
#include "outside/qarbolt/qarbolt.h"
#include "runtime/mutex.h"

namespace bolt {

struct Session {
  int sock = -1;
  std::string name;
  // Held by every library call on the socket for its whole length: a session is one
  // stop-and-wait exchange at a time, whichever threads call.
  Mutex callLock;
  std::atomic<bool> linkUp{true};
  int nextNumber GUARDED_BY(callLock) = 1;
  std::string inbound GUARDED_BY(callLock);  // bytes read but not yet framed
  size_t junk GUARDED_BY(callLock) = 0;      // bytes outside packets during the current call
  std::string lastMessageId GUARDED_BY(callLock);
  // A request sent and not yet waited for (a window of one): its answer, when it comes
  // during another call, is kept here for the wait.
  struct Outstanding {
    bool active = false;
    int number = 0, op = 0;
    std::chrono::steady_clock::time_point deadline;
    bool answered = false;
    int result = 0;  // as Transact's, with answer when 0
    cimd::Packet answer;
  } outstanding GUARDED_BY(callLock);
  std::string outstandingRecipient GUARDED_BY(callLock);  // its id when the answer has none
};

struct Settings {
  std::atomic<bool> debug{false};
  std::atomic<CIMDDebugLogFn> debugLog{nullptr};
  std::atomic<int> responseTimeoutMs{30000};
  std::atomic<CIMDReceiveMessageCallbackFn> receive{nullptr};
  std::atomic<CIMDReceiveMessageCallbackExFn> receiveEx{nullptr};
};
extern Settings LibrarySettings;

// The session of a socket, created on first use; fresh=true replaces earlier state (a new
// link on a reused descriptor number).
std::shared_ptr<Session> SessionFor(int sock, const char* name, bool fresh);
// Ends the session of a socket once a call in progress on it has finished: nothing is sent on
// it afterwards.
void ForgetSession(int sock);

void Trace(const Session& s, const std::string& text);

// 0 or CIMD_ERROR_LINK (the link is marked down).
int SendPacket(Session& s, const cimd::Packet& packet) REQUIRES(s.callLock);
// Sends an operation under the next packet number and waits for its answer, serving what
// the centre sends meanwhile. 0 and the answer (its error code, if any, is for the caller
// to read), or a library error.
int Transact(Session& s, cimd::Packet request, cimd::Packet& answer, int timeoutMs) REQUIRES(s.callLock);
// Sends an operation whose answer is waited for later with AwaitOutstanding: 0 or
// CIMD_ERROR_LINK (nothing outstanding then). One at a time: CIMD_ERROR_PROTOCOL while one is.
int SendOutstanding(Session& s, cimd::Packet request, int timeoutMs) REQUIRES(s.callLock);
// The answer to the outstanding operation, as Transact gives it; it is no longer
// outstanding afterwards. Its time counts from the send. CIMD_ERROR_PROTOCOL when none is.
int AwaitOutstanding(Session& s, cimd::Packet& answer) REQUIRES(s.callLock);
// Serves received packets for up to waitMs: 0, or a library error (link lost, stream
// beyond repair).
int Serve(Session& s, int waitMs) REQUIRES(s.callLock);

// The error code of an answer (parameter 900), 0 when it has none.
int ErrorCodeOf(const cimd::Packet& answer);

}  // namespace bolt
