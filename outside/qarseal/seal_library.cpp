#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <signal.h>

#include <cstring>

#include "outside/qarseal/qarseal.h"
#include "outside/qarvault/qarvault.h"
#include "outside/qarseal/seal_state.h"
#include "runtime/mutex.h"

SealState Seal;

void CopyOut(char* buf, uint32_t size, const std::string& text) {
  if (buf == nullptr || size == 0) return;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

std::string LastSslError(const char* fallback) {
  unsigned long code = ERR_get_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

namespace {
SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}
}  // namespace

bool LoadServerContextLocked(std::string& error) {
  if (Seal.serverContext != nullptr) {
    SSL_CTX_free(Seal.serverContext);
    Seal.serverContext = nullptr;
  }
  std::string cert = Seal.certDirectory + QARSEAL_CERT_FILE;
  std::string key = Seal.certDirectory + QARSEAL_KEY_FILE;
  SSL_CTX* ctx = NewContext(TLS_server_method());
  if (ctx == nullptr) {
    error = LastSslError("cannot create server context");
    return false;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    error = LastSslError("cannot load the server certificate");
    SSL_CTX_free(ctx);
    return false;
  }
  X509* x = SSL_CTX_get0_certificate(ctx);
  Seal.serverCertSelfSigned = x == nullptr || X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) == 0;
  Seal.serverContext = ctx;
  return true;
}

extern "C" QARSEAL_API int sslInitLib(void) {
  MutexLock guard(Seal.lock);
  if (OPENSSL_init_ssl(0, nullptr) != 1) return 0;
  // OpenSSL writes to sockets with write(2): a peer that vanished must give an error, not
  // end the process.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
  char directory[4096] = {0};
  if (GetPrivateDataDirectory(directory, sizeof directory) == 0) return 0;
  Seal.certDirectory = directory;
  if (!Seal.certDirectory.empty() && Seal.certDirectory.back() != '/') Seal.certDirectory += '/';
  if (Seal.clientContext == nullptr) {
    Seal.clientContext = NewContext(TLS_client_method());
    if (Seal.clientContext == nullptr) return 0;
    // Callback and message-centre servers are reached by address and commonly carry
    // self-signed certificates; the link is encrypted, the peer is not authenticated.
    SSL_CTX_set_verify(Seal.clientContext, SSL_VERIFY_NONE, nullptr);
  }
  std::string ignored;
  LoadServerContextLocked(ignored);
  ERR_clear_error();
  Seal.initialised = true;
  return 1;
}

extern "C" QARSEAL_API void sslTermLib(void) {
  MutexLock guard(Seal.lock);
  if (Seal.serverContext != nullptr) SSL_CTX_free(Seal.serverContext);
  if (Seal.clientContext != nullptr) SSL_CTX_free(Seal.clientContext);
  Seal.serverContext = nullptr;
  Seal.clientContext = nullptr;
  Seal.initialised = false;
}

extern "C" QARSEAL_API int sslServerCertExists(void) {
  MutexLock guard(Seal.lock);
  return Seal.serverContext != nullptr ? 1 : 0;
}

extern "C" QARSEAL_API int sslSignedCertExists(void) {
  MutexLock guard(Seal.lock);
  return Seal.serverContext != nullptr && !Seal.serverCertSelfSigned ? 1 : 0;
}
