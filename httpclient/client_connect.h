// Opening outbound TCP connections with bounded name lookup and connect.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/unique_fd.h"

enum class ConnectFailure { None, Socket, Lookup, Connect, Bind };
// A dotted IPv4 address is used as it is; a name is looked up ("Looking up %s") and its
// first IPv4 address taken. Both steps and the connect are bounded by timeoutMs. With
// bindIP (a dotted IPv4 address) the socket is bound to it before connecting.
UniqueFd ConnectTcp(const std::string& host, uint16_t port, uint32_t timeoutMs, ConnectFailure& failure,
                    const std::string& bindIP = {});
