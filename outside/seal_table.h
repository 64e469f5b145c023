// Typed calls into the TLS library qarseal. Start-up loads the library (LoadSealLibrary
// of the outside tables) and then fills SealCalls with BindSealTable; web, HTTP client and
// SMPP code call TLS only through SealCalls.
#pragma once

#include "outside/library_loader.h"
#include "outside/qarseal/qarseal.h"

struct SealTable {
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

// Takes the entry points of a loaded qarseal; an unloaded library leaves the table empty
// (TLS unavailable). False when the table stays empty.
bool BindSealTable(const LoadedLibrary& library, bool sslAvailable, bool serverCertPresent, SealTable& table);
