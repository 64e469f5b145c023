// Connects a socket the caller created (and perhaps bound to a local address) to a host
// and port, waiting no longer than the given time; the socket keeps its blocking mode.
#pragma once

#include <string>

// 0 when connected; otherwise why is set ("cannot resolve", "cannot connect") and -1.
int ConnectSocketWithin(int sock, const std::string& host, unsigned port, int timeoutMs, std::string& why);
