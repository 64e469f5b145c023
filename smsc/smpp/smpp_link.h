// The SMPP library's calls for one session: connect, TLS and bind, the synchronous and the
// windowed submission, yield, link checks, logout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "outside/qarpeer/qarpeer.h"
#include "runtime/unique_fd.h"
#include "smsc/queue_pass.h"
#include "smsc/smpp/async_submit.h"
#include "smsc/smpp/smpp_settings.h"

// A TLS session of qarseal, freed once.
struct TlsSession {
  void* session = nullptr;
  void Free();
  ~TlsSession() { Free(); }
};

// The answer to a received message that was not stored (or not made safe): the centre
// delivers it again later.
constexpr int kSmppStatusTryLater = 0x64;

// What differs between the sending session and the separate receiver session.
struct LinkRole {
  uint16_t localPort = 0, remotePort = 0;
  int bindType = SMPP_BIND_TRANSMITTER;
  const char* portText = "sender";
};

// "SMPP - host:port": host and port (0 when the name has none).
void ParseSmppAddress(const std::string& name, std::string& host, uint16_t& port);

// Socket, connect, TLS and bind. False (reported through report) when the link is not up.
bool OpenSmppLink(const std::string& name, const SmppConnectionSettings& settings, const std::string& host,
                  uint16_t namePort, const LinkRole& role, const std::function<void(const std::string&)>& report,
                  UniqueFd& sock, TlsSession& tls);
// Logout when the link is up, the library's end of the session, TLS, the socket.
void CloseSmppLink(const std::string& name, int version, bool logout, UniqueFd& sock, TlsSession& tls);

bool SmppLinkUp(int sock, void* tls, const std::string& name);
int SmppEnquireLink(int sock, void* tls, const std::string& name, int version);
// Serves the link for up to waitMs; non-zero when the library reported it lost. Received
// messages are answered only once stored (with DurableAccept, after their shared flush).
int SmppYield(int sock, void* tls, const std::string& name, int version, int waitMs);

// The synchronous link of a queue pass; its outcomes are judged by settings as they are
// when each answer comes.
QueueTransport SmppTransport(int sock, void* tls, const std::string& name, const SmppConnectionSettings* settings);
// The asynchronous submission calls of one session; false when the library lacks them.
bool SmppAsyncLink(int sock, void* tls, const std::string& name, int version, AsyncSubmitLink& link);

// Received messages still queued for the connection are taken and answered while the
// session can still carry the answers.
void ServeReceiveQueue(const std::string& name);
// An export of the library beyond the start-up table; null when a foreign one lacks it.
void* PeerExport(const char* name);
template <typename Fn>
Fn PeerExtra(const char* name) {
  return reinterpret_cast<Fn>(PeerExport(name));
}
