// qarsign: the MAC of a push's security parameter, loaded by name from the program directory.
#pragma once

#define QARSIGN_API __attribute__((visibility("default")))

extern "C" {
// HMAC-SHA1 of data under key, written to out as 40 upper-case hexadecimal characters and a
// NUL (out holds at least 41). Returns 40, or 0 when the MAC could not be made.
QARSIGN_API int GenerateHMAC(const unsigned char* key, int keyLength, const unsigned char* data, int dataLength,
                             char* out);
}
