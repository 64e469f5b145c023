// Per-socket session state of qarkite and the framed, time-bounded exchange over it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "outside/qarkite/qarkite.h"
#include "outside/qarkite/ucp_message.h"
#include "runtime/mutex.h"

namespace kite {

struct Settings {
  std::atomic<bool> debug{false};
  std::atomic<UCPDebugLogFn> debugLog{nullptr};
  std::atomic<int> responseTimeoutMs{30000};
  std::atomic<UCPReceiveMessageCallbackFn> receive{nullptr};
};
extern Settings LibrarySettings;

// Every call on a session holds its lock for the whole call: the fields below are touched
// by one thread at a time, and a callback runs inside that call.
struct Session {
  int sock = -1;
  Mutex lock;
  std::string name;
  bool linkUp = true;
  int nextTrn = 0;
  std::string inbound;        // bytes read but not yet framed
  std::string user;           // of the login; the address of alerts
  std::string lastMessageId;  // "AdC:SCTS" of the last accepted submit
  // A submit sent and not yet waited for (a window of one): its result, when it comes
  // during another call, is kept here for the wait.
  struct Outstanding {
    bool active = false;
    int trn = 0, ot = 0;
    std::chrono::steady_clock::time_point deadline;
    bool answered = false;
    int status = 0;  // 0 with result, or UCP_ERROR_PROTOCOL for a malformed result
    ucp::Result result;
  } outstanding;
};

// The session of a socket; fresh=true replaces any earlier state (a new link on a reused
// descriptor number). A socket never seen before gets a session on first use.
std::shared_ptr<Session> SessionFor(int sock, bool fresh);
// Ends the session of a socket once a call in progress on it has finished: nothing is sent on
// it afterwards.
void ForgetSession(int sock);

// The rest need the session's lock.
void Trace(const Session& s, const std::string& text);
// The frame content as the trace shows it: passwords of a login replaced by "****".
std::string MaskedForTrace(std::string_view content);

// Sends an operation and waits for its result (same TRN and OT) within the response
// timeout, serving whatever the peer sends meanwhile. 0 and the result, or UCP_ERROR_LINK,
// UCP_ERROR_TIMEOUT, UCP_ERROR_PROTOCOL (a malformed result to it).
int Transact(Session& s, int ot, const std::vector<std::string>& fields, ucp::Result& result);
// Sends an operation whose result is waited for later with AwaitOutstanding: 0, or
// UCP_ERROR_LINK (nothing outstanding then). One at a time: UCP_ERROR_PROTOCOL while one is.
int SendOutstanding(Session& s, int ot, const std::vector<std::string>& fields);
// The result of the outstanding operation, as Transact gives it; it is no longer
// outstanding afterwards. Its time counts from the send. UCP_ERROR_PROTOCOL when none is.
int AwaitOutstanding(Session& s, ucp::Result& result);
// Serves received frames for up to waitMs: 0, or UCP_ERROR_LINK once the link is gone.
int Serve(Session& s, int waitMs);
// False once the peer has closed the link or the socket failed; reads nothing.
bool LinkAlive(Session& s);
// Connects the caller's socket within the response timeout: 0 or UCP_ERROR_LINK.
int ConnectSocket(Session& s, const char* host, unsigned port);

}  // namespace kite
