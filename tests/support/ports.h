// Loopback ports for tests.
#pragma once

#include <cstdint>

// A port nobody listens on now (bound to 0 and released).
uint16_t FreeTcpPort();
// True when something accepts connections on 127.0.0.1:port.
bool PortAccepts(uint16_t port);
