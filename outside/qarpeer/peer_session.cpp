#include "outside/qarpeer/peer_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <vector>

#include "outside/qarpeer/async_receive.h"
#include "outside/qarpeer/message_content.h"
#include "runtime/hex_text.h"
#include "runtime/mutex.h"
#include "runtime/socket_sessions.h"
#include "runtime/stream_socket.h"

namespace peer {

Settings LibrarySettings;

namespace {

SocketSessions<Session> g_sessions;

using Clock = std::chrono::steady_clock;

std::string HexDump(std::string_view bytes, size_t max = 96) {
  return bytes.size() > max ? HexEncode(bytes.substr(0, max)) + "..." : HexEncode(bytes);
}

// A bind's password (the C string after system_id) is dumped as "*" bytes: the log never
// holds it, in either role.
std::string TracedBody(const smpp::Pdu& pdu) {
  uint32_t id = pdu.commandId;
  if (id != smpp::kBindReceiver && id != smpp::kBindTransmitter && id != smpp::kBindTransceiver &&
      id != smpp::kOutbind)
    return pdu.body;
  std::string body = pdu.body;
  size_t idEnd = body.find('\0');
  size_t from = idEnd == std::string::npos ? 0 : idEnd + 1;
  size_t to = idEnd == std::string::npos ? body.size() : std::min(body.find('\0', from), body.size());
  std::fill(body.begin() + static_cast<std::ptrdiff_t>(from), body.begin() + static_cast<std::ptrdiff_t>(to), '*');
  return body;
}

void TracePdu(const Session& s, const char* direction, const smpp::Pdu& pdu) {
  if (!LibrarySettings.debug.load()) return;
  char head[160];
  snprintf(head, sizeof head, "%s %s status=0x%08X seq=%u len=%zu ", direction, smpp::CommandName(pdu.commandId),
           pdu.status, pdu.sequence, pdu.body.size() + smpp::kHeaderLength);
  Trace(s, head + HexDump(TracedBody(pdu)));
}

// Reads what is available into s.inbound, waiting at most timeoutMs for the first byte.
// 1 = bytes added, 0 = nothing in time, SMPP_ERROR_LINK = closed or failed.
int Fill(Session& s, int timeoutMs) {
  if (s.tls) {
    char buffer[16384];
    SMPPTlsRecvFn recvFn = LibrarySettings.tlsRecv.load();
    SMPPTlsPendingFn pendingFn = LibrarySettings.tlsPending.load();
    if (!recvFn) return SMPP_ERROR_LINK;
    if (!(pendingFn && pendingFn(s.tls) > 0)) {
      pollfd p{s.sock, POLLIN, 0};
      int r = poll(&p, 1, timeoutMs);
      if (r < 0) return errno == EINTR ? 0 : SMPP_ERROR_LINK;
      if (r == 0) return 0;
    }
    int n = recvFn(s.tls, buffer, int(sizeof buffer));
    if (n < 0) return SMPP_ERROR_LINK;
    if (n == 0) return 0;  // a record not yet complete
    s.inbound.append(buffer, size_t(n));
    return 1;
  }
  int r = ReceiveSome(s.sock, timeoutMs, s.inbound);
  return r < 0 ? SMPP_ERROR_LINK : r;
}

int SendBytes(Session& s, std::string_view bytes) {
  if (!s.tls) {
    return SendAllWithin(s.sock, bytes, LibrarySettings.responseTimeoutMs.load()) == 0 ? 0 : SMPP_ERROR_LINK;
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    SMPPTlsSendFn sendFn = LibrarySettings.tlsSend.load();
    if (!sendFn) return SMPP_ERROR_LINK;
    int n = sendFn(s.tls, bytes.data() + sent, int(bytes.size() - sent));
    if (n <= 0) return SMPP_ERROR_LINK;
    sent += size_t(n);
  }
  return 0;
}

}  // namespace

std::shared_ptr<Session> SessionFor(int sock, void* tls, const char* name, bool fresh) {
  return SessionOfSocket(g_sessions, sock, fresh, &Session::sendLock, [&](Session& s, bool) {
    // Written only when they change (the first bind, a fresh session): other threads of the
    // session read them without the table lock (answers sent from the receive queue).
    if (tls && s.tls != tls) s.tls = tls;
    if (name && *name && s.name != name) s.name = name;
  });
}

void ForgetSession(int sock) {
  if (auto gone = ForgetSocketSession(g_sessions, sock, &Session::sendLock))
    CompleteAllOutstanding(*gone, SMPP_ERROR_LINK);
}

void MarkDown(Session& s) { MarkSessionDown(s, s.sendLock); }

Session::~Session() { CompleteAllOutstanding(*this, SMPP_ERROR_LINK); }

namespace {
void Complete(SMPPAsyncSubmit* record, int status, SMPPAsyncCompletionFn completion) {
  record->status = status;
  if (completion) completion(record);
  else if (SMPPAsyncCompletionFn fn = LibrarySettings.asyncCompletion.load()) fn(record);
}
}  // namespace

void AddOutstanding(Session& s, uint32_t sequence, SMPPAsyncSubmit* record, int timeoutMs,
                    SMPPAsyncCompletionFn completion) {
  MutexLock lock(s.outstandingLock);
  s.outstanding[sequence] = {record, Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                             completion};
}

bool RemoveOutstanding(Session& s, uint32_t sequence) {
  MutexLock lock(s.outstandingLock);
  return s.outstanding.erase(sequence) != 0;
}

bool CompleteOutstanding(Session& s, const smpp::Pdu& pdu) {
  if (!smpp::IsResponse(pdu.commandId) && pdu.commandId != smpp::kGenericNack) return false;
  SMPPAsyncSubmit* record = nullptr;
  SMPPAsyncCompletionFn completion = nullptr;
  {
    MutexLock lock(s.outstandingLock);
    auto it = s.outstanding.find(pdu.sequence);
    if (it == s.outstanding.end()) return false;
    record = it->second.record;
    completion = it->second.completion;
    s.outstanding.erase(it);
  }
  int status = int(pdu.status);
  if (pdu.commandId == smpp::kGenericNack && status == 0) status = SMPP_ERROR_PROTOCOL;
  record->smscMessageId[0] = '\0';
  if (status == 0) {
    std::string id;
    if (!smpp::DecodeLeadingCString(pdu.body, 65, id)) {
      Trace(s, "malformed response body");
      status = SMPP_ERROR_PROTOCOL;
    } else {
      snprintf(record->smscMessageId, sizeof record->smscMessageId, "%s", id.c_str());
    }
  }
  Complete(record, status, completion);
  return true;
}

void ExpireOutstanding(Session& s) {
  std::vector<Session::Outstanding> expired;
  {
    MutexLock lock(s.outstandingLock);
    auto now = Clock::now();
    for (auto it = s.outstanding.begin(); it != s.outstanding.end();) {
      if (it->second.deadline <= now) {
        expired.push_back(it->second);
        it = s.outstanding.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const Session::Outstanding& o : expired) Complete(o.record, SMPP_ERROR_TIMEOUT, o.completion);
}

void CompleteAllOutstanding(Session& s, int status) {
  std::map<uint32_t, Session::Outstanding> all;
  {
    MutexLock lock(s.outstandingLock);
    all.swap(s.outstanding);
  }
  for (auto& [sequence, o] : all) Complete(o.record, status, o.completion);
}

void Trace(const Session& s, const std::string& text) {
  if (!LibrarySettings.debug.load()) return;
  if (SMPPDebugLogFn fn = LibrarySettings.debugLog.load()) fn(s.name.empty() ? "SMPP" : s.name.c_str(), text.c_str());
}

uint32_t NextSequence(Session& s) {
  MutexLock lock(s.sequenceLock);
  uint32_t seq = s.nextSequence;
  s.nextSequence = seq >= 0x7FFFFFFF ? 1 : seq + 1;
  return seq;
}

namespace {
constexpr size_t kOutboxFlushBytes = 16384;

int SendLocked(Session& s, std::string_view bytes) REQUIRES(s.sendLock) {
  if (!s.linkUp.load()) {
    s.outbox.clear();
    return SMPP_ERROR_LINK;
  }
  if (SendBytes(s, bytes) != 0) {
    s.linkUp = false;
    s.outbox.clear();
    Trace(s, "send failed; link down");
    return SMPP_ERROR_LINK;
  }
  return 0;
}
}  // namespace

int SendPdu(Session& s, const smpp::Pdu& pdu) {
  if (!s.linkUp.load()) return SMPP_ERROR_LINK;
  TracePdu(s, "send", pdu);
  MutexLock lock(s.sendLock);
  if (s.outbox.empty()) return SendLocked(s, smpp::EncodePdu(pdu));
  s.outbox += smpp::EncodePdu(pdu);
  int r = SendLocked(s, s.outbox);
  s.outbox.clear();
  return r;
}

int QueuePdu(Session& s, const smpp::Pdu& pdu) {
  if (!s.linkUp.load()) return SMPP_ERROR_LINK;
  TracePdu(s, "send", pdu);
  MutexLock lock(s.sendLock);
  if (!s.linkUp.load()) return SMPP_ERROR_LINK;
  s.outbox += smpp::EncodePdu(pdu);
  if (s.outbox.size() < kOutboxFlushBytes) return 0;
  int r = SendLocked(s, s.outbox);
  s.outbox.clear();
  return r;
}

int FlushOutbox(Session& s) {
  MutexLock lock(s.sendLock);
  if (s.outbox.empty()) return 0;
  int r = SendLocked(s, s.outbox);
  s.outbox.clear();
  return r;
}

int ReadPdu(Session& s, int timeoutMs, smpp::Pdu& out) {
  if (!s.linkUp.load()) return SMPP_ERROR_LINK;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (s.inbound.size() >= 4) {
      uint32_t length = smpp::CheckedCommandLength(s.inbound);
      if (length == 0) {
        // The stream cannot be framed any more: say so once and give the link up.
        Trace(s, "received PDU with impossible command_length; link given up");
        smpp::Pdu nack{smpp::kGenericNack, smpp::kStatusInvalidCmdLength,
                       s.inbound.size() >= 16 ? smpp::DecodePdu(s.inbound.substr(0, 16)).sequence : 0, {}};
        SendPdu(s, nack);
        s.inbound.clear();
        s.linkUp = false;
        return SMPP_ERROR_PROTOCOL;
      }
      if (s.inbound.size() >= length) {
        out = smpp::DecodePdu(std::string_view(s.inbound).substr(0, length));
        s.inbound.erase(0, length);
        TracePdu(s, "recv", out);
        return 1;
      }
    }
    int r = Fill(s, MillisecondsLeft(deadline));
    if (r < 0) {
      if (!s.inbound.empty()) Trace(s, "link closed inside a PDU");
      s.linkUp = false;
      return r;
    }
    if (r == 0 && MillisecondsLeft(deadline) == 0) return 0;
  }
}

int Transact(Session& s, smpp::Pdu request, smpp::Pdu& response, int timeoutMs) {
  request.sequence = NextSequence(s);
  if (int r = SendPdu(s, request); r != 0) return r;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    smpp::Pdu pdu;
    int r = ReadPdu(s, MillisecondsLeft(deadline), pdu);
    if (r < 0) {
      CompleteAllOutstanding(s, SMPP_ERROR_LINK);
      return r;
    }
    if (r == 0) {
      Trace(s, std::string("no answer to ") + smpp::CommandName(request.commandId) + " in time");
      return SMPP_ERROR_TIMEOUT;
    }
    if (pdu.sequence == request.sequence &&
        (pdu.commandId == (request.commandId | smpp::kResponseBit) || pdu.commandId == smpp::kGenericNack)) {
      // A generic_nack never accepts anything, whatever status it carries.
      if (pdu.commandId == smpp::kGenericNack && pdu.status == 0) return SMPP_ERROR_PROTOCOL;
      response = std::move(pdu);
      return 0;
    }
    if (int h = HandleUnsolicited(s, pdu); h < 0) return h;
  }
}

namespace {

// The messages whose answers may be held: submit_sm/data_sm to a server, deliver_sm/data_sm
// to a client.
bool IsMessageFor(const Session& s, uint32_t commandId) {
  return commandId == smpp::kDataSm || commandId == (s.role == Role::Server ? smpp::kSubmitSm : smpp::kDeliverSm);
}

void Respond(Session& s, const smpp::Pdu& request, uint32_t status, std::string body = {}) {
  smpp::Pdu response{request.commandId | smpp::kResponseBit, status, request.sequence, std::move(body)};
  if (IsMessageFor(s, request.commandId)) {
    MutexLock guard(s.heldLock);
    if (s.holdResponses) {
      s.heldResponses.push_back(std::move(response));
      return;
    }
  }
  SendPdu(s, response);
}

// deliver_sm/data_sm on the client side, submit_sm/data_sm on the server side.
void HandleMessage(Session& s, const smpp::Pdu& pdu) {
  bool dataSm = pdu.commandId == smpp::kDataSm;
  smpp::ShortMessage m;
  bool decoded = dataSm ? smpp::DecodeDataSm(pdu.body, m) : smpp::DecodeShortMessage(pdu.body, m);
  std::string body;
  if (!decoded) {
    Trace(s, std::string("malformed ") + smpp::CommandName(pdu.commandId));
    if (s.role == Role::Server) smpp::AppendCString(body, "", 65);
    Respond(s, pdu, smpp::kStatusInvalidCmdLength, body);
    return;
  }
  // On the heap: the callback's view points into it, and it may wait in the receive queue.
  auto received = std::make_unique<ReceivedMessage>();
  uint32_t status = 0;
  if (!DecodeReceived(pdu.commandId, pdu.sequence, m, *received, status)) {
    if (s.role == Role::Server) smpp::AppendCString(body, "", 65);
    Respond(s, pdu, status, body);
    return;
  }
  if (s.role == Role::Client) {
    int queued = QueueReceived(s, pdu.commandId, pdu.sequence, received);
    if (queued == 0) return;  // answered once the callback has taken it
    smpp::AppendCString(body, "", 65);
    if (queued > 0) {
      Respond(s, pdu, uint32_t(queued), body);
      return;
    }
    // A message nobody takes is not acknowledged: the SMS centre must try again later.
    SMPPReceiveMessageCallbackFn fn = LibrarySettings.receive.load();
    status = fn ? uint32_t(fn(s.name.c_str(), &received->view)) : smpp::kStatusTempAppError;
    Respond(s, pdu, status, body);
    return;
  }
  if (s.bindType == SMPP_BIND_RECEIVER || s.bindType == 0) {
    smpp::AppendCString(body, "", 65);
    Respond(s, pdu, smpp::kStatusInvalidBindStatus, body);
    return;
  }
  SMPPServerReceiveMessageCallbackFn fn = LibrarySettings.serverReceive.load();
  char messageId[66] = {};
  status = fn ? uint32_t(fn(s.name.c_str(), &received->view, messageId, int(sizeof messageId)))
              : smpp::kStatusSystemError;
  messageId[sizeof messageId - 1] = '\0';
  smpp::AppendCString(body, status == 0 ? messageId : "", 65);
  Respond(s, pdu, status, body);
}

}  // namespace

void HoldResponses(Session& s) {
  MutexLock guard(s.heldLock);
  s.holdResponses = true;
}

void ReleaseHold(Session& s) {
  MutexLock guard(s.heldLock);
  s.holdResponses = false;
}

size_t HeldResponseCount(Session& s) {
  MutexLock guard(s.heldLock);
  return s.heldResponses.size();
}

int SendHeldResponses(Session& s, uint32_t failStatus) {
  ReleaseHold(s);
  return SendFirstHeldResponses(s, SIZE_MAX, failStatus);
}

int SendFirstHeldResponses(Session& s, size_t count, uint32_t failStatus) {
  std::vector<smpp::Pdu> held;
  {
    MutexLock guard(s.heldLock);
    if (count >= s.heldResponses.size()) {
      held.swap(s.heldResponses);
    } else {
      auto end = s.heldResponses.begin() + std::ptrdiff_t(count);
      held.assign(std::make_move_iterator(s.heldResponses.begin()), std::make_move_iterator(end));
      s.heldResponses.erase(s.heldResponses.begin(), end);
    }
  }
  int r = 0;
  for (smpp::Pdu& response : held) {
    if (failStatus != 0 && response.status == 0) {
      response.status = failStatus;
      response.body.assign(1, '\0');  // no message id for a refused message
    }
    if (int q = QueuePdu(s, response); q != 0 && r == 0) r = q;
  }
  if (int f = FlushOutbox(s); f != 0 && r == 0) r = f;
  return r;
}

namespace {

}  // namespace

int HandleUnsolicited(Session& s, const smpp::Pdu& pdu) {
  if (CompleteOutstanding(s, pdu)) return 0;
  if (s.role == Role::Server) {
    if (SMPPServerActivityCallbackFn fn = LibrarySettings.serverActivity.load()) fn(s.name.c_str(), pdu.commandId);
  }
  switch (pdu.commandId) {
    case smpp::kEnquireLink:
      Respond(s, pdu, 0);
      return 0;
    case smpp::kUnbind:
      Respond(s, pdu, 0);
      Trace(s, "peer unbound");
      s.linkUp = false;
      return SMPP_ERROR_LINK;
    case smpp::kDeliverSm:
      if (s.role == Role::Client && s.bindType != SMPP_BIND_TRANSMITTER) {
        HandleMessage(s, pdu);
      } else {
        Respond(s, pdu, smpp::kStatusInvalidBindStatus, std::string(1, '\0'));
      }
      return 0;
    case smpp::kSubmitSm:
      if (s.role == Role::Server) {
        HandleMessage(s, pdu);
      } else {
        Respond(s, pdu, smpp::kStatusInvalidCmdId);
      }
      return 0;
    case smpp::kDataSm:
      HandleMessage(s, pdu);
      return 0;
    case smpp::kGenericNack:
      Trace(s, "generic_nack for a request not awaited");
      return 0;
    case smpp::kAlertNotification:
      // It has no response PDU: a generic_nack would tell the SMS centre it was refused.
      Trace(s, "alert_notification noted");
      return 0;
    case smpp::kBindReceiver:
    case smpp::kBindTransmitter:
    case smpp::kBindTransceiver: {
      std::string body;
      smpp::AppendCString(body, "", 16);
      Respond(s, pdu, 0x05, body);  // already bound
      return 0;
    }
    default:
      if (smpp::IsResponse(pdu.commandId)) {
        Trace(s, "late or unexpected response ignored");
        return 0;
      }
      SendPdu(s, smpp::Pdu{smpp::kGenericNack, smpp::kStatusInvalidCmdId, pdu.sequence, {}});
      return 0;
  }
}

namespace {
int YieldOnce(Session& s, int waitMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
  // A peer that never stops sending must not hold the caller for ever.
  for (int handled = 0; handled < 1000; ++handled) {
    smpp::Pdu pdu;
    int r = ReadPdu(s, MillisecondsLeft(deadline), pdu);
    if (r < 0) return r;
    if (r == 0) return 0;
    if (int h = HandleUnsolicited(s, pdu); h < 0) return h;
    if (MillisecondsLeft(deadline) == 0 && s.inbound.size() < 4) return 0;
  }
  return 0;
}
}  // namespace

int YieldFor(Session& s, int waitMs) {
  int r = FlushOutbox(s);
  if (r == 0) r = YieldOnce(s, waitMs);
  // Outstanding submits end with the link or with their timeout.
  if (r < 0 || !s.linkUp.load()) CompleteAllOutstanding(s, SMPP_ERROR_LINK);
  else ExpireOutstanding(s);
  return r;
}

}  // namespace peer
