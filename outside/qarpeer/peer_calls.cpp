// The exported entry points of qarpeer.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "outside/qarpeer/async_receive.h"
#include "outside/qarpeer/message_content.h"
#include "outside/qarpeer/peer_session.h"
#include "outside/qarpeer/qarpeer.h"
#include "outside/qarpeer/smpp_pdu.h"
#include "runtime/call_arguments.h"
#include "runtime/mutex.h"
#include "runtime/stream_socket.h"

#define QARPEER_EXPORT extern "C" __attribute__((visibility("default")))

using peer::LibrarySettings;
using peer::Session;

namespace {

constexpr int kConnectTimeoutMs = 15000;

int ResponseTimeout() { return LibrarySettings.responseTimeoutMs.load(); }

// Result of a transaction: the status of its response (a generic_nack gives its own).
int StatusOf(int transactResult, const smpp::Pdu& response) {
  return transactResult != 0 ? transactResult : int(response.status);
}

int Submit(Session& s, uint32_t commandId, const peer::OutboundMessage& message, char* messageId,
           int messageIdSize) {
  if (messageId && messageIdSize > 0) messageId[0] = '\0';
  if (!s.linkUp.load()) return SMPP_ERROR_LINK;
  smpp::ShortMessage m;
  std::string why;
  if (int status = peer::BuildShortMessage(message, m, why); status != 0) {
    peer::Trace(s, "message not sent: " + why);
    return status;
  }
  smpp::Pdu request{commandId, 0, 0, smpp::EncodeShortMessage(m, message.version >= 0x34)};
  smpp::Pdu response;
  int r = peer::Transact(s, request, response, ResponseTimeout());
  if (r != 0) return r;
  if (response.status == 0 && response.commandId != smpp::kGenericNack) {
    std::string id;
    if (!smpp::DecodeLeadingCString(response.body, 65, id)) {
      peer::Trace(s, "malformed response body");
      s.linkUp = false;
      return SMPP_ERROR_PROTOCOL;
    }
    if (messageId && messageIdSize > 0) snprintf(messageId, size_t(messageIdSize), "%s", id.c_str());
  }
  return int(response.status);
}

peer::OutboundMessage Outbound(int version, const char* sender, const char* recipient, int pid, int dcs,
                               const char* udhHex, const char* data, int flags, int binary, const char* extra) {
  return peer::OutboundMessage{MessageFromCall(sender, recipient, pid, dcs, udhHex, data, flags, binary), Text(extra),
                               version, false};
}

}  // namespace

QARPEER_EXPORT void SMPPSetDebugMode(int on) { LibrarySettings.debug = on != 0; }
QARPEER_EXPORT void SMPPSetDebugLogFunction(SMPPDebugLogFn fn) { LibrarySettings.debugLog = fn; }
QARPEER_EXPORT void SMPPSetResponseTimeout(int milliseconds) {
  LibrarySettings.responseTimeoutMs = milliseconds > 0 ? milliseconds : 30000;
}
QARPEER_EXPORT void SMPPSetTlsFunctions(SMPPTlsSendFn send, SMPPTlsRecvFn recv, SMPPTlsPendingFn pending) {
  LibrarySettings.tlsSend = send;
  LibrarySettings.tlsRecv = recv;
  LibrarySettings.tlsPending = pending;
}
QARPEER_EXPORT void SMPPSetReceiveMessageCallback(SMPPReceiveMessageCallbackFn fn) { LibrarySettings.receive = fn; }
QARPEER_EXPORT void SMPPServerSetReceiveMessageCallback(SMPPServerReceiveMessageCallbackFn fn) {
  LibrarySettings.serverReceive = fn;
}
QARPEER_EXPORT void SMPPServerSetActivityCallback(SMPPServerActivityCallbackFn fn) {
  LibrarySettings.serverActivity = fn;
}

QARPEER_EXPORT int SMPPConnect(int sock, const char* name, const char* host, unsigned port) {
  auto s = peer::SessionFor(sock, nullptr, name, true);
  s->role = peer::Role::Client;
  std::string why;
  int result = ConnectSocketWithin(sock, Text(host), port, kConnectTimeoutMs, why) == 0 ? 0 : SMPP_ERROR_LINK;
  s->linkUp = result == 0;
  if (result != 0) peer::Trace(*s, why);
  return result;
}

QARPEER_EXPORT int SMPPBind(int sock, void* tls, const char* name, int version, int bindType, const char* systemId,
                            const char* password, const char* systemType) {
  auto s = peer::SessionFor(sock, tls, name, false);
  s->role = peer::Role::Client;
  s->version = version == 0x33 ? 0x33 : 0x34;
  uint32_t command = bindType == SMPP_BIND_RECEIVER      ? smpp::kBindReceiver
                     : bindType == SMPP_BIND_TRANSCEIVER ? smpp::kBindTransceiver
                                                         : smpp::kBindTransmitter;
  smpp::BindBody bind;
  bind.systemId = Text(systemId);
  bind.password = Text(password);
  bind.systemType = Text(systemType);
  bind.interfaceVersion = uint8_t(s->version);
  // Credentials longer than their fields would be cut by the peer's reading: refuse them.
  if (bind.systemId.size() > 15 || bind.password.size() > 8 || bind.systemType.size() > 12) {
    peer::Trace(*s, "bind parameters longer than SMPP allows");
    return smpp::kStatusBindFailed;
  }
  smpp::Pdu response;
  int r = peer::Transact(*s, smpp::Pdu{command, 0, 0, smpp::EncodeBind(bind)}, response, ResponseTimeout());
  int status = StatusOf(r, response);
  if (status == 0) s->bindType = bindType;
  return status;
}

QARPEER_EXPORT int SMPPSubmitMessage(int sock, void* tls, const char* name, int version, const char* sender,
                                     const char* recipient, int pid, int dcs, const char* udhHex, const char* data,
                                     int flags, int binary, char* smscMessageId, int smscMessageIdSize,
                                     const char* gatewayMessageId, const char* extraParams) {
  auto s = peer::SessionFor(sock, tls, name, false);
  if (gatewayMessageId && *gatewayMessageId) peer::Trace(*s, std::string("submit ") + gatewayMessageId);
  if (s->bindType == SMPP_BIND_RECEIVER) return smpp::kStatusInvalidBindStatus;
  return Submit(*s, smpp::kSubmitSm,
                Outbound(version, sender, recipient, pid, dcs, udhHex, data, flags, binary, extraParams),
                smscMessageId, smscMessageIdSize);
}

QARPEER_EXPORT void SMPPSetAsyncCompletionFunction(SMPPAsyncCompletionFn fn) { LibrarySettings.asyncCompletion = fn; }

QARPEER_EXPORT int SMPPSubmitMessageAsync(int sock, void* tls, const char* name, int version, const char* sender,
                                          const char* recipient, int pid, int dcs, const char* udhHex,
                                          const char* data, int flags, int binary, const char* gatewayMessageId,
                                          const char* extraParams, int timeoutMs, SMPPAsyncSubmit* record) {
  if (!record) return SMPP_ERROR_PROTOCOL;
  record->status = 0;
  record->smscMessageId[0] = '\0';
  auto s = peer::SessionFor(sock, tls, name, false);
  if (gatewayMessageId && *gatewayMessageId) peer::Trace(*s, std::string("submit async ") + gatewayMessageId);
  if (s->bindType == SMPP_BIND_RECEIVER) return smpp::kStatusInvalidBindStatus;
  if (!s->linkUp.load()) return SMPP_ERROR_LINK;
  peer::OutboundMessage message =
      Outbound(version, sender, recipient, pid, dcs, udhHex, data, flags, binary, extraParams);
  smpp::ShortMessage m;
  std::string why;
  if (int status = peer::BuildShortMessage(message, m, why); status != 0) {
    peer::Trace(*s, "message not sent: " + why);
    return status;
  }
  uint32_t sequence = peer::NextSequence(*s);
  record->sequence = sequence;
  // Registered first: the response may be read by another thread before the send returns.
  peer::AddOutstanding(*s, sequence, record, timeoutMs > 0 ? timeoutMs : ResponseTimeout());
  // Goes out with the next yield or send of the session (or at once when many wait).
  int r = peer::QueuePdu(*s, smpp::Pdu{smpp::kSubmitSm, 0, sequence, smpp::EncodeShortMessage(m, message.version >= 0x34)});
  if (r != 0 && peer::RemoveOutstanding(*s, sequence)) return r;
  // Already completed by another thread (the link went down meanwhile): reported there.
  return 0;
}

QARPEER_EXPORT int SMPPAsyncOutstanding(int sock) {
  auto s = peer::SessionFor(sock, nullptr, nullptr, false);
  MutexLock lock(s->outstandingLock);
  return int(s->outstanding.size());
}

QARPEER_EXPORT void SMPPAsyncAbandon(int sock) {
  auto s = peer::SessionFor(sock, nullptr, nullptr, false);
  peer::CompleteAllOutstanding(*s, SMPP_ERROR_LINK);
}

QARPEER_EXPORT int SMPPEnquireLink(int sock, void* tls, const char* name, int version) {
  auto s = peer::SessionFor(sock, tls, name, false);
  smpp::Pdu response;
  int r = peer::Transact(*s, smpp::Pdu{smpp::kEnquireLink, 0, 0, {}}, response, ResponseTimeout());
  return StatusOf(r, response);
}

QARPEER_EXPORT int SMPPYield(int sock, void* tls, const char* name, int version, int waitMs, int* linkError) {
  auto s = peer::SessionFor(sock, tls, name, false);
  int r = peer::YieldFor(*s, waitMs);
  if (linkError && (r < 0 || !s->linkUp.load())) *linkError = 1;
  return r;
}

QARPEER_EXPORT int SMPPCheckLinkStatus(int sock, void* tls, const char* name) {
  auto s = peer::SessionFor(sock, tls, name, false);
  if (!s->linkUp.load()) {
    peer::CompleteAllOutstanding(*s, SMPP_ERROR_LINK);
    return 0;
  }
  if (PeerHasClosed(sock)) {
    peer::Trace(*s, "peer closed the connection");
    peer::MarkDown(*s);
    peer::CompleteAllOutstanding(*s, SMPP_ERROR_LINK);
    return 0;
  }
  return 1;
}

QARPEER_EXPORT int SMPPUnbind(int sock, void* tls, const char* name, int version) {
  auto s = peer::SessionFor(sock, tls, name, false);
  int status = SMPP_ERROR_LINK;
  if (s->linkUp.load()) {
    smpp::Pdu response;
    // An unbind is not worth a long wait at shutdown.
    int r = peer::Transact(*s, smpp::Pdu{smpp::kUnbind, 0, 0, {}}, response, std::min(ResponseTimeout(), 5000));
    status = StatusOf(r, response);
  }
  peer::ForgetSession(sock);
  return status;
}

QARPEER_EXPORT int SMPPReceiveFromAsyncQ(const char* name) { return peer::ReceiveFromAsyncQ(Text(name)); }

QARPEER_EXPORT void SMPPSetAsyncReceive(const char* name, int on) { peer::SetAsyncReceive(Text(name), on != 0); }

QARPEER_EXPORT void SMPPSetAsyncReceiveWakeFunction(SMPPAsyncReceiveWakeFn fn) {
  LibrarySettings.asyncReceiveWake = fn;
}

QARPEER_EXPORT void SMPPEndSession(int sock) { peer::ForgetSession(sock); }

QARPEER_EXPORT int SMPPServerWaitForLogin(int sock, void* tls, const char* name, SMPPLoginRequest* request,
                                          int timeoutMs) {
  auto s = peer::SessionFor(sock, tls, name, true);
  s->role = peer::Role::Server;
  if (!request) return SMPP_ERROR_PROTOCOL;
  *request = SMPPLoginRequest{};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    int left = int(std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
    smpp::Pdu pdu;
    int r = peer::ReadPdu(*s, left, pdu);
    if (r < 0) return r;
    if (r == 0) return SMPP_ERROR_TIMEOUT;
    if (SMPPServerActivityCallbackFn fn = LibrarySettings.serverActivity.load()) fn(s->name.c_str(), pdu.commandId);
    bool isBind = pdu.commandId == smpp::kBindReceiver || pdu.commandId == smpp::kBindTransmitter ||
                  pdu.commandId == smpp::kBindTransceiver;
    if (!isBind) {
      if (pdu.commandId == smpp::kEnquireLink) {
        peer::SendPdu(*s, smpp::Pdu{pdu.commandId | smpp::kResponseBit, 0, pdu.sequence, {}});
      } else if (pdu.commandId == smpp::kUnbind) {
        peer::SendPdu(*s, smpp::Pdu{pdu.commandId | smpp::kResponseBit, 0, pdu.sequence, {}});
        s->linkUp = false;
        return SMPP_ERROR_LINK;
      } else if (!smpp::IsResponse(pdu.commandId)) {
        peer::SendPdu(*s, smpp::Pdu{smpp::kGenericNack, smpp::kStatusInvalidBindStatus, pdu.sequence, {}});
      }
      continue;
    }
    smpp::BindBody bind;
    if (!smpp::DecodeBind(pdu.body, bind)) {
      std::string body;
      smpp::AppendCString(body, "", 16);
      peer::SendPdu(*s, smpp::Pdu{pdu.commandId | smpp::kResponseBit, smpp::kStatusInvalidCmdLength, pdu.sequence,
                                  body});
      continue;
    }
    snprintf(request->systemId, sizeof request->systemId, "%s", bind.systemId.c_str());
    snprintf(request->password, sizeof request->password, "%s", bind.password.c_str());
    snprintf(request->systemType, sizeof request->systemType, "%s", bind.systemType.c_str());
    snprintf(request->addressRange, sizeof request->addressRange, "%s", bind.addressRange.c_str());
    request->interfaceVersion = bind.interfaceVersion;
    request->addrTon = bind.addrTon;
    request->addrNpi = bind.addrNpi;
    request->bindType = pdu.commandId == smpp::kBindReceiver      ? SMPP_BIND_RECEIVER
                        : pdu.commandId == smpp::kBindTransceiver ? SMPP_BIND_TRANSCEIVER
                                                                  : SMPP_BIND_TRANSMITTER;
    request->sequence = pdu.sequence;
    s->version = bind.interfaceVersion >= 0x34 ? 0x34 : 0x33;
    return 0;
  }
}

namespace {
uint32_t BindCommand(int bindType) {
  return bindType == SMPP_BIND_RECEIVER      ? smpp::kBindReceiver
         : bindType == SMPP_BIND_TRANSCEIVER ? smpp::kBindTransceiver
                                             : smpp::kBindTransmitter;
}
}  // namespace

QARPEER_EXPORT int SMPPServerAcceptLogin(int sock, void* tls, const char* name, const SMPPLoginRequest* request,
                                         const char* serverSystemId) {
  if (!request) return SMPP_ERROR_PROTOCOL;
  auto s = peer::SessionFor(sock, tls, name, false);
  std::string body;
  smpp::AppendCString(body, Text(serverSystemId), 16);
  if (request->interfaceVersion >= 0x34) smpp::AppendTlv(body, 0x0210, std::string(1, char(0x34)));
  int r = peer::SendPdu(*s, smpp::Pdu{BindCommand(request->bindType) | smpp::kResponseBit, 0, request->sequence, body});
  if (r == 0) s->bindType = request->bindType;
  return r;
}

QARPEER_EXPORT int SMPPServerRejectLogin(int sock, void* tls, const char* name, const SMPPLoginRequest* request,
                                         int status) {
  if (!request) return SMPP_ERROR_PROTOCOL;
  auto s = peer::SessionFor(sock, tls, name, false);
  std::string body;
  smpp::AppendCString(body, "", 16);
  uint32_t code = status > 0 ? uint32_t(status) : smpp::kStatusBindFailed;
  return peer::SendPdu(*s, smpp::Pdu{BindCommand(request->bindType) | smpp::kResponseBit, code, request->sequence, body});
}

QARPEER_EXPORT int SMPPServerYield(int sock, void* tls, const char* name, int waitMs, int* linkError) {
  auto s = peer::SessionFor(sock, tls, name, false);
  s->role = peer::Role::Server;
  int r = peer::YieldFor(*s, waitMs);
  if (linkError && (r < 0 || !s->linkUp.load())) *linkError = 1;
  return r;
}

QARPEER_EXPORT void SMPPServerHoldResponses(int sock, void* tls, const char* name) {
  peer::HoldResponses(*peer::SessionFor(sock, tls, name, false));
}

QARPEER_EXPORT int SMPPServerSendHeldResponses(int sock, void* tls, const char* name, int failStatus) {
  return peer::SendHeldResponses(*peer::SessionFor(sock, tls, name, false), uint32_t(failStatus));
}

QARPEER_EXPORT int SMPPServerHeldResponseCount(int sock, void* tls, const char* name) {
  return int(peer::HeldResponseCount(*peer::SessionFor(sock, tls, name, false)));
}

QARPEER_EXPORT int SMPPServerSendFirstHeldResponses(int sock, void* tls, const char* name, int count,
                                                    int failStatus) {
  return peer::SendFirstHeldResponses(*peer::SessionFor(sock, tls, name, false), size_t(std::max(count, 0)),
                                      uint32_t(failStatus));
}

QARPEER_EXPORT void SMPPServerReleaseHold(int sock, void* tls, const char* name) {
  peer::ReleaseHold(*peer::SessionFor(sock, tls, name, false));
}

QARPEER_EXPORT void SMPPHoldResponses(int sock, void* tls, const char* name) {
  peer::HoldResponses(*peer::SessionFor(sock, tls, name, false));
}

QARPEER_EXPORT int SMPPSendHeldResponses(int sock, void* tls, const char* name, int failStatus) {
  return peer::SendHeldResponses(*peer::SessionFor(sock, tls, name, false), uint32_t(failStatus));
}

QARPEER_EXPORT int SMPPServerSubmitMessageNew(int sock, void* tls, const char* name, int version,
                                              const char* sender, const char* recipient, int pid, int dcs,
                                              const char* udhHex, const char* data, int flags, int binary,
                                              const char* extraParams) {
  auto s = peer::SessionFor(sock, tls, name, false);
  if (s->bindType == SMPP_BIND_TRANSMITTER) return smpp::kStatusInvalidBindStatus;
  peer::OutboundMessage m = Outbound(version, sender, recipient, pid, dcs, udhHex, data, flags, binary, extraParams);
  m.deliver = true;
  return Submit(*s, smpp::kDeliverSm, m, nullptr, 0);
}

QARPEER_EXPORT int SMPPServerSubmitMessageAsync(int sock, void* tls, const char* name, int version,
                                                const char* sender, const char* recipient, int pid, int dcs,
                                                const char* udhHex, const char* data, int flags, int binary,
                                                const char* extraParams, int timeoutMs, SMPPAsyncSubmit* record,
                                                SMPPAsyncCompletionFn completion) {
  if (!record) return SMPP_ERROR_PROTOCOL;
  record->status = 0;
  record->smscMessageId[0] = '\0';
  auto s = peer::SessionFor(sock, tls, name, false);
  if (s->bindType == SMPP_BIND_TRANSMITTER) return smpp::kStatusInvalidBindStatus;
  if (!s->linkUp.load()) return SMPP_ERROR_LINK;
  peer::OutboundMessage message = Outbound(version, sender, recipient, pid, dcs, udhHex, data, flags, binary, extraParams);
  message.deliver = true;
  smpp::ShortMessage m;
  std::string why;
  if (int status = peer::BuildShortMessage(message, m, why); status != 0) {
    peer::Trace(*s, "message not sent: " + why);
    return status;
  }
  uint32_t sequence = peer::NextSequence(*s);
  record->sequence = sequence;
  peer::AddOutstanding(*s, sequence, record, timeoutMs > 0 ? timeoutMs : ResponseTimeout(), completion);
  int r = peer::QueuePdu(*s, smpp::Pdu{smpp::kDeliverSm, 0, sequence, smpp::EncodeShortMessage(m, message.version >= 0x34)});
  if (r != 0 && peer::RemoveOutstanding(*s, sequence)) return r;
  return 0;
}

QARPEER_EXPORT int SMPPServerSubmitMessage(int sock, void* tls, const char* name, int version, const char* sender,
                                           const char* recipient, int pid, int dcs, const char* udhHex,
                                           const char* data, int flags, int binary) {
  return SMPPServerSubmitMessageNew(sock, tls, name, version, sender, recipient, pid, dcs, udhHex, data, flags,
                                    binary, nullptr);
}

QARPEER_EXPORT int SMPPServerEnquireLink(int sock, void* tls, const char* name, int version) {
  return SMPPEnquireLink(sock, tls, name, version);
}
