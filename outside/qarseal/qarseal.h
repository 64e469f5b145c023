// qarseal: TLS over OpenSSL for the listeners, the HTTP client and SMPP links. A shared
// library loaded by name and bound by these export names. Sessions run over a connected
// socket that the caller owns; the library never closes it. A session handle is a
// non-null pointer, 0 meaning none. Sends, reads and pending checks on one session may come
// from several threads (one reading while another answers): they are serialised here. Freeing
// a session must wait until no other thread uses it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QARSEAL_API __attribute__((visibility("default")))

// The server certificate and key, in the directory given to sslInitLib.
#define QARSEAL_CERT_FILE "SERVER.PEM"
#define QARSEAL_KEY_FILE "SERVER.KEY"

// Prepares the library and loads SERVER.PEM and SERVER.KEY from the private data
// directory when they are there. Returns 1 when TLS can be used, 0 otherwise.
QARSEAL_API int sslInitLib(void);
QARSEAL_API void sslTermLib(void);
// 1 when a usable server certificate and key are loaded.
QARSEAL_API int sslServerCertExists(void);
// 1 when the server certificate is signed by someone else (not self-signed).
QARSEAL_API int sslSignedCertExists(void);
// Writes a new self-signed certificate (RSA 2048, SHA-256, ten years) for commonName
// (the host name when null or empty) and its key, and loads them. 1 on success; on
// failure errText receives the reason.
QARSEAL_API int sslGenerateCertificate(const char* commonName, char* errText, uint32_t errSize);

// Server side of a TLS handshake on an accepted socket, bounded by timeoutMs. Returns the
// session, or 0 with the reason in errText.
QARSEAL_API void* sslAcceptSession(int socket, char* errText, uint32_t errSize, uint32_t timeoutMs);
// Client side over a connected socket; host (may be null) is sent as the server name.
// errText receives the negotiated protocol and cipher on success, the reason on failure.
QARSEAL_API void* sslInitSession(int socket, const char* host, char* errText, uint32_t errSize,
                                 uint32_t timeoutMs);
// Sends close_notify when possible and frees the session; the socket stays open.
QARSEAL_API void sslFreeSession(void* session);
// Sends all count bytes (waiting at most 30 s for the socket); count, or -1 on error.
QARSEAL_API int sslSend(void* session, const void* data, int count);
// Reads up to count decrypted bytes without blocking: the bytes read, 0 when no
// application data is available yet, -1 when the peer closed the session or on error.
QARSEAL_API int sslRecv(void* session, void* data, int count);
// Decrypted bytes waiting to be read (0 when none, -1 for a bad session).
QARSEAL_API int sslDataPending(void* session);

typedef int (*sslInitLib_t)(void);
typedef void (*sslTermLib_t)(void);
typedef int (*sslServerCertExists_t)(void);
typedef int (*sslSignedCertExists_t)(void);
typedef int (*sslGenerateCertificate_t)(const char*, char*, uint32_t);
typedef void* (*sslAcceptSession_t)(int, char*, uint32_t, uint32_t);
typedef void* (*sslInitSession_t)(int, const char*, char*, uint32_t, uint32_t);
typedef void (*sslFreeSession_t)(void*);
typedef int (*sslSend_t)(void*, const void*, int);
typedef int (*sslRecv_t)(void*, void*, int);
typedef int (*sslDataPending_t)(void*);

#ifdef __cplusplus
}
#endif
