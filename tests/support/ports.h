// Loopback ports for tests.
#pragma once

#include <cstdint>
#include <string>

// A port nobody listens on now (bound to 0 and released).
uint16_t FreeTcpPort();
// True when something accepts connections on 127.0.0.1:port.
bool PortAccepts(uint16_t port);
// True when UDP port can be bound on all interfaces now.
bool UdpPortFree(uint16_t port);
// One datagram to 127.0.0.1:port.
void SendLoopbackDatagram(uint16_t port, const std::string& bytes);
