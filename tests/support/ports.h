// Loopback ports for tests.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/unique_fd.h"

// A port nobody listens on now and no other test program is given while this one runs:
// below the ephemeral range, so no outgoing connection takes it meanwhile. 0 when none is left.
uint16_t FreeTcpPort();
// A socket listening on port on all interfaces, so that a program under test finds the port
// taken; invalid when it could not be had.
UniqueFd HoldTcpPort(uint16_t port);
// A connected socket to 127.0.0.1:port (the caller closes it), or -1.
int ConnectLoopback(uint16_t port);
// One GET on its own connection to 127.0.0.1:port; the whole answer, or "" when none
// came in waitSeconds.
std::string LoopbackHttpGet(uint16_t port, const std::string& target, long waitSeconds = 10);
// True when something accepts connections on 127.0.0.1:port.
bool PortAccepts(uint16_t port);
// True when UDP port can be bound on all interfaces now.
bool UdpPortFree(uint16_t port);
// One datagram to 127.0.0.1:port.
void SendLoopbackDatagram(uint16_t port, const std::string& bytes);
