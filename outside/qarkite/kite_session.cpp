#include "outside/qarkite/kite_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_frame.h"
#include "runtime/hex_text.h"
#include "runtime/socket_sessions.h"
#include "runtime/stream_socket.h"

namespace kite {

Settings LibrarySettings;

namespace {

SocketSessions<Session> g_sessions;

using Clock = std::chrono::steady_clock;

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms); }

// A peer that never stops sending must not hold a yield for ever.
constexpr int kFramesPerYield = 1000;

// Shown in a trace: control bytes as <XX>, at most 200 characters.
std::string Visible(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes.substr(0, 200)) {
    if (c < 0x20 || c >= 0x7F) {
      out += '<';
      AppendHexOctet(out, c);
      out += '>';
    } else {
      out += char(c);
    }
  }
  if (bytes.size() > 200) out += "...";
  return out;
}

// Reads what is available into s.inbound, waiting at most timeoutMs for the first byte.
// 1 = bytes added, 0 = nothing in time, UCP_ERROR_LINK = closed or failed.
int Fill(Session& s, int timeoutMs) {
  pollfd p{s.sock, POLLIN, 0};
  int r = poll(&p, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : UCP_ERROR_LINK;
  if (r == 0) return 0;
  if (p.revents & POLLNVAL) return UCP_ERROR_LINK;
  char buffer[16384];
  ssize_t n = recv(s.sock, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : UCP_ERROR_LINK;
  if (n == 0) return UCP_ERROR_LINK;
  s.inbound.append(buffer, size_t(n));
  return 1;
}

int SendBytes(Session& s, std::string_view bytes) {
  if (!s.linkUp) return UCP_ERROR_LINK;
  auto deadline = After(LibrarySettings.responseTimeoutMs.load());
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(s.sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += size_t(n);
      continue;
    }
    if (errno == EINTR) continue;
    int left = MillisecondsLeft(deadline);
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || left == 0) {
      s.linkUp = false;
      Trace(s, "send failed; link down");
      return UCP_ERROR_LINK;
    }
    pollfd p{s.sock, POLLOUT, 0};
    poll(&p, 1, left);
  }
  return 0;
}

int SendFrame(Session& s, int trn, char kind, int ot, const std::vector<std::string>& fields) {
  std::string frame = ucp::EncodeFrame(trn, kind, ot, fields);
  if (LibrarySettings.debug.load())
    Trace(s, "send " + MaskedForTrace(std::string_view(frame).substr(1, frame.size() - 2)));
  return SendBytes(s, frame);
}

int Answer(Session& s, const ucp::Frame& op, const std::vector<std::string>& fields) {
  return SendFrame(s, op.trn, 'R', op.ot, fields);
}

int Nack(Session& s, const ucp::Frame& op, int errorCode, const char* text) {
  return Answer(s, op, ucp::NackFields(op.ot, errorCode, text));
}

// A message or notification from the centre: stored by the callback -> ACK, else NACK so
// that the centre delivers it again.
int HandleDelivery(Session& s, const ucp::Frame& op) {
  ucp::InboundMessage m;
  std::string why;
  if (!ucp::DecodeDelivery(op.ot, op.fields, m, why)) {
    Trace(s, "operation " + std::to_string(op.ot) + " refused: " + why);
    return Nack(s, op, 2, "Syntax error");
  }
  UCPReceiveMessageCallbackFn fn = LibrarySettings.receive.load();
  int stored = 0;
  if (fn) {
    stored = fn(s.name.c_str(), m.sender.c_str(), m.recipient.c_str(), m.udhHex.c_str(), m.data.c_str(), m.pid,
                m.dcs, m.flags, m.binary ? 1 : 0, m.receiptId.c_str(), "");
  }
  if (!stored) {
    Trace(s, "operation " + std::to_string(op.ot) + " not stored; answered NACK");
    return Nack(s, op, 4, "Not stored, deliver again");
  }
  const std::string& scts = op.fields[ucp::kSCTS];
  return Answer(s, op, ucp::AckFields(op.ot, ucp::IsDigits(scts, 12, 12) ? op.fields[ucp::kAdC] + ":" + scts : ""));
}

int HandleOperation(Session& s, const ucp::Frame& op) {
  switch (op.ot) {
    case 31:
      if (op.fields.size() != ucp::kField31Count) return Nack(s, op, 2, "Syntax error");
      return Answer(s, op, ucp::AckFields(31, ""));
    case 60:
      // A login on a connection the centre opened: the listener has no credentials to check.
      if (op.fields.size() != ucp::kField60Count) return Nack(s, op, 2, "Syntax error");
      return Answer(s, op, ucp::AckFields(60, ""));
    case 52:
    case 53:
      if (op.fields.size() != ucp::kField5xCount) return Nack(s, op, 2, "Syntax error");
      return HandleDelivery(s, op);
    default:
      return Nack(s, op, 3, "Operation not supported by system");
  }
}

struct Awaited {
  int trn;
  int ot;
};

// 1 = the awaited result (in result), 0 = handled, UCP_ERROR_LINK, UCP_ERROR_PROTOCOL (a
// malformed result to the awaited operation).
int HandleFrame(Session& s, const std::string& content, const Awaited* awaited, ucp::Result* result) {
  ucp::Frame f;
  ucp::FrameFault fault = ucp::DecodeFrame(content, f);
  if (LibrarySettings.debug.load()) Trace(s, "recv " + Visible(MaskedForTrace(content)));
  if (fault == ucp::FrameFault::Header) {
    Trace(s, "frame header unreadable; ignored");
    return 0;
  }
  const char* faultText = fault == ucp::FrameFault::Checksum ? "checksum error" : "length error";
  if (f.kind == 'R') {
    bool ours = awaited && f.trn == awaited->trn && f.ot == awaited->ot;
    ucp::Result r;
    if (fault != ucp::FrameFault::None || !ucp::DecodeResult(f.ot, f.fields, r)) {
      Trace(s, std::string("malformed result: ") + (fault != ucp::FrameFault::None ? faultText : "fields"));
      Session::Outstanding& o = s.outstanding;
      if (!ours && o.active && !o.answered && f.trn == o.trn && f.ot == o.ot) {
        o.answered = true;
        o.status = UCP_ERROR_PROTOCOL;
      }
      return ours ? UCP_ERROR_PROTOCOL : 0;
    }
    if (!ours) {
      Session::Outstanding& o = s.outstanding;
      if (o.active && !o.answered && f.trn == o.trn && f.ot == o.ot) {
        o.answered = true;
        o.status = 0;
        o.result = std::move(r);
        return 0;
      }
      Trace(s, "result not awaited; ignored");
      return 0;
    }
    *result = std::move(r);
    return 1;
  }
  int sent;
  if (fault == ucp::FrameFault::Checksum) {
    sent = Nack(s, f, 1, "Checksum error");
  } else if (fault == ucp::FrameFault::Length) {
    sent = Nack(s, f, 2, "Syntax error");
  } else {
    sent = HandleOperation(s, f);
  }
  return sent < 0 ? sent : 0;
}

// Reads and handles frames until the awaited result arrives or the deadline passes (1, 0,
// or a library error as HandleFrame).
int Pump(Session& s, Clock::time_point deadline, const Awaited* awaited, ucp::Result* result) {
  if (!s.linkUp) return UCP_ERROR_LINK;
  bool lastRead = false;
  for (int handled = 0; handled < kFramesPerYield || awaited;) {
    std::string content, dropped;
    switch (ucp::CutFrame(s.inbound, content, dropped)) {
      case ucp::Cut::Dropped:
        Trace(s, "dropped " + std::to_string(dropped.size()) + " bytes outside a frame or too long: " +
                     Visible(MaskedForTrace(dropped)));
        continue;
      case ucp::Cut::Frame: {
        ++handled;
        int r = HandleFrame(s, content, awaited, result);
        if (r != 0) return r;
        if (awaited && Clock::now() >= deadline) return 0;
        continue;
      }
      case ucp::Cut::NeedMore:
        break;
    }
    int left = MillisecondsLeft(deadline);
    if (left == 0) {
      // What has already arrived is still served once, however short the wait.
      if (lastRead) return 0;
      lastRead = true;
    }
    int r = Fill(s, left);
    if (r < 0) {
      if (!s.inbound.empty()) Trace(s, "link closed inside a frame");
      Trace(s, "link closed");
      s.linkUp = false;
      return r;
    }
  }
  return 0;
}

}  // namespace

std::shared_ptr<Session> SessionFor(int sock, bool fresh) {
  return SessionOfSocket(g_sessions, sock, fresh, &Session::lock, [](Session&, bool) {});
}

void ForgetSession(int sock) { ForgetSocketSession(g_sessions, sock, &Session::lock); }

void Trace(const Session& s, const std::string& text) {
  if (!LibrarySettings.debug.load()) return;
  if (UCPDebugLogFn fn = LibrarySettings.debugLog.load()) fn(s.name.empty() ? "UCP" : s.name.c_str(), text.c_str());
}

std::string MaskedForTrace(std::string_view content) {
  // TRN/LEN/O/60/OAdC/OTON/ONPI/STYP/PWD/NPWD/...
  std::vector<std::string_view> parts;
  size_t from = 0;
  for (;;) {
    size_t slash = content.find('/', from);
    parts.push_back(content.substr(from, slash == std::string_view::npos ? std::string_view::npos : slash - from));
    if (slash == std::string_view::npos) break;
    from = slash + 1;
  }
  if (parts.size() < 6 || parts[3] != "60") return std::string(content);
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '/';
    bool secret = parts[2] == "O" && (i == 4 + ucp::kField60Password || i == 4 + ucp::kField60NewPassword);
    out += secret && !parts[i].empty() ? std::string_view("****") : parts[i];
  }
  return out;
}

namespace {

// Sends an operation under the next TRN (never the outstanding one's).
int SendOperation(Session& s, int ot, const std::vector<std::string>& fields, int& trn) {
  if (!s.linkUp) return UCP_ERROR_LINK;
  trn = s.nextTrn;
  if (s.outstanding.active && trn == s.outstanding.trn) trn = (trn + 1) % 100;
  s.nextTrn = (trn + 1) % 100;
  return SendFrame(s, trn, 'O', ot, fields);
}

int AwaitResult(Session& s, const Awaited& awaited, Clock::time_point deadline, ucp::Result& result) {
  int r = Pump(s, deadline, &awaited, &result);
  if (r == 1) return 0;
  if (r == 0) {
    Trace(s, "no answer to operation " + std::to_string(awaited.ot) + " in time");
    return UCP_ERROR_TIMEOUT;
  }
  return r;
}

}  // namespace

int Transact(Session& s, int ot, const std::vector<std::string>& fields, ucp::Result& result) {
  int trn = 0;
  if (int r = SendOperation(s, ot, fields, trn); r != 0) return r;
  return AwaitResult(s, Awaited{trn, ot}, After(LibrarySettings.responseTimeoutMs.load()), result);
}

int SendOutstanding(Session& s, int ot, const std::vector<std::string>& fields) {
  if (s.outstanding.active) {
    Trace(s, "operation " + std::to_string(ot) + " not sent: one is still awaiting its result");
    return UCP_ERROR_PROTOCOL;
  }
  int trn = 0;
  if (int r = SendOperation(s, ot, fields, trn); r != 0) return r;
  s.outstanding = Session::Outstanding();
  s.outstanding.active = true;
  s.outstanding.trn = trn;
  s.outstanding.ot = ot;
  s.outstanding.deadline = After(LibrarySettings.responseTimeoutMs.load());
  return 0;
}

int AwaitOutstanding(Session& s, ucp::Result& result) {
  Session::Outstanding o = std::move(s.outstanding);
  s.outstanding = Session::Outstanding();
  if (!o.active) return UCP_ERROR_PROTOCOL;
  if (o.answered) {
    if (o.status == 0) result = std::move(o.result);
    return o.status;
  }
  return AwaitResult(s, Awaited{o.trn, o.ot}, o.deadline, result);
}

int Serve(Session& s, int waitMs) {
  int r = Pump(s, After(waitMs), nullptr, nullptr);
  return r < 0 && !s.linkUp ? UCP_ERROR_LINK : 0;
}

bool LinkAlive(Session& s) {
  if (!s.linkUp) return false;
  if (!s.inbound.empty()) return true;
  pollfd p{s.sock, POLLIN, 0};
  if (poll(&p, 1, 0) < 0) return errno == EINTR;
  if (p.revents & POLLNVAL) {
    s.linkUp = false;
    return false;
  }
  if (p.revents == 0) return true;
  char c;
  ssize_t n = recv(s.sock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) return true;
  Trace(s, "link closed");
  s.linkUp = false;
  return false;
}

int ConnectSocket(Session& s, const char* host, unsigned port) {
  s.linkUp = false;
  if (!host || !*host || port == 0 || port > 65535) return UCP_ERROR_LINK;
  std::string why;
  if (ConnectSocketWithin(s.sock, host, port, LibrarySettings.responseTimeoutMs.load(), why) != 0) {
    Trace(s, why);
    return UCP_ERROR_LINK;
  }
  s.linkUp = true;
  return 0;
}

}  // namespace kite
