// The exported entry points of qarbolt.
#include <cstdio>

#include "outside/qarbolt/bolt_session.h"
#include "outside/qarbolt/cimd_message.h"
#include "outside/qarbolt/qarbolt.h"
#include "runtime/call_arguments.h"
#include "runtime/stream_socket.h"

#define QARBOLT_EXPORT extern "C" __attribute__((visibility("default")))

using bolt::LibrarySettings;
using bolt::Session;

namespace {

constexpr int kConnectTimeoutMs = 15000;

int ResponseTimeout() { return LibrarySettings.responseTimeoutMs.load(); }

// Result of an operation: a library error, the answer's error code, or 0.
int StatusOf(int transactResult, const cimd::Packet& answer) {
  if (transactResult != 0) return transactResult;
  int code = bolt::ErrorCodeOf(answer);
  if (code > 0) return code;
  // A general error answer without a code still refuses the operation.
  return answer.op == cimd::kGeneralErrorAnswer ? CIMD_ERROR_PROTOCOL : 0;
}

}  // namespace

QARBOLT_EXPORT void CIMDSetDebugMode(int on) { LibrarySettings.debug = on != 0; }
QARBOLT_EXPORT void CIMDSetDebugLogFunction(CIMDDebugLogFn fn) { LibrarySettings.debugLog = fn; }
QARBOLT_EXPORT void CIMDSetResponseTimeout(int milliseconds) {
  LibrarySettings.responseTimeoutMs = milliseconds > 0 ? milliseconds : 30000;
}
QARBOLT_EXPORT void CIMDSetReceiveMessageCallback(CIMDReceiveMessageCallbackFn fn) { LibrarySettings.receive = fn; }
QARBOLT_EXPORT void CIMDSetReceiveMessageCallbackEx(CIMDReceiveMessageCallbackExFn fn) {
  LibrarySettings.receiveEx = fn;
}

QARBOLT_EXPORT int CIMDConnect(const char* name, int sock, const char* host, unsigned port) {
  auto s = bolt::SessionFor(sock, name, true);
  MutexLock lock(s->callLock);
  std::string why;
  int result = ConnectSocketWithin(sock, Text(host), port, kConnectTimeoutMs, why) == 0 ? 0 : CIMD_ERROR_LINK;
  s->linkUp = result == 0;
  if (result != 0) bolt::Trace(*s, why);
  return result;
}

QARBOLT_EXPORT int CIMDBind(const char* name, int sock, const char* user, const char* password) {
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  cimd::Packet login;
  login.op = cimd::kLogin;
  login.Add(cimd::kUserIdentity, Text(user));
  login.Add(cimd::kPassword, Text(password));
  for (const cimd::Parameter& p : login.params) {
    if (!cimd::FitsParameter(p.value) || !cimd::ValidParameterValue(p.code, p.value)) {
      bolt::Trace(*s, "login not sent: user or password cannot be sent");
      return CIMD_ERROR_PROTOCOL;
    }
  }
  cimd::Packet answer;
  return StatusOf(bolt::Transact(*s, login, answer, ResponseTimeout()), answer);
}

namespace {

// The submit sent (s locked): 0, or its status (nothing outstanding then).
int SendSubmit(Session& s, const char* sender, const char* recipient, int pid, int dcs, const char* udhHex,
               const char* data, int flags, int binary) REQUIRES(s.callLock) {
  s.lastMessageId.clear();
  cimd::OutboundMessage m = MessageFromCall(sender, recipient, pid, dcs, udhHex, data, flags, binary);
  cimd::Packet submit;
  std::string why;
  if (!cimd::BuildSubmit(m, submit, why)) {
    bolt::Trace(s, "message not sent: " + why);
    return CIMD_ERROR_PROTOCOL;
  }
  s.outstandingRecipient = m.recipient;
  return bolt::SendOutstanding(s, submit, ResponseTimeout());
}

int AwaitSubmit(Session& s) REQUIRES(s.callLock) {
  cimd::Packet answer;
  int status = StatusOf(bolt::AwaitOutstanding(s, answer), answer);
  if (status == 0) {
    const std::string* destination = answer.Find(cimd::kDestination);
    const std::string* timestamp = answer.Find(cimd::kTimestamp);
    if (timestamp) {
      s.lastMessageId = cimd::MessageIdOf(destination ? *destination : s.outstandingRecipient, *timestamp);
    } else {
      bolt::Trace(s, "accepted without a time stamp: no message id");
    }
  }
  return status;
}

}  // namespace

QARBOLT_EXPORT int CIMDSubmitMessage(const char* name, int sock, const char* sender, const char* unused,
                                     const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                     int flags, int binary) {
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  int status = SendSubmit(*s, sender, recipient, pid, dcs, udhHex, data, flags, binary);
  return status != 0 ? status : AwaitSubmit(*s);
}

QARBOLT_EXPORT int CIMDSendMessage(const char* name, int sock, const char* sender, const char* unused,
                                   const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                   int flags, int binary) {
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  return SendSubmit(*s, sender, recipient, pid, dcs, udhHex, data, flags, binary);
}

QARBOLT_EXPORT int CIMDWaitMessageResult(const char* name, int sock) {
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  return AwaitSubmit(*s);
}

QARBOLT_EXPORT int CIMDLastMessageId(const char* name, int sock, char* messageId, int messageIdSize) {
  if (messageId && messageIdSize > 0) messageId[0] = '\0';
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  if (s->lastMessageId.empty() || !messageId || messageIdSize <= 0) return -1;
  snprintf(messageId, size_t(messageIdSize), "%s", s->lastMessageId.c_str());
  return 0;
}

QARBOLT_EXPORT int CIMDEnquireLink(const char* name, int sock) {
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  cimd::Packet alive;
  alive.op = cimd::kAlive;
  cimd::Packet answer;
  return StatusOf(bolt::Transact(*s, alive, answer, ResponseTimeout()), answer);
}

QARBOLT_EXPORT int CIMDYield(const char* name, int sock, int waitMs, int* linkError) {
  auto s = bolt::SessionFor(sock, name, false);
  MutexLock lock(s->callLock);
  int r = bolt::Serve(*s, waitMs);
  bool lost = r == CIMD_ERROR_LINK || r == CIMD_ERROR_PROTOCOL || !s->linkUp.load();
  if (lost && linkError) *linkError = 1;
  return lost ? (r != 0 ? r : CIMD_ERROR_LINK) : 0;
}

QARBOLT_EXPORT int CIMDCheckLinkStatus(const char* name, int sock) {
  auto s = bolt::SessionFor(sock, name, false);
  if (!s->linkUp.load()) return 0;
  if (PeerHasClosed(sock)) {
    bolt::Trace(*s, "centre closed the connection");
    s->linkUp = false;
    return 0;
  }
  return 1;
}

QARBOLT_EXPORT void CIMDEndSession(int sock) { bolt::ForgetSession(sock); }
