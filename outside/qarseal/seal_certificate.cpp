#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "outside/qarseal/qarseal.h"
#include "outside/qarseal/seal_state.h"
#include "runtime/mutex.h"

namespace {
struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct FileClose { void operator()(FILE* f) const { fclose(f); } };

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// Written under a temporary name and renamed, so that a reader never sees half a file.
bool WritePem(const std::string& path, mode_t mode, bool (*write)(FILE*, void*), void* object) {
  std::string temp = path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  std::unique_ptr<FILE, FileClose> f(fdopen(fd, "w"));
  if (!f) {
    close(fd);
    return false;
  }
  bool ok = write(f.get(), object);
  ok = fflush(f.get()) == 0 && ok;
  f.reset();
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}
}  // namespace

extern "C" QARSEAL_API int sslGenerateCertificate(const char* commonName, char* errText, uint32_t errSize) {
  std::string name = commonName != nullptr ? commonName : "";
  if (name.empty()) {
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    name = host[0] != '\0' ? host : "localhost";
  }
  MutexLock guard(Seal.lock);
  if (!Seal.initialised) {
    CopyOut(errText, errSize, "library not initialised");
    return 0;
  }
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(2048));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!key || !cert) {
    CopyOut(errText, errSize, LastSslError("cannot create key"));
    return 0;
  }
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  FILE* random = fopen("/dev/urandom", "rb");
  size_t got = random != nullptr ? fread(serial, 1, sizeof serial, random) : 0;
  if (random != nullptr) fclose(random);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, static_cast<int>(got), nullptr);
  if (bn != nullptr) {
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
  }
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* subject = X509_get_subject_name(cert.get());
  std::string cn = name.substr(0, 64);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), subject);
  bool nameIsAddress = cn.find_first_not_of("0123456789.") == std::string::npos;
  std::string san = (nameIsAddress ? "IP:" : "DNS:") + cn;
  if (cn != "localhost") san += ",DNS:localhost";
  san += ",IP:127.0.0.1";
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(cert.get(), NID_subject_alt_name, san) ||
      X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    CopyOut(errText, errSize, LastSslError("cannot sign the certificate"));
    return 0;
  }
  std::string keyPath = Seal.certDirectory + QARSEAL_KEY_FILE;
  std::string certPath = Seal.certDirectory + QARSEAL_CERT_FILE;
  auto writeKey = [](FILE* f, void* k) {
    return PEM_write_PrivateKey(f, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  };
  auto writeCert = [](FILE* f, void* c) { return PEM_write_X509(f, static_cast<X509*>(c)) == 1; };
  if (!WritePem(keyPath, 0600, writeKey, key.get()) || !WritePem(certPath, 0644, writeCert, cert.get())) {
    CopyOut(errText, errSize, "cannot write " + certPath + " or " + keyPath);
    return 0;
  }
  std::string error;
  if (!LoadServerContextLocked(error)) {
    CopyOut(errText, errSize, error);
    return 0;
  }
  CopyOut(errText, errSize, "");
  return 1;
}
