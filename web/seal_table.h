// The gateway's call table for the TLS library qarseal, loaded by name at start-up.
// Web, HTTP client and SMPP code call TLS only through SealCalls.
#pragma once

#include <string>

#include "outside/qarseal/qarseal.h"

struct SealTable {
  void* library = nullptr;  // dlopen handle, null when not loaded
  sslInitSession_t sslInitSession = nullptr;
  sslAcceptSession_t sslAcceptSession = nullptr;
  sslFreeSession_t sslFreeSession = nullptr;
  sslSend_t sslSend = nullptr;
  sslRecv_t sslRecv = nullptr;
  sslDataPending_t sslDataPending = nullptr;
  sslInitLib_t sslInitLib = nullptr;
  sslTermLib_t sslTermLib = nullptr;
  sslServerCertExists_t sslServerCertExists = nullptr;
  sslSignedCertExists_t sslSignedCertExists = nullptr;
  sslGenerateCertificate_t sslGenerateCertificate = nullptr;
  bool Available = false;          // sslInitLib succeeded
  bool ServerCertPresent = false;  // sslServerCertExists also succeeded
};

// Filled by start-up before any listener or client runs.
extern SealTable SealCalls;

// Loads the library at path and binds every entry point; when one is missing the library
// is released and false returned (table left empty). Does not call sslInitLib.
bool BindSealLibrary(const std::string& path, SealTable& table, std::string& error);
// Calls sslInitLib(certDirectory) and sslServerCertExists and sets the two flags.
bool StartSealLibrary(SealTable& table, const std::string& certDirectory);
// sslTermLib and dlclose; the table is emptied.
void ReleaseSealLibrary(SealTable& table);
