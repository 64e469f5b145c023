#include "web/seal_table.h"

#include <dlfcn.h>

SealTable SealCalls;

namespace {
template <typename T>
bool Bind(void* handle, const char* name, T& slot, std::string& missing) {
  slot = reinterpret_cast<T>(dlsym(handle, name));
  if (slot == nullptr) {
    if (!missing.empty()) missing += ", ";
    missing += name;
  }
  return slot != nullptr;
}
}  // namespace

bool BindSealLibrary(const std::string& path, SealTable& table, std::string& error) {
  table = SealTable{};
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : "cannot load " + path;
    return false;
  }
  SealTable t;
  t.library = handle;
  std::string missing;
  Bind(handle, "sslInitSession", t.sslInitSession, missing);
  Bind(handle, "sslAcceptSession", t.sslAcceptSession, missing);
  Bind(handle, "sslFreeSession", t.sslFreeSession, missing);
  Bind(handle, "sslSend", t.sslSend, missing);
  Bind(handle, "sslRecv", t.sslRecv, missing);
  Bind(handle, "sslDataPending", t.sslDataPending, missing);
  Bind(handle, "sslInitLib", t.sslInitLib, missing);
  Bind(handle, "sslTermLib", t.sslTermLib, missing);
  Bind(handle, "sslServerCertExists", t.sslServerCertExists, missing);
  Bind(handle, "sslSignedCertExists", t.sslSignedCertExists, missing);
  Bind(handle, "sslGenerateCertificate", t.sslGenerateCertificate, missing);
  if (!missing.empty()) {
    dlclose(handle);
    error = "missing entry points: " + missing;
    return false;
  }
  table = t;
  return true;
}

bool StartSealLibrary(SealTable& table, const std::string& certDirectory) {
  table.Available = false;
  table.ServerCertPresent = false;
  if (table.library == nullptr || table.sslInitLib(certDirectory.c_str()) == 0) return false;
  table.Available = true;
  table.ServerCertPresent = table.sslServerCertExists() != 0;
  return true;
}

void ReleaseSealLibrary(SealTable& table) {
  if (table.library == nullptr) return;
  if (table.Available) table.sslTermLib();
  dlclose(table.library);
  table = SealTable{};
}
