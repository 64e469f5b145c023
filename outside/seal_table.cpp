#include "outside/seal_table.h"

#include "outside/outside_tables.h"

SealTable SealCalls;

bool BindSealTable(const LoadedLibrary& library, bool sslAvailable, bool serverCertPresent, SealTable& table) {
  table = SealTable{};
  if (!library.Loaded()) return false;
  SealTable t;
  t.sslInitSession = library.Call<sslInitSession_t>(seal::sslInitSession);
  t.sslAcceptSession = library.Call<sslAcceptSession_t>(seal::sslAcceptSession);
  t.sslFreeSession = library.Call<sslFreeSession_t>(seal::sslFreeSession);
  t.sslSend = library.Call<sslSend_t>(seal::sslSend);
  t.sslRecv = library.Call<sslRecv_t>(seal::sslRecv);
  t.sslDataPending = library.Call<sslDataPending_t>(seal::sslDataPending);
  t.sslInitLib = library.Call<sslInitLib_t>(seal::sslInitLib);
  t.sslTermLib = library.Call<sslTermLib_t>(seal::sslTermLib);
  t.sslServerCertExists = library.Call<sslServerCertExists_t>(seal::sslServerCertExists);
  t.sslSignedCertExists = library.Call<sslSignedCertExists_t>(seal::sslSignedCertExists);
  t.sslGenerateCertificate = library.Call<sslGenerateCertificate_t>(seal::sslGenerateCertificate);
  if (!t.sslInitSession || !t.sslAcceptSession || !t.sslFreeSession || !t.sslSend || !t.sslRecv ||
      !t.sslDataPending || !t.sslInitLib || !t.sslTermLib || !t.sslServerCertExists || !t.sslSignedCertExists ||
      !t.sslGenerateCertificate)
    return false;
  t.Available = sslAvailable;
  t.ServerCertPresent = sslAvailable && serverCertPresent;
  table = t;
  return true;
}
