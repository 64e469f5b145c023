#include "outside/qarbolt/bolt_session.h"

#include <chrono>

#include "outside/qarbolt/cimd_message.h"
#include "runtime/socket_sessions.h"
#include "runtime/stream_socket.h"

namespace bolt {

Settings LibrarySettings;

namespace {

using Clock = std::chrono::steady_clock;
using cimd::Packet;

SocketSessions<Session> g_sessions;

void TraceBytes(const Session& s, const char* direction, std::string_view bytes) {
  if (!LibrarySettings.debug.load()) return;
  Trace(s, std::string(direction) + " " + cimd::TraceText(bytes));
}

// One framed packet within the time left: 1, 0 (none in time), CIMD_ERROR_LINK, or
// CIMD_ERROR_PROTOCOL when the stream cannot be framed any more (the link is given up).
int ReadPacket(Session& s, Clock::time_point deadline, std::string& packet) REQUIRES(s.callLock) {
  if (!s.linkUp.load()) return CIMD_ERROR_LINK;
  for (;;) {
    cimd::FrameResult f = cimd::TakePacket(s.inbound, packet, s.junk);
    if (f == cimd::FrameResult::Packet) {
      TraceBytes(s, "recv", packet);
      return 1;
    }
    if (f == cimd::FrameResult::Oversized || s.junk > cimd::kMaxJunkBytes) {
      Trace(s, f == cimd::FrameResult::Oversized ? "packet longer than allowed; link given up"
                                                  : "too many bytes outside packets; link given up");
      s.inbound.clear();
      s.linkUp = false;
      return CIMD_ERROR_PROTOCOL;
    }
    int r = ReceiveSome(s.sock, MillisecondsLeft(deadline), s.inbound);
    if (r < 0) {
      if (!s.inbound.empty()) Trace(s, "link closed inside a packet");
      s.linkUp = false;
      return CIMD_ERROR_LINK;
    }
    if (r == 0 && MillisecondsLeft(deadline) == 0) return 0;
  }
}

void Answer(Session& s, int op, int number, int errorCode) REQUIRES(s.callLock) {
  Packet answer;
  answer.op = op;
  answer.number = number;
  if (errorCode != 0) answer.Add(cimd::kErrorCode, std::to_string(errorCode));
  SendPacket(s, answer);
}

bool KnownOperation(int op) {
  switch (op) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 9:
    case cimd::kDeliverMessage:
    case cimd::kDeliverReport:
    case cimd::kAlive:
      return true;
    default:
      return false;
  }
}

// Hands a message or report to the gateway; the answer says whether it was stored.
void Deliver(Session& s, const Packet& packet) REQUIRES(s.callLock) {
  cimd::ReceivedMessage m;
  std::string why;
  int answerOp = packet.op + cimd::kAnswerOffset;
  if (!cimd::DecodeDelivery(packet, m, why)) {
    Trace(s, "malformed delivery: " + why);
    Answer(s, answerOp, packet.number, cimd::kErrorSyntax);
    return;
  }
  const char* name = s.name.c_str();
  int stored = 0;
  if (CIMDReceiveMessageCallbackExFn ex = LibrarySettings.receiveEx.load()) {
    stored = ex(name, m.sender.c_str(), m.recipient.c_str(), m.udhHex.c_str(), m.data.c_str(), m.pid, m.dcs,
                m.flags, m.binary ? 1 : 0, m.receiptMessageId.c_str(), m.extraParams.c_str());
  } else if (m.report) {
    // Only the newer callback takes reports; without it there is nobody to give one to.
    Trace(s, "status report not passed on (no callback takes reports)");
    stored = 1;
  } else if (CIMDReceiveMessageCallbackFn older = LibrarySettings.receive.load()) {
    stored = older(name, m.sender.c_str(), m.recipient.c_str(), m.udhHex.c_str(), m.data.c_str(), m.pid, m.dcs,
                   m.binary ? 1 : 0);
  }
  if (stored == 0) Trace(s, "delivery not stored; the centre is asked to deliver it again");
  Answer(s, answerOp, packet.number, stored ? 0 : cimd::kErrorTemporaryCongestion);
}

// An operation from the centre. CIMD_ERROR_LINK once the centre logged out.
int HandleOperation(Session& s, const Packet& packet) REQUIRES(s.callLock) {
  int answerOp = packet.op + cimd::kAnswerOffset;
  switch (packet.op) {
    case cimd::kDeliverMessage:
    case cimd::kDeliverReport:
      Deliver(s, packet);
      return 0;
    case cimd::kAlive:
    case cimd::kLogin:
      // A connection the centre opened to the gateway's listener logs in there.
      Answer(s, answerOp, packet.number, 0);
      return 0;
    case cimd::kLogout:
      Answer(s, answerOp, packet.number, 0);
      Trace(s, "centre logged out");
      s.linkUp = false;
      return CIMD_ERROR_LINK;
    default:
      if (KnownOperation(packet.op)) {
        Answer(s, answerOp, packet.number, cimd::kErrorUnexpectedOperation);
      } else {
        Answer(s, cimd::kGeneralErrorAnswer, packet.number, cimd::kErrorUnexpectedOperation);
      }
      return 0;
  }
}

// A packet that is not the awaited answer.
int HandleReceived(Session& s, const std::string& bytes, const cimd::ParseResult& parsed, const Packet& packet)
    REQUIRES(s.callLock) {
  if (!parsed.ok) {
    Trace(s, "malformed packet (" + parsed.why + ")");
    // An operation is answered with an error; a malformed answer is no answer at all.
    if (parsed.headerOk && packet.op < cimd::kAnswerOffset) {
      Answer(s, KnownOperation(packet.op) ? packet.op + cimd::kAnswerOffset : cimd::kGeneralErrorAnswer,
             packet.number, cimd::kErrorSyntax);
    }
    return 0;
  }
  if (packet.op >= cimd::kAnswerOffset) {
    Session::Outstanding& o = s.outstanding;
    if (o.active && !o.answered && packet.number == o.number) {
      if (packet.op == o.op + cimd::kAnswerOffset || packet.op == cimd::kGeneralErrorAnswer) {
        o.answered = true;
        o.result = 0;
        o.answer = packet;
        return 0;
      }
      if (packet.op == cimd::kNack) {
        Trace(s, "centre refused the packet (NACK)");
        o.answered = true;
        o.result = CIMD_ERROR_PROTOCOL;
        return 0;
      }
    }
    Trace(s, "answer not awaited ignored");
    return 0;
  }
  return HandleOperation(s, packet);
}

}  // namespace

std::shared_ptr<Session> SessionFor(int sock, const char* name, bool fresh) {
  return SessionOfSocket(g_sessions, sock, fresh, &Session::callLock, [&](Session& s, bool made) {
    if (made && name) s.name = name;
  });
}

void ForgetSession(int sock) { ForgetSocketSession(g_sessions, sock, &Session::callLock); }

void Trace(const Session& s, const std::string& text) {
  if (!LibrarySettings.debug.load()) return;
  if (CIMDDebugLogFn fn = LibrarySettings.debugLog.load()) fn(s.name.empty() ? "CIMD" : s.name.c_str(), text.c_str());
}

int ErrorCodeOf(const Packet& answer) {
  const std::string* code = answer.Find(cimd::kErrorCode);
  return code ? cimd::DecimalValue(*code, 3) : 0;
}

int SendPacket(Session& s, const Packet& packet) {
  if (!s.linkUp.load()) return CIMD_ERROR_LINK;
  std::string bytes = cimd::EncodePacket(packet);
  TraceBytes(s, "send", bytes);
  if (SendAllWithin(s.sock, bytes, LibrarySettings.responseTimeoutMs.load()) != 0) {
    s.linkUp = false;
    Trace(s, "send failed; link down");
    return CIMD_ERROR_LINK;
  }
  return 0;
}

namespace {

// Sends under the next packet number (never the outstanding one's).
int SendRequest(Session& s, Packet& request) REQUIRES(s.callLock) {
  s.junk = 0;
  request.number = s.nextNumber;
  s.nextNumber = s.nextNumber >= 255 ? 1 : s.nextNumber + 2;
  if (s.outstanding.active && request.number == s.outstanding.number) {
    request.number = s.nextNumber;
    s.nextNumber = s.nextNumber >= 255 ? 1 : s.nextNumber + 2;
  }
  return SendPacket(s, request);
}

int AwaitAnswer(Session& s, int number, int op, Clock::time_point deadline, Packet& answer) REQUIRES(s.callLock) {
  for (int handled = 0;; ++handled) {
    // A centre that keeps sending other packets must not hold the wait open: past the
    // deadline only what is already here is looked at.
    if (MillisecondsLeft(deadline) == 0 && (handled >= 1000 || s.inbound.find(cimd::kEtx) == std::string::npos)) {
      Trace(s, "no answer in time");
      return CIMD_ERROR_TIMEOUT;
    }
    std::string bytes;
    int r = ReadPacket(s, deadline, bytes);
    if (r < 0) return r;
    if (r == 0) {
      Trace(s, "no answer in time");
      return CIMD_ERROR_TIMEOUT;
    }
    Packet packet;
    cimd::ParseResult parsed = cimd::ParsePacket(bytes, packet);
    if (parsed.ok && packet.number == number) {
      if (packet.op == op + cimd::kAnswerOffset || packet.op == cimd::kGeneralErrorAnswer) {
        answer = std::move(packet);
        return 0;
      }
      if (packet.op == cimd::kNack) {
        Trace(s, "centre refused the packet (NACK)");
        return CIMD_ERROR_PROTOCOL;
      }
    }
    if (int h = HandleReceived(s, bytes, parsed, packet); h < 0) return h;
  }
}

}  // namespace

int Transact(Session& s, Packet request, Packet& answer, int timeoutMs) {
  if (int r = SendRequest(s, request); r != 0) return r;
  return AwaitAnswer(s, request.number, request.op, Clock::now() + std::chrono::milliseconds(timeoutMs), answer);
}

int SendOutstanding(Session& s, Packet request, int timeoutMs) {
  if (s.outstanding.active) {
    Trace(s, "operation not sent: one is still awaiting its answer");
    return CIMD_ERROR_PROTOCOL;
  }
  if (int r = SendRequest(s, request); r != 0) return r;
  s.outstanding = Session::Outstanding();
  s.outstanding.active = true;
  s.outstanding.number = request.number;
  s.outstanding.op = request.op;
  s.outstanding.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  return 0;
}

int AwaitOutstanding(Session& s, Packet& answer) {
  Session::Outstanding o = std::move(s.outstanding);
  s.outstanding = Session::Outstanding();
  if (!o.active) return CIMD_ERROR_PROTOCOL;
  if (o.answered) {
    if (o.result == 0) answer = std::move(o.answer);
    return o.result;
  }
  s.junk = 0;
  return AwaitAnswer(s, o.number, o.op, o.deadline, answer);
}

int Serve(Session& s, int waitMs) {
  s.junk = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
  // A centre that never stops sending must not hold the caller past its wait.
  for (int handled = 0; handled < 1000; ++handled) {
    std::string bytes;
    int r = ReadPacket(s, deadline, bytes);
    if (r <= 0) return r;
    Packet packet;
    cimd::ParseResult parsed = cimd::ParsePacket(bytes, packet);
    if (int h = HandleReceived(s, bytes, parsed, packet); h < 0) return h;
    if (MillisecondsLeft(deadline) == 0 && s.inbound.find(cimd::kEtx) == std::string::npos) return 0;
  }
  return 0;
}

}  // namespace bolt
