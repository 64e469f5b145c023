// Time-bounded I/O on a TCP socket that the caller owns, as the protocol libraries use it:
// connect, send everything, read what is there, and notice a peer that has closed.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

// Whole milliseconds to the deadline, rounded up: a wait of 1 ms must not become a poll
// that returns at once (a spinning caller). 0 once it has passed.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

// Connects a socket (perhaps bound to a local address already) to host and port, waiting no
// longer than timeoutMs; the socket keeps its blocking mode. 0, or -1 with why set.
int ConnectSocketWithin(int sock, const std::string& host, unsigned port, int timeoutMs, std::string& why);

// Sends every byte, waiting for room no longer than timeoutMs in all. 0 or -1.
int SendAllWithin(int sock, std::string_view bytes, int timeoutMs);

// Appends what can be read, waiting up to timeoutMs for the first byte: 1 when bytes were
// added, 0 when none came in time, -1 when the peer closed or the socket failed.
int ReceiveSome(int sock, int timeoutMs, std::string& into);

// True when the peer has closed (FIN or reset) and no byte before the close is left unread.
bool PeerHasClosed(int sock);
