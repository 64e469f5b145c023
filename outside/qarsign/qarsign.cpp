#include "outside/qarsign/qarsign.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

extern "C" int GenerateHMAC(const unsigned char* key, int keyLength, const unsigned char* data, int dataLength,
                            char* out) {
  if (out == nullptr || keyLength < 0 || dataLength < 0 || (key == nullptr && keyLength > 0) ||
      (data == nullptr && dataLength > 0))
    return 0;
  static const unsigned char kEmpty = 0;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha1(), keyLength ? key : &kEmpty, keyLength, dataLength ? data : &kEmpty,
           static_cast<size_t>(dataLength), mac, &length) == nullptr ||
      length != 20) {
    out[0] = '\0';
    return 0;
  }
  static const char kDigits[] = "0123456789ABCDEF";
  for (unsigned i = 0; i < length; ++i) {
    out[2 * i] = kDigits[mac[i] >> 4];
    out[2 * i + 1] = kDigits[mac[i] & 0x0F];
  }
  out[40] = '\0';
  return 40;
}
