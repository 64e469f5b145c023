#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "outside/qarseal/qarseal.h"
#include "outside/qarseal/seal_state.h"
#include "runtime/mutex.h"

// A session handle. OpenSSL forbids two threads in one SSL object at once (a reply sent by
// one thread while another reads the link), so every call on it is made under its lock.
// Waits for the socket happen outside the lock: a reader waiting for bytes never holds up a
// sender, nor a sender waiting for room a reader.
struct SealSession {
  SSL* ssl = nullptr;
  int socket = -1;
  std::mutex lock;
  // One send at a time from its first byte to its last: a write that has to wait must be
  // retried with the same bytes before any other write.
  std::mutex sendLock;
};

namespace {
constexpr int kSendWaitMs = 30000;

SealSession* SessionOf(void* handle) { return static_cast<SealSession*>(handle); }

uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

// Sessions run on a non-blocking socket so that no call can hang a thread.
void MakeNonBlocking(int socket) {
  int flags = fcntl(socket, F_GETFL, 0);
  if (flags >= 0) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

// Waits for the direction the last call asked for; false when the deadline passed.
bool WaitForSocket(int socket, int code, uint64_t deadline) {
  for (;;) {
    uint64_t now = NowMs();
    if (now >= deadline) return false;
    struct pollfd pfd = {socket, static_cast<short>(code == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    int wait = static_cast<int>(deadline - now > 1000 ? 1000 : deadline - now);
    int ready = poll(&pfd, 1, wait);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

std::string HandshakeError(SSL* ssl, int code, const char* what) {
  std::string reason = LastSslError("");
  if (reason.empty()) {
    if (code == SSL_ERROR_SYSCALL) reason = "connection closed by peer";
    else reason = "error " + std::to_string(code);
  }
  (void)ssl;
  return std::string(what) + ": " + reason;
}

void* Handshake(int socket, SSL_CTX* ctx, bool server, const char* host, char* errText, uint32_t errSize,
                uint32_t timeoutMs) {
  SSL* ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);  // the session holds its own reference now
  if (ssl == nullptr) {
    CopyOut(errText, errSize, LastSslError("cannot create session"));
    return nullptr;
  }
  MakeNonBlocking(socket);
  SSL_set_fd(ssl, socket);
  if (server) {
    SSL_set_accept_state(ssl);
  } else {
    if (host != nullptr && host[0] != '\0' && std::string(host).find_first_not_of("0123456789.") != std::string::npos)
      SSL_set_tlsext_host_name(ssl, host);
    SSL_set_connect_state(ssl);
  }
  uint64_t deadline = NowMs() + (timeoutMs == 0 ? 30000 : timeoutMs);
  for (;;) {
    ERR_clear_error();
    int rc = SSL_do_handshake(ssl);
    if (rc == 1) break;
    int code = SSL_get_error(ssl, rc);
    if ((code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) && WaitForSocket(socket, code, deadline)) continue;
    std::string reason = code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE
                             ? std::string("handshake timed out")
                             : HandshakeError(ssl, code, "handshake failed");
    CopyOut(errText, errSize, reason);
    SSL_free(ssl);
    return nullptr;
  }
  CopyOut(errText, errSize, std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl));
  auto session = std::make_unique<SealSession>();
  session->ssl = ssl;
  session->socket = socket;
  return session.release();  // owned by the caller until sslFreeSession
}

SSL_CTX* TakeContext(bool server) {
  MutexLock guard(Seal.lock);
  SSL_CTX* ctx = server ? Seal.serverContext : Seal.clientContext;
  if (ctx != nullptr) SSL_CTX_up_ref(ctx);
  return ctx;
}
}  // namespace

extern "C" QARSEAL_API void* sslAcceptSession(int socket, char* errText, uint32_t errSize, uint32_t timeoutMs) {
  SSL_CTX* ctx = TakeContext(true);
  if (ctx == nullptr) {
    CopyOut(errText, errSize, "no server certificate loaded");
    return nullptr;
  }
  return Handshake(socket, ctx, true, nullptr, errText, errSize, timeoutMs);
}

extern "C" QARSEAL_API void* sslInitSession(int socket, const char* host, char* errText, uint32_t errSize,
                                            uint32_t timeoutMs) {
  SSL_CTX* ctx = TakeContext(false);
  if (ctx == nullptr) {
    CopyOut(errText, errSize, "library not initialised");
    return nullptr;
  }
  return Handshake(socket, ctx, false, host, errText, errSize, timeoutMs);
}

extern "C" QARSEAL_API void sslFreeSession(void* handle) {
  if (handle == nullptr) return;
  std::unique_ptr<SealSession> session(SessionOf(handle));
  std::lock_guard<std::mutex> guard(session->lock);
  SSL* ssl = session->ssl;
  // One attempt only: a peer that is gone must not hold the thread.
  if ((SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN) == 0) SSL_shutdown(ssl);
  ERR_clear_error();
  SSL_free(ssl);
}

extern "C" QARSEAL_API int sslSend(void* handle, const void* data, int count) {
  if (handle == nullptr || count < 0) return -1;
  SealSession& session = *SessionOf(handle);
  std::lock_guard<std::mutex> sending(session.sendLock);
  uint64_t deadline = NowMs() + kSendWaitMs;
  const char* p = static_cast<const char*>(data);
  int sent = 0;
  while (sent < count) {
    int rc, code = SSL_ERROR_NONE;
    {
      std::lock_guard<std::mutex> guard(session.lock);
      ERR_clear_error();
      rc = SSL_write(session.ssl, p + sent, count - sent);
      if (rc <= 0) code = SSL_get_error(session.ssl, rc);
    }
    if (rc > 0) {
      sent += rc;
      continue;
    }
    if ((code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) && WaitForSocket(session.socket, code, deadline)) {
      continue;
    }
    return -1;
  }
  return count;
}

extern "C" QARSEAL_API int sslRecv(void* handle, void* data, int count) {
  if (handle == nullptr || count <= 0) return -1;
  SealSession& session = *SessionOf(handle);
  std::lock_guard<std::mutex> guard(session.lock);
  ERR_clear_error();
  int rc = SSL_read(session.ssl, data, count);
  if (rc > 0) return rc;
  int code = SSL_get_error(session.ssl, rc);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return 0;
  return -1;
}

extern "C" QARSEAL_API int sslDataPending(void* handle) {
  if (handle == nullptr) return -1;
  SealSession& session = *SessionOf(handle);
  std::lock_guard<std::mutex> guard(session.lock);
  return SSL_pending(session.ssl);
}
