// The library's process-wide state, shared by its source files.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <mutex>
#include <string>

struct SealState {
  std::mutex lock;             // guards every field below
  bool initialised = false;
  std::string certDirectory;   // ends in "/"
  SSL_CTX* serverContext = nullptr;  // null while no certificate is loaded
  SSL_CTX* clientContext = nullptr;
  bool serverCertSelfSigned = true;
};
extern SealState Seal;

// Copies text into a caller buffer of size bytes, zero-terminated and cut to fit.
void CopyOut(char* buf, uint32_t size, const std::string& text);
// The reason of the last OpenSSL error, or fallback when there is none.
std::string LastSslError(const char* fallback);
// (Re)loads SERVER.PEM and SERVER.KEY; called with Seal.lock held.
bool LoadServerContextLocked(std::string& error);
