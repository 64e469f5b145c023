// The exported entry points of qarkite.
#include <cstdio>
#include <string>

#include "outside/qarkite/kite_session.h"
#include "outside/qarkite/qarkite.h"
#include "outside/qarkite/ucp_fields.h"
#include "outside/qarkite/ucp_frame.h"
#include "outside/qarkite/ucp_message.h"
#include "runtime/call_arguments.h"
#include "runtime/hex_text.h"

#define QARKITE_EXPORT extern "C" __attribute__((visibility("default")))

using kite::LibrarySettings;
using kite::Session;

namespace {

constexpr int kDefaultResponseTimeoutMs = 30000;
constexpr size_t kMaxPasswordChars = 64;

void Rename(Session& s, const char* name) {
  if (name && *name && s.name != name) s.name = name;
}

// 0 for an ACK, the NACK's error code, or the library error.
int StatusOf(int transactResult, const ucp::Result& result) {
  if (transactResult != 0) return transactResult;
  return result.ack ? 0 : result.errorCode;
}

bool IsLoginName(const std::string& user) {
  if (user.empty() || user.size() > ucp::kMaxAddressDigits) return false;
  for (char c : user) {
    bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  return true;
}

}  // namespace

QARKITE_EXPORT void UCPSetDebugMode(int on) { LibrarySettings.debug = on != 0; }
QARKITE_EXPORT void UCPSetDebugLogFunction(UCPDebugLogFn fn) { LibrarySettings.debugLog = fn; }
QARKITE_EXPORT void UCPSetResponseTimeout(int milliseconds) {
  LibrarySettings.responseTimeoutMs = milliseconds > 0 ? milliseconds : kDefaultResponseTimeoutMs;
}
QARKITE_EXPORT void UCPSetReceiveMessageCallback(UCPReceiveMessageCallbackFn fn) { LibrarySettings.receive = fn; }

QARKITE_EXPORT int UCPConnect(int sock, const char* name, const char* host, unsigned port) {
  auto s = kite::SessionFor(sock, true);
  MutexLock lock(s->lock);
  Rename(*s, name);
  return kite::ConnectSocket(*s, host, port);
}

QARKITE_EXPORT int UCPBind(int sock, const char* name, const char* user, const char* password) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  Rename(*s, name);
  std::string login = Text(user), secret = Text(password);
  if (login.empty()) return 0;
  if (!IsLoginName(login) || secret.size() > kMaxPasswordChars) {
    kite::Trace(*s, "login name or password cannot be sent");
    return UCP_ERROR_PROTOCOL;
  }
  std::vector<std::string> fields(ucp::kField60Count);
  fields[0] = login;           // OAdC
  fields[1] = "6";             // OTON: abbreviated number
  fields[2] = "5";             // ONPI: private (SMSC specific)
  fields[3] = "1";             // STYP: open session
  fields[ucp::kField60Password] = HexEncode(secret);
  fields[6] = "0100";          // VERS
  ucp::Result result;
  int status = StatusOf(kite::Transact(*s, 60, fields, result), result);
  if (status == 0) s->user = login;
  return status;
}

namespace {

// The submit's frame sent (s locked): 0, or its status (nothing outstanding then).
int SendSubmit(Session& s, const char* name, const char* sender, const char* recipient, int pid, int dcs,
               const char* udhHex, const char* data, int flags, int binary, const char* extraParams) {
  Rename(s, name);
  s.lastMessageId.clear();
  if (extraParams && *extraParams && LibrarySettings.debug.load()) kite::Trace(s, std::string("submit ") + extraParams);
  ucp::OutboundMessage m = MessageFromCall(sender, recipient, pid, dcs, udhHex, data, flags, binary);
  std::vector<std::string> fields;
  std::string why;
  if (!ucp::BuildSubmitFields(m, fields, why)) {
    kite::Trace(s, "message not sent: " + why);
    return UCP_ERROR_PROTOCOL;
  }
  if (!s.linkUp) return UCP_ERROR_LINK;
  return kite::SendOutstanding(s, 51, fields);
}

int AwaitSubmit(Session& s) {
  ucp::Result result;
  int status = StatusOf(kite::AwaitOutstanding(s, result), result);
  if (status == 0) s.lastMessageId = result.systemMessage;
  return status;
}

}  // namespace

QARKITE_EXPORT int UCPSubmitMessage(int sock, const char* name, const char* sender, const char* unused,
                                    const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                    int flags, int binary, const char* extraParams) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  int status = SendSubmit(*s, name, sender, recipient, pid, dcs, udhHex, data, flags, binary, extraParams);
  return status != 0 ? status : AwaitSubmit(*s);
}

QARKITE_EXPORT int UCPSendMessage(int sock, const char* name, const char* sender, const char* unused,
                                  const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                  int flags, int binary, const char* extraParams) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  return SendSubmit(*s, name, sender, recipient, pid, dcs, udhHex, data, flags, binary, extraParams);
}

QARKITE_EXPORT int UCPWaitMessageResult(int sock, const char* name) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  Rename(*s, name);
  return AwaitSubmit(*s);
}

QARKITE_EXPORT int UCPLastMessageId(int sock, char* messageId, int messageIdSize) {
  if (!messageId || messageIdSize <= 0) return -1;
  messageId[0] = '\0';
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  if (s->lastMessageId.empty()) return -1;
  snprintf(messageId, size_t(messageIdSize), "%s", s->lastMessageId.c_str());
  return 0;
}

QARKITE_EXPORT int UCPEnquireLink(int sock, const char* name) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  Rename(*s, name);
  // AdC: the address logged in with (digits only); PID 0539: a PC application over TCP/IP.
  std::vector<std::string> fields = {ucp::IsDigits(s->user, 1, ucp::kMaxAddressDigits) ? s->user : "", "0539"};
  ucp::Result result;
  return StatusOf(kite::Transact(*s, 31, fields, result), result);
}

QARKITE_EXPORT int UCPYield(int sock, const char* name, int waitMs, int* linkError) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  Rename(*s, name);
  int r = kite::Serve(*s, waitMs);
  if (r != 0 && linkError) *linkError = 1;
  return r != 0 ? 1 : 0;
}

QARKITE_EXPORT int UCPCheckLinkStatus(int sock, const char* name) {
  auto s = kite::SessionFor(sock, false);
  MutexLock lock(s->lock);
  Rename(*s, name);
  return kite::LinkAlive(*s) ? 1 : 0;
}

QARKITE_EXPORT void UCPEndSession(int sock) { kite::ForgetSession(sock); }
