// Sending and receiving on a connection that may carry a TLS session (ssl non-null). TLS
// goes through SealCalls.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

// Sends everything, looping over partial sends; false on the first failed send.
bool SendData(int socket, void* ssl, std::string_view data);
// The text followed by CR LF in one send.
bool SendLine(int socket, void* ssl, std::string_view text);
// Sends prefix and the open file from its start in pieces of 16,384 bytes (the prefix
// shares the first piece); stops early when the peer has closed.
bool SendAFile(int socket, void* ssl, int fd, std::string_view prefix = {});

// False when the peer has closed (the socket reads as ready with no bytes pending) or the
// socket is bad.
bool SocketStillOpen(int socket);

enum class WaitOutcome { Ready, Timeout, Error };
// Waits for readability; a TLS session with decrypted bytes pending counts as ready.
WaitOutcome WaitReadable(int socket, void* ssl, int timeoutMs);
// Bytes the socket reports available, else the TLS pending count; -1 on error.
int BytesAvailable(int socket, void* ssl);
// One receive into buf; the bytes read, 0 when a TLS read produced no data yet, -1 on
// error or end of the connection.
ssize_t ReceiveSome(int socket, void* ssl, char* buf, size_t size);
