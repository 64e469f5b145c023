// The library's process-wide state, shared by its source files.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "runtime/mutex.h"

struct SealState {
  Mutex lock;
  bool initialised GUARDED_BY(lock) = false;
  std::string certDirectory GUARDED_BY(lock);   // ends in "/"
  SSL_CTX* serverContext GUARDED_BY(lock) = nullptr;  // null while no certificate is loaded
  SSL_CTX* clientContext GUARDED_BY(lock) = nullptr;
  bool serverCertSelfSigned GUARDED_BY(lock) = true;
};
extern SealState Seal;

// Copies text into a caller buffer of size bytes, zero-terminated and cut to fit.
void CopyOut(char* buf, uint32_t size, const std::string& text);
// The reason of the last OpenSSL error, or fallback when there is none.
std::string LastSslError(const char* fallback);
// (Re)loads SERVER.PEM and SERVER.KEY.
bool LoadServerContextLocked(std::string& error) REQUIRES(Seal.lock);
