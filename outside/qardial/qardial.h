// qardial, loaded by name: the packet-data side of MMS retrieval, the least of it: no dial-up
// (the host's own IP path is used), requests carried through an HTTP proxy named as the WAP
// gateway "http:host:port", and the in-process arbiter that lends a modem to the MMS worker.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QARDIAL_API __attribute__((visibility("default")))

// The caller's context block of one WAP gateway session.
typedef struct WSPContext {
  int connected;
  char extraHeaders[2048];  // header lines (CR LF each) added to every request
} WSPContext;

// Dials nothing: 0 when the gateway answers (an "http:" proxy accepts a connection within
// 10 s, or a WAP gateway given as a bare address), 1 when it does not.
QARDIAL_API int WSPRasDial(const char* profile, const char* apn, const char* apnLogin, const char* apnPassword,
                           const char* gateway);
QARDIAL_API int WSPRasHangUp(const char* profile);
// Connects the caller's stream socket to the proxy; non-zero when connected. A UDP WSP
// gateway (no "http:") cannot be used and fails.
QARDIAL_API int WSPConnect(int socket, const char* gateway, const char* extraHeaders, WSPContext* context,
                           const char* profile);
// Sends the textual HTTP request (its header gets the context's extra header lines) and reads
// the answer (at most 16 MB, 120 s): *response is malloc'ed for the caller to free. 0 on
// success, -1 on failure.
QARDIAL_API int WSPRequest(int socket, const char* gateway, WSPContext* context, const char* request,
                           uint32_t requestLength, char** response, uint32_t* responseLength, const char* profile);
QARDIAL_API int WSPDisconnect(int socket, const char* gateway, WSPContext* context, const char* profile);

// The arbiter between the SMS session of a modem and the MMS worker that borrows it. A side
// takes the modem (waiting up to timeoutSeconds for the other to leave it, ending early when
// *stopFlag is set; null when not had) ...
QARDIAL_API void* ModemAllocate(const char* modem, int timeoutSeconds, volatile int* stopFlag);
// ... asks whether the other side waits for it (1) ...
QARDIAL_API int ModemRequested(void* handle);
// ... and gives it back.
QARDIAL_API void ModemRelease(void* handle);

QARDIAL_API int WSPRasGetErrorString(int code, char* text, uint32_t size);
QARDIAL_API int ModemReset(const char* modem);

#ifdef __cplusplus
}
#endif
